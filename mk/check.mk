# Static checks, run before any test (CI runs `make check` first):
#
#   make check          all of the below; fails on the first finding
#   make check-format   clang-format --dry-run over the C++ sources, and
#                       black --check over the Python (pyproject.toml)
#   make check-python   flake8 over the Python (.flake8)
#   make lint           clang-tidy over the C++ sources (.clang-tidy), every
#                       finding an error (some 2 minutes)
#   make check-types    the compiled modules' stubs against the built modules
#                       (mypy's stubtest), then mypy over the staged kit and
#                       the dev tools; make test-debian13 runs it on 3.13
#
# `make format` rewrites the C++ sources in place; `black src tools tests
# benchmarks` the Python.
CXX_SOURCES = $(wildcard src/core/*.[ch]pp src/nalo_sdk/*/*/*.[ch]pp)
CXX_UNITS = $(filter %.cpp,$(CXX_SOURCES))
PYTHON_SOURCES := src tools tests benchmarks

.PHONY: check check-format check-python check-types

check: check-format check-python check-types lint

check-format: deps
	@echo "clang-format --dry-run -Werror (C++ sources)"
	@clang-format --dry-run -Werror $(CXX_SOURCES)
	black --check $(PYTHON_SOURCES)

check-python: deps
	flake8 $(PYTHON_SOURCES)

NATIVE_MODULES = nalo_sdk.redis.flowsweep nalo_sdk.detection.nms nalo_sdk.mqtt.utils
check-types: build
	PYTHONPATH=$(STAGE_DIR) $(PYTHON) -m mypy.stubtest --mypy-config-file pyproject.toml \
	    $(NATIVE_MODULES)
	MYPYPATH=$(STAGE_DIR):tools $(PYTHON) -m mypy --config-file pyproject.toml -p nalo_sdk -p devkit
