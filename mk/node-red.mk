# The Python node for Node-RED (node-red/, the worker is nalo_sdk.host).
#
#   make test-node-red      the node's tests in the pinned Node-RED through its
#                           test helper (tools/node-red), on this machine's
#                           Node.js; part of `make test`
#   make test-node-red-node18
#                           the same tests on Debian 12's own Node.js 18, in a
#                           fresh minimal Debian 12 image
#   make node-red-package   the node's npm tarball in dist/ (npm pack), which
#                           installs offline with `npm install ./<tarball>`
#   make demo-node-red      the package's example flow (detection-stream.json)
#                           in a real Node-RED with a throwaway redis-server and
#                           mosquitto; images with the kept boxes in
#                           build/demo-node-red (DEMO_NODE_RED_ARGS='--photos DIR'
#                           for other photographs); part of `make demo PEERS=1`
NODE_RED_SPECS ?=

.PHONY: test-node-red node-red-package

test-node-red: build node-red
	tools/node-red/test-node.sh $(NALO_NODE_RED_DIR) $(STAGE_DIR) $(PYTHON) $(NODE_RED_SPECS)

test: test-node-red
# The editor check in chromium (tests/peers) is required where this release's
# package list has chromium, and skipped elsewhere.
test: export NALO_BROWSER_REQUIRED := $(if $(shell grep -sqx chromium $(PACKAGES) && echo y),1,0)

node-red-package:
	@mkdir -p dist
	cd node-red && npm pack --silent --pack-destination ../dist

DEMO_NODE_RED_ARGS ?=
.PHONY: demo-node-red
demo-node-red: build node-red
	PYTHONPATH=$(STAGE_DIR):tools $(PYTHON) -m devkit.demo_node_red $(DEMO_NODE_RED_ARGS)

# The node's figures against its targets (benchmarks/bench_node_red.js); one
# run takes some two minutes, most of it the 60 s flood, and some 20 s more
# for the example detection stream. NODE_RED_BENCH_ONLY=detection (or small,
# buffers, lifecycle, deploys, baselines, flood; comma-separated) runs parts.
NODE_RED_FLOOD_SECONDS ?= 60
NODE_RED_BENCH_ONLY ?=
.PHONY: bench-node-red
bench-node-red: build node-red
	cd node-red && NODE_PATH=$(NALO_NODE_RED_DIR)/node_modules PYTHONPATH=$(STAGE_DIR) \
	  NALO_TEST_PYTHON=$(PYTHON) node --expose-gc ../benchmarks/bench_node_red.js --flood-seconds $(NODE_RED_FLOOD_SECONDS) \
	  $(if $(NODE_RED_BENCH_ONLY),--only $(NODE_RED_BENCH_ONLY))

# The node's tests on Debian 12's own Node.js 18, in a fresh minimal Debian 12
# image (tools/node-red/test-debian12.sh; image and apt downloads cached in
# $NALO_DEBS_CACHE, default /var/cache/nalo-sdk-debs).
.PHONY: test-node-red-node18
test-node-red-node18: build node-red
	tools/node-red/test-debian12.sh $(NALO_NODE_RED_DIR) $(STAGE_DIR) $(NODE_RED_SPECS)
