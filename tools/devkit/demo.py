"""The kit at work on real parts: ``make demo``, or
``PYTHONPATH=build/python:tools python3 -m devkit.demo``.

1. Starts a throwaway redis-server on a free port of 127.0.0.1 (own
   temporary directory, nothing kept on disk; stopped at the end, also when
   something fails).
2. Loads a real Node-RED flow from the repository's test data and picks a
   node; writes the output keys of that node and of every node downstream of
   it, and keys that must survive the cleanup: the keys of the flow's other
   nodes, of made-up ids that share a prefix with the stream's ids, and of
   other key families.
3. Runs per-class NMS over a bundled set of raw detections and builds each
   result's MQTT payload and the node's local MQTT key.
4. Clears the stream's keys with ``clear_stream_redis_keys`` and checks that
   exactly the stream's keys are gone.

Prints a short report; the exit status is 0 only when every check held.
A compiled module that has not been built yet is named and its step skipped.

With ``--peers`` (``make demo PEERS=1``) the same job runs against real
programs, each started on a free port of 127.0.0.1 and stopped at the end:

- Node-RED (installed by ``make node-red``) is the flow source: the flow is
  deployed to it through its admin API and loaded back from there;
- mosquitto receives the payloads, each published as JSON on the node's
  local MQTT key, and a subscriber checks that every one arrived unchanged;
- Redis is a Redis Cluster of three primaries (``--redis single``: one
  redis-server).

``--redis cluster`` alone runs the plain job on a Redis Cluster.
"""

import argparse
import collections
import contextlib
import importlib
import json
import os
import signal
import sys
import threading
import time

import redis

from devkit.redis_servers import ThrowawayRedisCluster, ThrowawayRedisServer
from nalo_sdk.nodered import FlowError, NaloFlow
from nalo_sdk.redis.client import NaloRedis
from nalo_sdk.redis.utils import gen_redis_key_local

FLOW_FILE = "flows/ha-45sixty-flows.json"
DEMO_NODE_ID = "951c6365.64e4d8"
DETECTIONS_FILE = "detections.json"


# The repository's test data, beside this tools directory: <repo>/tools/devkit/demo.py.
DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "data")


class RecordingRedis(NaloRedis):
    """A NaloRedis that remembers the last deletion, for the demo's checks."""

    last_deleted = None
    last_requested = None

    def delete_many(self, keys):
        self.last_requested = list(keys)
        self.last_deleted = super().delete_many(self.last_requested)
        return self.last_deleted


def find_data_dir(given):
    """The data directory: given, else the repository's tests/data."""
    data_dir = os.path.normpath(given or DATA_DIR)
    if not os.path.isfile(os.path.join(data_dir, DETECTIONS_FILE)):
        raise SystemExit(f"demo: no {DETECTIONS_FILE} in {data_dir}: give --data DIR")
    return data_dir


def optional_module(name, notes):
    """Import a compiled module of the kit, or note that it is not built."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        notes.append(f"{name} is not built yet ({error}): its step is skipped")
        return None


def stream_of(flow, node_id):
    """The ids of the node and of every node reachable over its wires, and the
    number of wires walked, by a walk independent of the cleanup's own."""
    nodes = flow._nodes
    seen, wires, todo = [], 0, [node_id]
    while todo:
        current = todo.pop()
        if current in seen:
            continue
        seen.append(current)
        for port in nodes[current].get("wires", []):
            for target in port:
                if target in nodes:
                    wires += 1
                    todo.append(target)
    return seen, wires


def port_keys(flow, node_id):
    ports = max(1, len(flow._nodes[node_id].get("wires", [])))
    return [gen_redis_key_local(node_id, port) for port in range(ports)]


def plan_keys(flow, stream_ids):
    """The keys of the stream and the keys that must survive its cleanup."""
    stream = [key for node_id in stream_ids for key in port_keys(flow, node_id)]
    others = [node_id for node_id in flow._nodes if node_id not in stream_ids]
    survivors = [key for node_id in others for key in port_keys(flow, node_id)]
    for node_id in stream_ids[:3]:
        survivors += [
            # ids that start like a stream id, and one that is its prefix
            gen_redis_key_local(node_id + "0", 0),
            gen_redis_key_local(node_id + ".copy", 1),
            gen_redis_key_local(node_id[:-1], 0),
            # other key families that mention the id
            f"local_{node_id}",
            f"redis:{node_id}:0",
            f"cache_redis_{node_id}_0",
        ]
    taken = set(stream)
    return stream, [key for key in dict.fromkeys(survivors) if key not in taken]


def run_nms(nms, mqtt_utils, detections, node):
    """Per-class NMS over every frame; payloads and the MQTT key."""
    labels = detections["classes"]
    frames = detections["frames"]
    lines, payloads = [], []
    before = sum(len(frame["boxes"]) for frame in frames)
    after = None
    if nms is not None:
        after = 0
        for frame in frames:
            started = time.perf_counter()
            kept = nms.non_max_suppression_cv_per_class(
                frame["boxes"],
                frame["scores"],
                frame["class_ids"],
                score_threshold=detections["score_threshold"],
                iou_threshold=detections["iou_threshold"],
            )
            elapsed = time.perf_counter() - started
            after += len(kept)
            per_class = collections.Counter(labels[str(frame["class_ids"][i])] for i in kept)
            lines.append(
                f"  frame {frame['index']}: {len(frame['boxes'])} boxes -> {len(kept)} kept "
                f"({', '.join(f'{name} {count}' for name, count in sorted(per_class.items()))})"
            )
            result = [
                {
                    "label": labels[str(frame["class_ids"][i])],
                    "class_id": frame["class_ids"][i],
                    "score": frame["scores"][i],
                    "box": frame["boxes"][i],
                }
                for i in kept
            ]
            if mqtt_utils is not None:
                payloads.append(
                    mqtt_utils.meta_info_to_publish(
                        detections["source_name"],
                        detections["source_id"],
                        source_idx=frame["index"],
                        result=result,
                        node_id=node["id"],
                        node_type=node.get("type", ""),
                        infer_t=elapsed,
                    )
                )
    return before, after, lines, payloads


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m devkit.demo",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--data", metavar="DIR", help="the data directory (default: the repository's tests/data)"
    )
    parser.add_argument(
        "--peers",
        action="store_true",
        help="run against real peers: Node-RED as the flow source, mosquitto receiving "
        "the payloads, a Redis Cluster (see --redis)",
    )
    parser.add_argument(
        "--redis",
        choices=("single", "cluster"),
        default=None,
        help="one redis-server or a 3-primary Redis Cluster (default: cluster with "
        "--peers, else single)",
    )
    args = parser.parse_args(argv)
    data_dir = find_data_dir(args.data)
    redis_kind = args.redis or ("cluster" if args.peers else "single")

    # A terminated demo still stops its servers (the with block's exit runs).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        return run(data_dir, peers=args.peers, redis_kind=redis_kind)
    except (FlowError, OSError, RuntimeError, redis.RedisError) as error:
        # No redis-server, a broken data file, a peer that is not installed:
        # say what, without a traceback.
        print(f"demo: error: {error}", file=sys.stderr)
        return 1


def start_redis(stack, redis_kind):
    """The throwaway Redis of the demo: its URL and how to describe it."""
    if redis_kind == "cluster":
        cluster = stack.enter_context(ThrowawayRedisCluster())
        ports = ", ".join(str(port) for port in cluster.ports)
        return cluster.url, f"as a Redis Cluster of 3 primaries on 127.0.0.1 ports {ports}"
    server = stack.enter_context(ThrowawayRedisServer())
    return server.url, f"on 127.0.0.1:{server.port}"


class Receiver:
    """A subscriber on the broker that keeps the payloads it receives."""

    def __init__(self, url, topic):
        import paho.mqtt.client as mqtt

        from nalo_sdk.mqtt.publish import parse_url

        host, port, _, _ = parse_url(url)
        self.topic = topic
        self.messages = []
        self._subscribed = threading.Event()
        self._lock = threading.Lock()
        options = {"client_id": "nalo-demo-receiver"}
        if hasattr(mqtt, "CallbackAPIVersion"):
            options["callback_api_version"] = mqtt.CallbackAPIVersion.VERSION2
        self.client = mqtt.Client(**options)
        self.client.on_message = self._on_message
        self.client.on_subscribe = lambda *_: self._subscribed.set()
        self.client.connect(host, port)
        self.client.loop_start()
        self.client.subscribe(topic, qos=1)
        if not self._subscribed.wait(10):
            self.close()
            raise RuntimeError(f"the demo's subscriber could not subscribe at {url}")

    def _on_message(self, client, userdata, message):
        with self._lock:
            self.messages.append(message)

    def wait_for(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.messages) >= count:
                    break
            time.sleep(0.01)
        with self._lock:
            return list(self.messages)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def load_flow(stack, data_dir, peers, checks, lines):
    """The demo's flow: from the file, or deployed to a throwaway Node-RED
    and loaded back from it."""
    flow_path = os.path.join(data_dir, FLOW_FILE)
    if not peers:
        flow = NaloFlow(flow_path, node_id=DEMO_NODE_ID)
        return flow, f"{os.path.relpath(flow_path)}: {len(flow._records)} records"
    from devkit.peers import ThrowawayNodeRed

    node_red = stack.enter_context(ThrowawayNodeRed())
    with open(flow_path, encoding="utf-8") as file:
        records = json.load(file)
    node_red.deploy(records)
    flow = NaloFlow(node_red.url, node_id=DEMO_NODE_ID)
    checks["the flow loaded from Node-RED is the flow deployed"] = flow._records == records
    lines.append(f"  Node-RED on 127.0.0.1:{node_red.port}, up in {node_red.started_in:.2f} s")
    return flow, (
        f"{os.path.relpath(flow_path)} deployed to Node-RED, loaded back from "
        f"{node_red.url}/flows (rev {(flow.rev or '?')[:12]}): {len(flow._records)} records"
    )


def publish_payloads(stack, payloads, checks, lines):
    """Publish every payload through mosquitto and check what a subscriber
    received."""
    from nalo_sdk.mqtt.publish import NaloPublisher, encode_payload, topic_for
    from devkit.peers import ThrowawayMosquitto

    broker = stack.enter_context(ThrowawayMosquitto())
    lines.append(f"  mosquitto on 127.0.0.1:{broker.port}, up in {broker.started_in:.2f} s")
    if not payloads:
        return []
    topic = topic_for(payloads[0])
    receiver = Receiver(broker.url, topic)
    stack.callback(receiver.close)
    with NaloPublisher(broker.url) as publisher:
        topics = {publisher.publish(payload) for payload in payloads}
    received = receiver.wait_for(len(payloads))
    sent = [json.loads(encode_payload(payload)) for payload in payloads]
    got = [json.loads(message.payload) for message in received]
    checks["every payload arrived at the subscriber, unchanged"] = got == sent
    checks["every payload went to the node's local MQTT key"] = topics == {topic} and all(
        message.topic == topic for message in received
    )
    sizes = [len(message.payload) for message in received]
    return [
        f"  published {len(payloads)} payloads on {topic!r}, received {len(received)} "
        f"({min(sizes, default=0)}..{max(sizes, default=0)} bytes of JSON each)"
    ]


def run(data_dir, peers=False, redis_kind="single"):
    with contextlib.ExitStack() as stack:
        return run_with(stack, data_dir, peers, redis_kind)


def run_with(stack, data_dir, peers, redis_kind):
    notes = []
    checks = {}
    peer_lines = []
    nms = optional_module("nalo_sdk.detection.nms", notes)
    mqtt_utils = optional_module("nalo_sdk.mqtt.utils", notes)
    from nalo_sdk.redis import clear_stream_redis_keys

    flow, flow_line = load_flow(stack, data_dir, peers, checks, peer_lines)
    node = flow.parse_flow()["cur_node"]
    stream_ids, wire_count = stream_of(flow, DEMO_NODE_ID)
    with open(os.path.join(data_dir, DETECTIONS_FILE), encoding="utf-8") as file:
        detections = json.load(file)

    before, after, nms_lines, payloads = run_nms(nms, mqtt_utils, detections, node)
    publish_lines = []
    if peers:
        publish_lines = publish_payloads(stack, payloads, checks, peer_lines)

    redis_url, redis_line = start_redis(stack, redis_kind)
    with RecordingRedis(redis_url) as redis_wrapper:
        client = redis_wrapper._redis_client
        version = client.info("server")["redis_version"]
        stream_keys, survivor_keys = plan_keys(flow, stream_ids)
        out_key = gen_redis_key_local(DEMO_NODE_ID, 0)
        pipe = client.pipeline(transaction=False)
        for key in stream_keys + survivor_keys:
            pipe.set(key, json.dumps({"key": key}))
        if payloads:
            # The node's output: its latest result, as a downstream node reads it.
            pipe.set(out_key, json.dumps(payloads[-1]))
        pipe.execute()

        ok = clear_stream_redis_keys(
            redis_wrapper=redis_wrapper,
            nodered_flow=flow,
            node_config=node,
            redis_out_key=out_key,
        )
        remaining = set(redis_wrapper.scan_keys())

    found = len(redis_wrapper.last_requested or [])
    deleted = redis_wrapper.last_deleted
    checks.update({
        "cleanup returned True": ok is True,
        "every stream key found": set(redis_wrapper.last_requested or []) == set(stream_keys),
        "every stream key deleted": deleted == len(stream_keys),
        "exactly the unrelated keys survived": remaining == set(survivor_keys),
    })  # fmt: skip

    name = node.get("name") or node.get("type")
    print("nalo_sdk demo" + (" against real peers" if peers else ""))
    print(f"  Redis   redis-server {version} {redis_line}, throwaway, no persistence")
    print(f"  flow    {flow_line}")
    for line in peer_lines:
        print(line)
    print(
        f"  node    {DEMO_NODE_ID} ({node['type']} {name!r}): {len(stream_ids) - 1} nodes "
        f"downstream over {wire_count} wires"
    )
    for note in notes:
        print(f"  note    {note}")
    print(
        f"Detections: per-class NMS, score >= {detections['score_threshold']}, "
        f"IoU > {detections['iou_threshold']} suppressed"
    )
    for line in nms_lines:
        print(line)
    if after is None:
        print(f"  {before} boxes; NMS skipped")
    else:
        print(f"  boxes before NMS: {before}, after: {after}")
    if mqtt_utils is not None:
        print(f"  local MQTT key: {mqtt_utils.gen_mqtt_key_local(DEMO_NODE_ID)}")
        if payloads:
            sample = dict(payloads[0])
            sample["result"] = sample["result"][:2] + (["..."] if len(sample["result"]) > 2 else [])
            print("  sample payload:", json.dumps(sample, ensure_ascii=False))
    for line in publish_lines:
        print(line)
    print("Stream cleanup")
    print(f"  keys written: {len(stream_keys)} of the stream, {len(survivor_keys)} unrelated")
    print(f"  keys found: {found}, deleted: {deleted}")
    print(f"  keys that survived: {len(remaining)}")
    for what, held in checks.items():
        print(f"  {'ok  ' if held else 'FAIL'} {what}")
    good = all(checks.values())
    print("Result:", "OK" if good else "FAILED")
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
