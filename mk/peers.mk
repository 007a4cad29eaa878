# Real peers for the end-to-end tests and the demo: Node-RED (from npm,
# pinned in tools/node-red), mosquitto and Redis Cluster (Debian packages in
# packages.txt), each started on loopback by the tests or the demo itself.
#
#   make node-red           install Node-RED into $(NALO_NODE_RED_DIR) (npm ci,
#                           skipped while the pinned package files are unchanged)
#   make test PEERS=1       install Node-RED first, and fail rather than skip a
#                           peer test whose program is missing
#   make bench-cluster      time a whole cleanup on a Redis Cluster and one server
#   make demo PEERS=1       the demo against real peers: Node-RED as the flow
#                           source, mosquitto receiving the payloads, a 3-primary
#                           Redis Cluster (DEMO_REDIS=single: one redis-server)
#
# Without PEERS=1 the peer tests skip a program that is not installed.
NALO_NODE_RED_DIR ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/nalo-sdk/node-red
export NALO_NODE_RED_DIR
PEERS ?=
DEMO_REDIS ?= cluster

.PHONY: node-red

node-red:
	@tools/node-red/install.sh $(NALO_NODE_RED_DIR)

ifeq ($(PEERS),1)
export NALO_PEERS_REQUIRED := 1
test: node-red
demo: node-red
demo: DEMO_ARGS += --peers --redis $(DEMO_REDIS)
endif

# A whole stream cleanup, 10,000 stream keys among 100,000 others, on a
# 3-primary Redis Cluster and on one redis-server: figures, no verdict.
.PHONY: bench-cluster
bench-cluster: build
	PYTHONPATH=$(STAGE_DIR) $(PYTHON) benchmarks/bench_cluster_cleanup.py
