"""Time of one scan_keys pass over a large store, by SCAN COUNT.

    PYTHONPATH=build/python /usr/bin/python3.11 benchmarks/bench_scan.py [KEYS]

Fills a throwaway redis-server with KEYS keys (default 1,000,000) by DEBUG
POPULATE, adds the three keys of one node, and times scan_keys with that
node's pattern (what the stream cleanup asks per node) for several COUNT
values. Prints the figures; checks nothing.
"""

import pathlib
import platform
import statistics
import sys
import time

# The throwaway servers are development tools of the repository (tools/devkit).
sys.path.insert(1, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))

from nalo_sdk.redis import NaloRedis  # noqa: E402
from devkit.redis_servers import ThrowawayRedisServer  # noqa: E402

COUNTS = (10, 100, 1000, 10000)
REPEATS = 3


def main():
    keys = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with ThrowawayRedisServer(debug_command=True) as server:
        wrapper = NaloRedis(server.url)
        client = wrapper._redis_client
        started = time.perf_counter()
        client.execute_command("DEBUG", "POPULATE", keys, "key")
        client.mset({"redis_cam1_0": 1, "redis_cam1_1": 2, "redis_cam1_2": 3})
        filled = time.perf_counter() - started
        version = client.info("server")["redis_version"]
        print(
            f"redis-server {version}, {client.dbsize():,} keys (filled in {filled:.2f} s), "
            f"{platform.machine()}, Python {platform.python_version()}"
        )
        print(f"one scan_keys(pattern='redis_cam1_*') pass, median (best) of {REPEATS}:")
        for count in COUNTS:
            times = []
            for _ in range(REPEATS):
                started = time.perf_counter()
                found = wrapper.scan_keys(pattern="redis_cam1_*", count=count)
                times.append(time.perf_counter() - started)
                assert sorted(found) == ["redis_cam1_0", "redis_cam1_1", "redis_cam1_2"]
            mark = "  (default)" if count == wrapper.scan_count else ""
            print(
                f"  COUNT {count:>6}: {statistics.median(times) * 1000:9.1f} ms "
                f"({min(times) * 1000:.1f} ms){mark}"
            )
        wrapper.close()


if __name__ == "__main__":
    main()
