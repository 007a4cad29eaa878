import contextlib
import os
import socket
import subprocess
import sys
import threading

from hypothesis import HealthCheck, settings

from nalo_sdk.redis.utils import gen_redis_key_local


def property_settings(*more_checks, max_examples=300):
    return settings(
        max_examples=max_examples,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, *more_checks],
    )


def run_python(code, path=None, environ=None, argv=(), timeout=None, **env):
    pythonpath = str(path) if path else os.pathsep.join(sys.path)
    return subprocess.run(
        [sys.executable, "-c", code, *argv],
        capture_output=True,
        text=True,
        env=dict(os.environ if environ is None else environ, PYTHONPATH=pythonpath, **env),
        cwd=path or os.getcwd(),
        timeout=timeout,
    )


def stream_ids(nodes, start):
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
    pipe = client.pipeline(transaction=False)
    for name in names:
        pipe.set(name, name)
    pipe.execute()


@contextlib.contextmanager
def one_connection(answer):
    """A loopback listener whose first connection ``answer(conn)`` serves in a
    thread of its own (its OSError, a client that gave up, is passed over).
    Yields the port; the thread is waited for briefly on the way out."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)

        def serve():
            conn, _ = listener.accept()
            with conn:
                try:
                    answer(conn)
                except OSError:
                    pass

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        yield listener.getsockname()[1]
        thread.join(5)
