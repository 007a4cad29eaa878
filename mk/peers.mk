# Real peers for the end-to-end tests and the demo: Node-RED (from npm,
# pinned in tools/node-red), mosquitto and Redis Cluster (Debian packages in
# packages.txt), each started on loopback by the tests or the demo itself.
#
#   make node-red           install Node-RED into $(NALO_NODE_RED_DIR) (npm ci,
#                           skipped while the pinned package files are
#                           unchanged; Debian's nodejs and npm first when the
#                           machine has no node or npm)
#   make test               installs Node-RED first, like the Debian packages,
#                           and fails rather than skips a peer test whose
#                           program is missing
#   make bench-cluster      time a whole cleanup on a Redis Cluster and one server
#   make demo PEERS=1       the demo against real peers: Node-RED as the flow
#                           source, mosquitto receiving the payloads, a 3-primary
#                           Redis Cluster (DEMO_REDIS=single: one redis-server);
#                           then the detection stream in Node-RED (make
#                           demo-node-red, mk/node-red.mk)
NALO_NODE_RED_DIR ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/nalo-sdk/node-red
export NALO_NODE_RED_DIR
PEERS ?=
DEMO_REDIS ?= cluster

.PHONY: node-red

node-red: deps
	@tools/node-red/install.sh $(NALO_NODE_RED_DIR)

test: node-red
test: export NALO_PEERS_REQUIRED := 1

ifeq ($(PEERS),1)
demo: node-red
demo: DEMO_ARGS += --peers --redis $(DEMO_REDIS)
# After the kit's own demo: the detection stream (make demo-node-red).
demo: DEMO_THEN = PYTHONPATH=$(STAGE_DIR):tools $(PYTHON) -m devkit.demo_node_red $(DEMO_NODE_RED_ARGS)
endif

# A whole stream cleanup, 10,000 stream keys among 100,000 others, on a
# 3-primary Redis Cluster and on one redis-server: figures, no verdict.
.PHONY: bench-cluster
bench-cluster: build
	PYTHONPATH=$(STAGE_DIR) $(PYTHON) benchmarks/bench_cluster_cleanup.py
