"""Helpers of the peer tests: the real fixture flows and the keys of a
stream, worked out independently of the cleanup's own walk."""

import json
import pathlib

from nalo_sdk.redis.utils import gen_redis_key_local

FLOWS = pathlib.Path(__file__).resolve().parent.parent / "data" / "flows"


def load_records(name):
    return json.loads((FLOWS / name).read_bytes())


def stream_ids(nodes, start):
    """Ids reachable from start over wires, start included."""
    seen, todo = set(), [start]
    while todo:
        current = todo.pop()
        if current not in seen:
            seen.add(current)
            todo += [t for port in nodes[current].get("wires", []) for t in port if t in nodes]
    return seen


def port_keys(nodes, node_id):
    ports = max(1, len(nodes[node_id].get("wires", [])))
    return [gen_redis_key_local(node_id, port) for port in range(ports)]


def flow_keys(nodes, stream):
    """(the stream's keys, the keys that must survive its cleanup): port keys
    of every node, and keys that look like the stream's but are not."""
    mine, others = set(), set()
    for node_id in nodes:
        (mine if node_id in stream else others).update(port_keys(nodes, node_id))
    for node_id in stream:
        others.update(
            [
                gen_redis_key_local(node_id + "0", 0),
                gen_redis_key_local(node_id[:-1], 0),
                gen_redis_key_local("x" + node_id, 0),
                f"redis_{node_id}",
                f"local_{node_id}",
                f"cache_redis_{node_id}_0",
            ]
        )
    return mine, others - mine


def write_keys(client, names):
    """SET every name (one pipeline; on a cluster, one request per key)."""
    pipe = client.pipeline(transaction=False)
    for name in names:
        pipe.set(name, name)
    pipe.execute()


# Real flows and a start node in each: a core-nodes-only example whose
# nodes all run in Node-RED, and Home Assistant exports whose node types are
# missing there (Node-RED keeps and serves them all the same).
CLEANUP_CASES = [
    ("nr-example-link-call.json", "e1b6b1fbd9b33c6d"),
    ("ha-45sixty-flows.json", "951c6365.64e4d8"),
    ("ha-bkinstal-flows.json", "29c90f418fc873e1"),  # polling loops
    ("ha-bkinstal-goodwe-flows.json", "c1b941cd7c7a50cb"),  # 96 nodes deep
]
