"""Stream cleanup: the native module against a plain-Python rendering of
the same steps, on synthetic graphs and the largest real flow."""

import argparse
import json
import pathlib
import random
import sys

from harness import Table, machine, ns_per_call, rss_growth_kib

ROOT = pathlib.Path(__file__).resolve().parent.parent
FLOWS = ROOT / "tests" / "data" / "flows"


class DropLogger:
    def debug(self, msg):
        pass

    info = warning = error = debug


def escape(text):
    for ch in "\\*?[]":
        text = text.replace(ch, "\\" + ch)
    return text


class PlainManager:
    """The cleanup as plain Python, step by step."""

    def __init__(self, redis_wrapper, nodered_flow, node_config, redis_out_key):
        self.redis_wrapper = redis_wrapper
        self.nodered_flow = nodered_flow
        self.node_config = node_config
        self.redis_out_key = redis_out_key
        self._keys_cleared = False

    def _discover_downstream_nodes(self, node, visited):
        downstream = []
        node_id = node.get("id")
        if node_id in visited:
            return downstream
        visited.add(node_id)
        wires = node.get("wires", [])
        for port_idx, next_node_ids in enumerate(wires):
            for next_node_id in next_node_ids:
                if next_node_id in self.nodered_flow._nodes:
                    next_node = self.nodered_flow._nodes[next_node_id]
                    downstream.append({"node": next_node, "port": port_idx, "node_id": next_node_id})
                    downstream.extend(self._discover_downstream_nodes(next_node, visited))
        return downstream

    def _collect_stream_redis_keys(self):
        redis_keys = set()
        node_ids = set()
        current_node_id = self.node_config.get("id")
        logger.info(f"[flowsweep] current_node_id={current_node_id!r}")
        if current_node_id:
            node_ids.add(current_node_id)
        else:
            logger.warning("[flowsweep] node_config has no 'id' \u2014 current node keys will not be collected")
        downstream_nodes = self._discover_downstream_nodes(self.node_config, set())
        logger.info(f"[flowsweep] downstream nodes found: {[n['node_id'] for n in downstream_nodes]}")
        for node_info in downstream_nodes:
            node_ids.add(node_info["node_id"])
        redis_keys.add(self.redis_out_key)
        for node_id in node_ids:
            matched = self.redis_wrapper.scan_keys(pattern=f"redis_{escape(str(node_id))}_*")
            redis_keys.update(matched)
        logger.info(f"[flowsweep] found {len(redis_keys)} existing keys: {sorted(redis_keys)}")
        return list(redis_keys)

    def clear_stream_keys(self, max_ports=10):
        if self._keys_cleared:
            logger.debug("Redis keys already cleared, skipping")
            return True
        logger.info("Clearing all Redis KV stores for this stream")
        try:
            redis_keys = self._collect_stream_redis_keys()
            deleted = self.redis_wrapper.delete_many(redis_keys)
            logger.info(f"Stream cleanup complete: {deleted}/{len(redis_keys)} keys deleted")
            self._keys_cleared = True
            return True
        except Exception as e:
            logger.error(f"Failed to clear Redis keys: {e}")
            return False


def plain_clear_stream_redis_keys(redis_wrapper, nodered_flow, node_config, redis_out_key,
                                  max_ports=10):
    manager = PlainManager(redis_wrapper=redis_wrapper, nodered_flow=nodered_flow,
                           node_config=node_config, redis_out_key=redis_out_key)
    return manager.clear_stream_keys(max_ports=max_ports)


logger = DropLogger()


class Flow:
    def __init__(self, nodes):
        self._nodes = nodes


class IndexedFake:
    """SCAN answered from an index by node id; DELETE only counts."""

    def __init__(self, nodes, keys_per_node=2):
        self.index = {nid: [f"redis_{nid}_{p}" for p in range(keys_per_node)] for nid in nodes}

    def scan_keys(self, *, pattern):
        return self.index.get(pattern[6:-2], ())

    def delete_many(self, keys):
        return len(keys)


def tree(n):
    return {f"t{i}": {"id": f"t{i}", "wires": [[f"t{c}" for c in (2 * i + 1, 2 * i + 2) if c < n]]}
            for i in range(n)}, "t0"


def chain(n):
    nodes = {f"c{i}": {"id": f"c{i}", "wires": [[f"c{i + 1}"]] if i + 1 < n else []}
             for i in range(n)}
    return nodes, "c0"


def dag(n, wires, seed=7):
    rng = random.Random(seed)
    ports = {i: [[] for _ in range(rng.randint(1, 3))] for i in range(n)}
    for i in range(n - 1):  # a spine, so that the walk from 0 reaches every node
        ports[i][0].append(f"d{i + 1}")
    for _ in range(wires - (n - 1)):
        a = rng.randrange(n - 1)
        b = rng.randrange(a + 1, n)
        rng.choice(ports[a]).append(f"d{b}")
    return {f"d{i}": {"id": f"d{i}", "wires": ports[i]} for i in range(n)}, "d0"


def real_flow():
    path = max(FLOWS.glob("*.json"), key=lambda p: len(json.loads(p.read_text())))
    nodes = {r["id"]: r for r in json.loads(path.read_text()) if isinstance(r, dict) and "id" in r}
    flow = Flow(nodes)
    best = max(nodes, key=lambda nid: len(PlainManager(None, flow, None, "")
                                           ._discover_downstream_nodes(nodes[nid], set())))
    return nodes, best, path.name


def run(flowsweep):
    results = {}
    table = Table("discovery: _discover_downstream_nodes (ns per call; ratio = plain / native)")
    graphs = {"binary tree, 1,023 nodes": tree(1023), "chain, 500 nodes": chain(500),
              "random DAG, 2,000 nodes / 4,000 wires": dag(2000, 4000)}
    nodes, start, name = real_flow()
    graphs[f"real flow {name}"] = (nodes, start)
    per_entry = {}
    for label, (nodes, start) in graphs.items():
        flow = Flow(nodes)
        native = flowsweep.FlowsweepManager(None, flow, nodes[start], "")
        plain = PlainManager(None, flow, nodes[start], "")
        got = native._discover_downstream_nodes(nodes[start], set())
        assert got == plain._discover_downstream_nodes(nodes[start], set()), label
        t_native = ns_per_call(lambda: native._discover_downstream_nodes(nodes[start], set()))
        t_plain = ns_per_call(lambda: plain._discover_downstream_nodes(nodes[start], set()))
        per_entry[label] = t_native / len(got)
        table.add(label, entries=len(got), native_ns=t_native, plain_ns=t_plain,
                  ratio=t_plain / t_native, native_ns_per_entry=per_entry[label])
    nodes, start = chain(100_000)
    native = flowsweep.FlowsweepManager(None, Flow(nodes), nodes[start], "")
    got = native._discover_downstream_nodes(nodes[start], set())
    assert len(got) == 99_999
    try:
        PlainManager(None, Flow(nodes), nodes[start], "")._discover_downstream_nodes(nodes[start], set())
        plain_result = "ok"
    except RecursionError:
        plain_result = "RecursionError"
    t_native = ns_per_call(lambda: native._discover_downstream_nodes(nodes[start], set()), repeats=5)
    tree_per_entry = per_entry["binary tree, 1,023 nodes"]
    table.add("chain, 100,000 nodes", entries=len(got), native_ns=t_native, plain=plain_result,
              native_ns_per_entry=t_native / len(got),
              per_entry_vs_tree=t_native / len(got) / tree_per_entry)
    # The same number of nodes as a shallow tree: what a graph of this size
    # costs per entry (cache misses in the node table and the visited set),
    # whatever its depth.
    nodes, start = tree(131_071)
    wide = flowsweep.FlowsweepManager(None, Flow(nodes), nodes[start], "")
    t_wide = ns_per_call(lambda: wide._discover_downstream_nodes(nodes[start], set()), repeats=5)
    table.add("binary tree, 131,071 nodes", entries=len(nodes) - 1, native_ns=t_wide,
              native_ns_per_entry=t_wide / (len(nodes) - 1),
              chain_per_entry_vs_this=t_native / len(got) / (t_wide / (len(nodes) - 1)))
    results["discovery"] = table.rows

    table = Table("clear_stream_keys on the DAG, indexed fake, dropped log lines")
    nodes, start = dag(2000, 4000)
    flow = Flow(nodes)
    fake = IndexedFake(nodes)
    flowsweep.logger = DropLogger()
    args = (fake, flow, nodes[start], f"redis_{start}_0")
    assert flowsweep.clear_stream_redis_keys(*args) is plain_clear_stream_redis_keys(*args) is True
    patterns = [f"redis_{nid}_*" for nid in nodes]
    keys = PlainManager(*args)._collect_stream_redis_keys()

    def fake_alone():
        for p in patterns:
            fake.scan_keys(pattern=p)
        fake.delete_many(keys)

    t_fake = ns_per_call(fake_alone)
    t_native = ns_per_call(lambda: flowsweep.clear_stream_redis_keys(*args))
    t_plain = ns_per_call(lambda: plain_clear_stream_redis_keys(*args))
    table.add("one-shot cleanup", native_ms=t_native / 1e6, plain_ms=t_plain / 1e6,
              fake_ms=t_fake / 1e6, ratio_minus_fake=(t_plain - t_fake) / (t_native - t_fake))
    results["clear"] = table.rows

    table = Table("memory: peak RSS growth over 20,000 calls (KiB)")
    nodes, start = tree(63)
    small = flowsweep.FlowsweepManager(IndexedFake(nodes), Flow(nodes), nodes[start], "k")
    table.add("_discover_downstream_nodes", kib=rss_growth_kib(
        lambda: small._discover_downstream_nodes(nodes[start], set())))
    table.add("clear_stream_keys", kib=rss_growth_kib(
        lambda: (small.reset_cleanup_flag(), small.clear_stream_keys())))
    results["memory"] = table.rows
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    # The plain rendering recurses once per level; the DAG needs more than
    # the default limit (the 100,000-node chain fails in it all the same).
    sys.setrecursionlimit(10_000)
    import nalo_sdk.redis.flowsweep as module

    info = machine()
    print("machine:", ", ".join(f"{k} {v}" for k, v in info.items()))
    results = {"machine": info, **run(module)}
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
