# Benchmarks: ns per call of the native modules against plain-Python
# renderings of the same steps and the OpenCV floor; JSON per module for
# comparison between commits. Every benchmark ends with its targets, one
# line each ("target <name>: <value> (goal <op> <limit>) ok", or "MISS");
# all of them are repeated together at the end of the run.
BENCH_DIR := $(BUILD_DIR)/bench

.PHONY: bench
bench: build
	@mkdir -p $(BENCH_DIR)
	@: > $(BENCH_DIR)/targets.txt
	@for b in flowsweep nms mqtt; do \
	  NALO_STAGE_DIR=$(STAGE_DIR) PYTHONPATH=$(STAGE_DIR):benchmarks \
	  NALO_BENCH_TARGETS=$(abspath $(BENCH_DIR))/targets.txt \
	    $(PYTHON) benchmarks/bench_$$b.py --json $(BENCH_DIR)/$$b.json || exit 1; \
	done
	@echo "figures written to $(BENCH_DIR)/"
	@echo; echo "targets ($$($(PYTHON) -c 'import platform; print(platform.python_version())')):"
	@cat $(BENCH_DIR)/targets.txt
