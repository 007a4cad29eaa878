"""Pieces shared by the test files: the settings of the property tests, a
snippet run in a fresh interpreter, and the keys of a stream worked out
independently of the cleanup's own walk."""

import os
import subprocess
import sys

from hypothesis import HealthCheck, settings

from nalo_sdk.redis.utils import gen_redis_key_local


def property_settings(*more_checks, max_examples=300):
    """Reproducible runs: derandomized, no example database, no deadline."""
    return settings(
        max_examples=max_examples,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, *more_checks],
    )


def run_python(code, path=None, environ=None, **env):
    """Runs `code` in a fresh interpreter with the output captured as text:
    PYTHONPATH is `path` (run from there) or else this interpreter's path;
    the environment is `environ` (default: ours) with `env` added."""
    pythonpath = str(path) if path else os.pathsep.join(sys.path)
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=dict(os.environ if environ is None else environ, PYTHONPATH=pythonpath, **env),
        cwd=path or os.getcwd(),
    )


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
