"""The installed package at work, run by tools/debs/test.sh in a fresh image
of a release with /usr/bin/python3 after `apt-get install` of the package.

    python3 smoke.py FLOWS_FILE

Imports the three compiled modules from the interpreter's dist-packages,
clears a stream of a real flow on a redis-server of the image's own (started
here on a free loopback port, stopped by its PID), lists it first with
`nalo-sweep --dry-run`, runs per-class NMS on NumPy input and builds an MQTT
payload. Any failure raises; the last line says what ran.
"""

import importlib
import json
import os
import socket
import subprocess
import sys
import time

# Where the package is installed, and the programs run: those of an apt
# install unless the environment names others (a wheel installed with pip
# into a directory of its own, a redis-server of the machine that emulates).
DIST_PACKAGES = os.environ.get("NALO_SMOKE_PACKAGE_DIR", "/usr/lib/python3/dist-packages/nalo_sdk/")
SWEEP = os.environ.get("NALO_SMOKE_SWEEP", "/usr/bin/nalo-sweep")
REDIS_SERVER = os.environ.get("NALO_SMOKE_REDIS_SERVER", "/usr/bin/redis-server")
COMPILED = ("nalo_sdk.redis.flowsweep", "nalo_sdk.detection.nms", "nalo_sdk.mqtt.utils")
# ha-45sixty-flows.json: a switch with two ports and two nodes below port 0,
# its stream's keys, and keys that are not the stream's (a node outside it,
# an id that merely starts with the switch's id, a key of another kind).
NODE = "25ada85f.7189c"
STREAM = sorted(
    """
    redis_25ada85f.7189c_0 redis_25ada85f.7189c_1 redis_c2037f0f.c23228_0 redis_3f92fc54.33ebdc_0
    redis_b49b7eb6.75a8c8_0 redis_dbde0b6a.665808_0
    """.split()
)
OTHERS = ["redis_9a6361f9.d69c48_0", "redis_25ada85f.7189c0_0", "local_25ada85f.7189c"]


def check_installed_modules():
    for name in COMPILED:
        module = importlib.import_module(name)
        assert module.__file__.startswith(DIST_PACKAGES), module.__file__
        assert module.__file__.endswith(".so"), module.__file__


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def start_redis(port):
    server = subprocess.Popen(
        [
            REDIS_SERVER,
            "--port",
            str(port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--daemonize",
            "no",
        ],
        stdout=subprocess.DEVNULL,
    )
    import redis

    client = redis.Redis(host="127.0.0.1", port=port, decode_responses=True)
    deadline = time.monotonic() + 20
    while True:
        try:
            client.ping()
            return server, client
        except redis.ConnectionError:
            if server.poll() is not None or time.monotonic() > deadline:
                server.kill()
                raise


def check_stream_cleanup(flows_file, client, url):
    from nalo_sdk.nodered import NaloFlow
    from nalo_sdk.redis import NaloRedis
    from nalo_sdk.redis.flowsweep import FlowsweepManager

    client.mset({key: 1 for key in STREAM + OTHERS})
    listed = subprocess.run(
        [SWEEP, "--flow", flows_file, "--node", NODE, "--redis", url, "--dry-run"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.splitlines() == STREAM, listed.stdout
    assert client.dbsize() == len(STREAM + OTHERS), "the dry run deleted keys"

    flow = NaloFlow(flows_file, node_id=NODE)
    node = flow.parse_flow()["cur_node"]
    manager = FlowsweepManager(NaloRedis(url), flow, node, f"redis_{NODE}_0")
    assert manager.clear_stream_keys() is True
    assert sorted(client.keys()) == sorted(OTHERS)


def check_nms_and_payload():
    import numpy as np

    from nalo_sdk.detection.nms import non_max_suppression_cv_per_class
    from nalo_sdk.mqtt.utils import Category, meta_info_to_publish

    boxes = [
        np.array(box, dtype=np.float32)
        for box in ([10, 10, 50, 50], [15, 15, 50, 50], [12, 12, 48, 48])
    ]
    scores = [np.float32(0.9), np.float64(0.8), 0.85]
    assert list(non_max_suppression_cv_per_class(boxes, scores, [1, 1, 2], 0.5, 0.3)) == [0, 2]

    result = [{"label": "person", "score": 0.91, "box": [412, 181, 93, 283]}]
    payload = meta_info_to_publish(
        "Front gate camera",
        "cam1",
        source_idx=0,
        result=result,
        infer_t=0.01234,
        category=Category.info,
    )
    assert payload["source_key"] == "cam1_0" and payload["category"] == "info", payload
    assert json.loads(json.dumps(payload))["result"] == result


def main(flows_file):
    check_installed_modules()
    port = free_port()
    server, client = start_redis(port)
    try:
        check_stream_cleanup(flows_file, client, f"redis://127.0.0.1:{port}/0")
    finally:
        client.close()
        server.kill()
        server.wait()
    check_nms_and_payload()
    print(
        f"smoke: {len(COMPILED)} compiled modules from {DIST_PACKAGES}, nalo-sweep --dry-run "
        f"and a {len(STREAM)}-key stream cleared on redis-server, per-class NMS, MQTT payload"
    )


if __name__ == "__main__":
    main(sys.argv[1])
