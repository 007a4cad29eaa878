"""Time of a whole stream cleanup on a Redis Cluster and on one server.

    PYTHONPATH=build/python /usr/bin/python3.11 benchmarks/bench_cluster_cleanup.py
        [STREAM [OTHERS]]

Deep real flow (97 nodes downstream of one node): STREAM keys (default
10,000) spread over the stream's nodes as redis_<id>_<n>, among OTHERS keys
(default 100,000) of the flow's other nodes and of other key families. Runs
clear_stream_redis_keys on a throwaway 3-primary Redis Cluster and on one
throwaway redis-server, REPEATS times each (the keys written anew before
each run), and prints the whole cleanup and its two phases: the SCANs (one
pass per node id) and the deletion. Checks that exactly the stream's keys
went; times nothing against a target.
"""

import pathlib
import platform
import sys
import time

# The throwaway servers are development tools of the repository (tools/devkit).
ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(1, str(ROOT / "tools"))
sys.path.insert(2, str(ROOT / "tests" / "support"))

from nalo_sdk.nodered import NaloFlow  # noqa: E402
from nalo_sdk.redis import NaloRedis, clear_stream_redis_keys, flowsweep  # noqa: E402
from devkit.redis_servers import ThrowawayRedisCluster, ThrowawayRedisServer  # noqa: E402
from common import stream_ids  # noqa: E402

FLOWS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "flows"
FLOW = FLOWS / "ha-bkinstal-goodwe-flows.json"
START = "c1b941cd7c7a50cb"
REPEATS = 3
FILL_BATCH = 5000


class TimedRedis(NaloRedis):
    """Adds up the time spent in each phase of one cleanup."""

    def reset(self):
        self.scan_time = self.delete_time = 0.0
        self.scans = 0
        self.deleted = None

    def scan_keys(self, pattern="*", count=None):
        started = time.perf_counter()
        try:
            return super().scan_keys(pattern=pattern, count=count)
        finally:
            self.scan_time += time.perf_counter() - started
            self.scans += 1

    def delete_many(self, keys):
        started = time.perf_counter()
        try:
            self.deleted = super().delete_many(keys)
            return self.deleted
        finally:
            self.delete_time += time.perf_counter() - started


def plan(flow, stream_count, other_count):
    stream = sorted(stream_ids(flow._nodes, START))
    mine = [f"redis_{stream[i % len(stream)]}_{i // len(stream)}" for i in range(stream_count)]
    outside = [node_id for node_id in flow._nodes if node_id not in stream]
    others = []
    for i in range(other_count):
        if i % 2:
            others.append(f"redis_{outside[i % len(outside)]}_{i // len(outside)}")
        else:
            others.append(f"frame:{i}")
    return stream, mine, others


def fill(client, names):
    for start in range(0, len(names), FILL_BATCH):
        pipe = client.pipeline(transaction=False)
        for name in names[start : start + FILL_BATCH]:
            pipe.set(name, b"x" * 16)
        pipe.execute()


def count_keys(wrapper):
    return len(wrapper.scan_keys(count=10000))


def measure(label, url, flow, node, mine, others):
    wrapper = TimedRedis(url)
    client = wrapper._redis_client
    rows = []
    for _ in range(REPEATS):
        client.flushall()
        fill(client, mine + others)
        wrapper.reset()
        started = time.perf_counter()
        ok = clear_stream_redis_keys(wrapper, flow, node, f"redis_{START}_0")
        total = time.perf_counter() - started
        rows.append((total, wrapper.scan_time, wrapper.delete_time))
        scans = wrapper.scans
        left = count_keys(wrapper)
        assert ok is True and wrapper.deleted == len(mine) and left == len(others), (
            ok,
            wrapper.deleted,
            left,
        )
    wrapper.close()
    # The run with the median cleanup time, phases and all.
    total, scan, delete = sorted(rows)[len(rows) // 2]
    best = min(row[0] for row in rows)
    print(
        f"  {label:<28} cleanup {total * 1000:8.1f} ms (best {best * 1000:.1f}): "
        f"{scans} SCAN passes {scan * 1000:8.1f} ms, "
        f"delete {len(mine):,} keys {delete * 1000:7.1f} ms"
    )


def main():
    stream_count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    other_count = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    flow = NaloFlow(FLOW, node_id=START)
    node = flow.parse_flow()["cur_node"]
    stream, mine, others = plan(flow, stream_count, other_count)
    # The cleanup logs every key it found: keep the figures readable.
    flowsweep.logger.disabled = True
    print(
        f"{platform.machine()}, Python {platform.python_version()}; flow {FLOW.name}, "
        f"{len(stream)} stream nodes, {len(mine):,} stream keys among {len(others):,} others; "
        f"median of {REPEATS}:"
    )
    with ThrowawayRedisCluster() as cluster:
        measure("Redis Cluster, 3 primaries", cluster.url, flow, node, mine, others)
    with ThrowawayRedisServer() as server:
        measure("one redis-server", server.url, flow, node, mine, others)


if __name__ == "__main__":
    main()
