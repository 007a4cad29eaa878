# Static checks, run before any test (CI runs `make check` first):
#
#   make check          all of the below; fails on the first finding
#   make check-format   clang-format --dry-run over the C++ sources, and
#                       black --check over the Python (pyproject.toml)
#   make check-python   flake8 over the Python (.flake8)
#   make lint           clang-tidy over the C++ sources (.clang-tidy), every
#                       finding an error (some 2 minutes)
#
# `make format` rewrites the C++ sources in place; `black src tools tests
# benchmarks` the Python.
CXX_SOURCES = $(wildcard src/core/*.[ch]pp src/nalo_sdk/*/*/*.[ch]pp)
CXX_UNITS = $(filter %.cpp,$(CXX_SOURCES))
PYTHON_SOURCES := src tools tests benchmarks

.PHONY: check check-format check-python

check: check-format check-python lint

check-format: deps
	@echo "clang-format --dry-run -Werror (C++ sources)"
	@clang-format --dry-run -Werror $(CXX_SOURCES)
	black --check $(PYTHON_SOURCES)

check-python: deps
	flake8 $(PYTHON_SOURCES)
