# Benchmarks: ns per call of the native modules against plain-Python
# renderings of the same steps and the OpenCV floor; JSON per module for
# comparison between commits.
BENCH_DIR := $(BUILD_DIR)/bench

.PHONY: bench
bench: build
	@mkdir -p $(BENCH_DIR)
	@for b in flowsweep nms mqtt; do \
	  NALO_STAGE_DIR=$(STAGE_DIR) PYTHONPATH=$(STAGE_DIR):benchmarks \
	    $(PYTHON) benchmarks/bench_$$b.py --json $(BENCH_DIR)/$$b.json || exit 1; \
	done
	@echo "figures written to $(BENCH_DIR)/"
