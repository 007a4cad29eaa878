# Reliability modes: reference and memory leaks under Debian's debug
# interpreter, and the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer. Each mode builds into its own directory below
# $(BUILD_DIR), so neither disturbs the ordinary build.
PYTHON_DBG ?= /usr/bin/python3.11-dbg
DBG_DIR := $(abspath $(BUILD_DIR)/dbg)
ASAN_DIR := $(abspath $(BUILD_DIR)/asan)
PYTEST_QUIET := -q -p no:cacheprovider

.PHONY: reliability-deps test-refleaks test-asan

reliability-deps: deps

# A debug interpreter loads only modules built against its own headers (the
# "d" ABI): the native file names it as meson's python. Debian links NumPy's
# headers into the release interpreter's include directory only, so they are
# named here.
$(DBG_DIR)/meson/build.ninja: | reliability-deps
	meson setup $(DBG_DIR)/meson --native-file tools/reliability/python-dbg.ini \
	    -Dbuildtype=debug -Db_ndebug=false \
	    -Dcpp_args="-I$$($(PYTHON) -c 'import numpy; print(numpy.get_include())')" \
	    -Dpython.platlibdir=$(DBG_DIR)/python -Dpython.purelibdir=$(DBG_DIR)/python

# Loops every callable on its success and failure paths under the debug
# interpreter (total reference count and live blocks must not grow), then
# the paths through the real NumPy and OpenCV in the release interpreter
# (resident memory must not grow).
test-refleaks: build reliability-deps $(DBG_DIR)/meson/build.ninja
	meson compile -C $(DBG_DIR)/meson
	@rm -rf $(DBG_DIR)/python
	meson install -C $(DBG_DIR)/meson --quiet --no-rebuild
	NALO_STAGE_DIR=$(DBG_DIR)/python $(PYTHON_DBG) -X dev -m pytest $(PYTEST_QUIET) \
	    tests/*/test_*_refleaks.py
	NALO_STAGE_DIR=$(STAGE_DIR) NALO_MEMORY_LOOPS=1 $(PYTHON) -m pytest $(PYTEST_QUIET) \
	    tests/core/test_core_memory_loops.py

$(ASAN_DIR)/meson/build.ninja: | deps
	meson setup $(ASAN_DIR)/meson -Db_sanitize=address,undefined -Db_lundef=false \
	    -Dbuildtype=debugoptimized -Db_ndebug=false -Dcpp_args=-fno-omit-frame-pointer \
	    -Dpython.platlibdir=$(ASAN_DIR)/python -Dpython.purelibdir=$(ASAN_DIR)/python

# The whole suite against the sanitized build, with the sanitizer runtimes
# preloaded into the (uninstrumented) interpreter. Python's own allocator is
# replaced by malloc so that ASan sees every object; leak detection stays off
# because the interpreter does not free everything at exit. Any report ends
# the process that made it (halt_on_error). ASan writes its reports to files
# as well, so one made in a child process fails the run even when the test
# that started the child did not look at its exit status; UBSan's standalone
# runtime ignores log_path and reports on the child's standard error.
ASAN_REPORTS := $(ASAN_DIR)/reports
test-asan: reliability-deps $(ASAN_DIR)/meson/build.ninja
	meson compile -C $(ASAN_DIR)/meson
	@rm -rf $(ASAN_DIR)/python $(ASAN_REPORTS)
	meson install -C $(ASAN_DIR)/meson --quiet --no-rebuild
	@mkdir -p $(ASAN_REPORTS)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:log_path=$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	NALO_STAGE_DIR=$(ASAN_DIR)/python PYTHONPATH=tests/support \
	    $(PYTHON) -m pytest $(PYTEST_QUIET) -p sanitizer_skips $(PYTEST_ARGS); \
	status=$$?; \
	if ls $(ASAN_REPORTS)/* >/dev/null 2>&1; then \
	    cat $(ASAN_REPORTS)/*; echo "AddressSanitizer reports written: failing" >&2; exit 1; \
	fi; \
	exit $$status
