"""The kit at work on real parts: ``python3 -m nalo_sdk.demo`` (``make demo``).

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
"""

import argparse
import collections
import importlib
import json
import os
import signal
import sys
import time

import redis

from nalo_sdk.nodered import FlowError, NaloFlow
from nalo_sdk.redis.sweep import RecordingRedis
from nalo_sdk.redis.throwaway import ThrowawayRedisServer
from nalo_sdk.redis.utils import gen_redis_key_local

FLOW_FILE = "flows/ha-45sixty-flows.json"
DEMO_NODE_ID = "951c6365.64e4d8"
DETECTIONS_FILE = "detections.json"


def find_data_dir(given):
    """The repository's tests/data: given, else under the working directory,
    else beside the source tree of the staged package."""
    if given:
        return given
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [
        os.path.join(os.getcwd(), "tests", "data"),
        # <repo>/<build dir>/python/nalo_sdk/demo.py
        os.path.join(here, "..", "..", "..", "tests", "data"),
    ]
    for candidate in candidates:
        if os.path.isfile(os.path.join(candidate, DETECTIONS_FILE)):
            return os.path.normpath(candidate)
    raise SystemExit(
        "demo: cannot find the repository's tests/data: run it from the repository "
        "root or give --data DIR"
    )


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
    parser = argparse.ArgumentParser(prog="python3 -m nalo_sdk.demo", description=__doc__)
    parser.add_argument("--data", metavar="DIR", help="the repository's tests/data directory")
    args = parser.parse_args(argv)
    data_dir = find_data_dir(args.data)

    # A terminated demo still stops its server (the with block's exit runs).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        return run(data_dir)
    except (FlowError, OSError, RuntimeError, redis.RedisError) as error:
        # No redis-server, a broken data file: say what, without a traceback.
        print(f"demo: error: {error}", file=sys.stderr)
        return 1


def run(data_dir):
    notes = []
    nms = optional_module("nalo_sdk.detection.nms", notes)
    mqtt_utils = optional_module("nalo_sdk.mqtt.utils", notes)
    from nalo_sdk.redis import clear_stream_redis_keys

    flow_path = os.path.join(data_dir, FLOW_FILE)
    flow = NaloFlow(flow_path, node_id=DEMO_NODE_ID)
    node = flow.parse_flow()["cur_node"]
    stream_ids, wire_count = stream_of(flow, DEMO_NODE_ID)
    with open(os.path.join(data_dir, DETECTIONS_FILE), encoding="utf-8") as file:
        detections = json.load(file)

    before, after, nms_lines, payloads = run_nms(nms, mqtt_utils, detections, node)

    with ThrowawayRedisServer() as server:
        with RecordingRedis(server.url) as redis_wrapper:
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
    checks = {
        "cleanup returned True": ok is True,
        "every stream key found": set(redis_wrapper.last_requested or []) == set(stream_keys),
        "every stream key deleted": deleted == len(stream_keys),
        "exactly the unrelated keys survived": remaining == set(survivor_keys),
    }

    name = node.get("name") or node.get("type")
    print("nalo_sdk demo")
    print(f"  Redis   redis-server {version} on 127.0.0.1:{server.port}, throwaway, no persistence")
    print(f"  flow    {os.path.relpath(flow_path)}: {len(flow._records)} records")
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
