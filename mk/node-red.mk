# The Python node for Node-RED (node-red/, the worker is nalo_sdk.host).
#
#   make test-node-red      the node's tests in the pinned Node-RED through its
#                           test helper (tools/node-red), on this machine's
#                           Node.js; part of `make test`
#   make node-red-package   the node's npm tarball in dist/ (npm pack), which
#                           installs offline with `npm install ./<tarball>`
NODE_RED_SPECS ?=

.PHONY: test-node-red node-red-package

test-node-red: build node-red
	tools/node-red/test-node.sh $(NALO_NODE_RED_DIR) $(STAGE_DIR) $(PYTHON) $(NODE_RED_SPECS)

test: test-node-red

node-red-package:
	@mkdir -p dist
	cd node-red && npm pack --silent --pack-destination ../dist
