# Build, test and demo entry points. Everything uses Debian's Python 3.11,
# never another python3 that may come first on PATH.
PYTHON ?= /usr/bin/python3.11
BUILD_DIR ?= build
MESON_DIR := $(BUILD_DIR)/meson
STAGE_DIR := $(abspath $(BUILD_DIR)/python)
PYTEST_ARGS ?= tests
# The Debian packages of this release that everything below needs.
PACKAGES ?= packages.txt

export PYTHONDONTWRITEBYTECODE := 1

.PHONY: all deps build test demo wheel format lint clean

all: build

deps:
	@tools/ensure-packages.sh $(PACKAGES)

# Stages the importable package (kit modules and compiled modules) in
# build/python: PYTHONPATH=build/python $(PYTHON) -c 'import nalo_sdk.redis.flowsweep'
MESON_SETUP_ARGS ?=
build: deps
	@test -f $(MESON_DIR)/build.ninja || meson setup $(MESON_DIR) $(MESON_SETUP_ARGS) \
	    -Dpython.platlibdir=$(STAGE_DIR) -Dpython.purelibdir=$(STAGE_DIR)
	meson compile -C $(MESON_DIR)
	@rm -rf $(STAGE_DIR)
	meson install -C $(MESON_DIR) --quiet --no-rebuild

test: build
	NALO_STAGE_DIR=$(STAGE_DIR) $(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

demo: build
	PYTHONPATH=$(STAGE_DIR):tools $(PYTHON) -m devkit.demo $(DEMO_ARGS)
	$(DEMO_THEN)

# A wheel for this machine, built offline with the installed build backend.
wheel: deps
	$(PYTHON) -m pip wheel --no-build-isolation --no-deps --no-index -w dist .

format:
	clang-format -i $(CXX_SOURCES)

# Every finding is an error (mk/check.mk: make check).
lint: build
	clang-tidy -p $(MESON_DIR) --quiet --warnings-as-errors='*' $(CXX_UNITS)

clean:
	rm -rf $(BUILD_DIR) dist

# Further targets (target builds, benchmarks, checks) live beside this file.
-include mk/*.mk
