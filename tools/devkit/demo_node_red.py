"""The detection stream in a real Node-RED: ``make demo-node-red``, or
``PYTHONPATH=build/python:tools python3 -m devkit.demo_node_red``.

Starts a throwaway redis-server, mosquitto and Node-RED (the pinned one of
``make node-red``, with the node package installed offline into a temporary
user directory), each on a free port of 127.0.0.1; deploys the package's
example flow ``detection-stream.json`` through the admin API with its Redis
server, its brokers and its Python pointed at them; presses its frames
button and prints what happened: per frame the candidates of the cascade
detector before and after the kit's per-class NMS, the payloads received
over MQTT (by a subscriber of the demo and by the flow's ``mqtt in`` node),
the stream's keys in Redis and that a redeploy clears them. Writes one
image per frame with the kept boxes drawn (``--out``, default
build/demo-node-red) and prints their paths.

Everything it started is stopped, also on a failure or Ctrl-C. The exit
status is 0 only when every check held.
"""

import argparse
import contextlib
import json
import os
import re
import signal
import sys
import time

from devkit.demo import Receiver
from devkit.detection_flow import EXAMPLE, DetectionFlow
from devkit.node_red_package import ROOT, NodeRedWithPackage
from devkit.peers import ThrowawayMosquitto
from devkit.redis_servers import ThrowawayRedisServer

# Where the example's detector takes its cascades from (Debian's opencv-data).
CASCADES = "/usr/share/opencv4/haarcascades"
# One NMS log line per frame, written by the example's NMS node.
NMS_LINE = re.compile(r"frame (\d+) (.+?): (\d+) candidates, (\d+) kept")
PAYLOAD_KEYS = [
    "source_id", "source_name", "source_key", "source_idx", "ts", "id", "type", "result",
    "inference time(sec)", "category",
]  # fmt: skip
COLOURS = [(0, 200, 255), (80, 220, 60), (255, 120, 40), (200, 80, 255)]  # BGR, per class


def wait_until(condition, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def inside(box, frames, payload):
    """Whether a box lies within the photograph of its payload."""
    import cv2

    path = os.path.join(frames["directory"], payload["source_name"])
    height, width = cv2.imread(path, cv2.IMREAD_GRAYSCALE).shape
    left, top, w, h = box
    return (
        0 <= left
        and 0 <= top
        and 0 < w
        and 0 < h
        and left + w <= width + 0.5
        and top + h <= height + 0.5
    )


def stream_keys(client, stages):
    """The Redis keys of the stream's nodes, by node."""
    return {
        stage["id"]: sorted(key.decode() for key in client.scan_iter(f"redis_{stage['id']}_*"))
        for stage in stages
    }


def draw(path, detections, labels, out_path):
    """The photograph at ``path`` with the kept boxes drawn, written to
    ``out_path``."""
    import cv2

    image = cv2.imread(path)
    if image is None:
        raise OSError(f"cannot read the photograph {path}")
    for found in detections:
        left, top, width, height = (round(v) for v in found["box"])
        colour = COLOURS[labels.index(found["label"]) % len(COLOURS)]
        cv2.rectangle(image, (left, top), (left + width, top + height), colour, 2)
        text = f"{found['label']} {found['score']:.2f}"
        cv2.putText(
            image, text, (left, max(12, top - 4)), cv2.FONT_HERSHEY_SIMPLEX, 0.45, colour, 1,
            cv2.LINE_AA,
        )  # fmt: skip
    if not cv2.imwrite(out_path, image):
        raise OSError(f"cannot write {out_path}")


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m devkit.demo_node_red",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--photos", metavar="DIR", help="the photographs (every JPEG and PNG in DIR) "
        "instead of the example's sample photographs of Debian's opencv-doc",
    )  # fmt: skip
    parser.add_argument(
        "--out", metavar="DIR", default=os.path.join(ROOT, "build", "demo-node-red"),
        help="where the images with the kept boxes go (default: build/demo-node-red)",
    )  # fmt: skip
    parser.add_argument("--flow", default=EXAMPLE, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    # A terminated demo still stops what it started (the with blocks' exits run).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        with contextlib.ExitStack() as stack:
            return run(stack, args)
    except KeyboardInterrupt:
        print("demo: interrupted; everything it started is stopped", file=sys.stderr)
        return 130
    except (OSError, RuntimeError, ValueError) as error:
        print(f"demo: error: {error}", file=sys.stderr)
        return 1


def frames_of(flow, photos):
    """The directory and files of the frames, checked to be there. A
    directory given is handed to the flow alone: its frames node lists it."""
    if photos:
        names = sorted(
            n for n in os.listdir(photos) if n.lower().endswith((".jpg", ".jpeg", ".png"))
        )
        frames = {"directory": os.path.abspath(photos), "files": names}
    else:
        directory, names = flow.frames()
        frames = {"directory": directory, "files": names}
    missing = [
        n for n in frames["files"] if not os.path.isfile(os.path.join(frames["directory"], n))
    ]
    if not frames["files"] or missing:
        raise OSError(
            f"no photographs {', '.join(missing)} in {frames['directory']}: install the Debian "
            "package opencv-doc, or give --photos DIR"
        )
    return frames


def run(stack, args):
    import redis

    flow = DetectionFlow(args.flow)
    frames = frames_of(flow, args.photos)
    if not os.path.isdir(CASCADES):
        raise OSError(f"no {CASCADES}: install the Debian package opencv-data")
    count = len(frames["files"])
    checks = {}

    server = stack.enter_context(ThrowawayRedisServer())
    broker = stack.enter_context(ThrowawayMosquitto())
    stage_dir = os.path.dirname(os.path.dirname(os.path.abspath(sys.modules["nalo_sdk"].__file__)))
    red = stack.enter_context(NodeRedWithPackage(stage_dir))
    print("Detection stream in a real Node-RED")
    print(f"  redis-server on 127.0.0.1:{server.port}, mosquitto on 127.0.0.1:{broker.port}, "
          f"Node-RED on 127.0.0.1:{red.port} (up in {red.started_in:.1f} s)")  # fmt: skip

    given = {"directory": frames["directory"]} if args.photos else frames
    flow.point_at(server.url, broker.url, sys.executable, given)
    # The flow's own receiver logs what it gets: the source key of each payload.
    flow.mqtt_debug.update(console="true", complete="payload.source_key", targetType="msg")
    topic = f"mqtt_local_{flow.publisher['id']}"
    receiver = Receiver(broker.url, topic)
    stack.callback(receiver.close)
    rev = red.deploy(flow.records)
    names = " -> ".join(stage["name"] for stage in flow.stages)
    print(f"  {os.path.relpath(args.flow)}: {names}; deployed (rev {(rev or '?')[:12]})")

    red.inject(flow.inject["id"])
    received = receiver.wait_for(count, timeout=60)
    payloads = sorted((json.loads(m.payload) for m in received), key=lambda p: p["source_idx"])
    mqtt_in_line = re.compile(rf"\[debug:{re.escape(flow.mqtt_debug['name'])}\] (\S+)")
    wait_until(lambda: len(mqtt_in_line.findall(red.log_text())) >= count, 10)
    wait_until(lambda: len(NMS_LINE.findall(red.log_text())) >= count, 10)
    nms_lines, mqtt_in = NMS_LINE.findall(red.log_text()), mqtt_in_line.findall(red.log_text())

    print(f"Frames: {count} from {frames['directory']}")
    by_index = {p["source_idx"]: p for p in payloads}
    for index, name, candidates, kept in nms_lines:
        found = by_index.get(int(index), {}).get("result", [])
        labels = sorted({d["label"] for d in found})
        per_label = ", ".join(f"{sum(d['label'] == x for d in found)} {x}" for x in labels)
        print(f"  {index} {name}: {candidates} candidates, {kept} kept ({per_label or 'none'})")

    print(f"Payloads over MQTT on {topic}")
    print(f"  {len(payloads)} received by the demo's subscriber, "
          f"{len(mqtt_in)} by the flow's mqtt in node ({', '.join(mqtt_in)})")  # fmt: skip
    if payloads:
        sample = dict(payloads[0], result=payloads[0]["result"][:1] + ["..."])
        print(f"  first: {json.dumps(sample)}")
    checks["a payload per frame received over MQTT"] = len(payloads) == count
    checks["the flow's mqtt in node received them all"] = len(mqtt_in) == count
    checks["the payloads name the publishing node"] = all(
        (p["id"], p["type"]) == (flow.publisher["id"], "nalo-python") for p in payloads
    )
    checks["every frame's candidates before and after NMS logged"] = len(nms_lines) == count
    checks["every payload has the ten keys, its boxes inside its frame"] = all(
        list(p) == PAYLOAD_KEYS and all(inside(d["box"], frames, p) for d in p["result"])
        for p in payloads
    )

    client = stack.enter_context(contextlib.closing(redis.Redis.from_url(server.url)))
    keys = stream_keys(client, flow.stages)
    print("Stream keys in Redis (each stage's output)")
    for stage in flow.stages:
        for key in keys[stage["id"]]:
            kind = client.type(key).decode()
            size = f", {client.strlen(key)} bytes" if kind == "string" else ""
            print(f"  {key}  {stage['name']}: {kind}{size}")
    checks["every stage's output is under its key"] = all(keys.values())
    # The last message of each stage is what its key holds: the last frame's.
    last = os.path.join(frames["directory"], frames["files"][-1])
    with open(last, "rb") as photo:
        held = client.get(f"redis_{flow.stages[0]['id']}_0") == photo.read()
    checks["the frames' key holds the last photograph, byte for byte"] = held
    nms_out = json.loads(client.get(f"redis_{flow.stages[-2]['id']}_0") or "null")
    checks["the NMS key holds the last frame's kept boxes, as published"] = bool(payloads) and (
        (nms_out or {}).get("detections") == payloads[-1]["result"]
    )
    red.deploy(flow.records)
    cleared = wait_until(lambda: not any(stream_keys(client, flow.stages).values()), 20)
    left = sum(len(k) for k in stream_keys(client, flow.stages).values())
    print(f"  after a redeploy: {left} keys of the stream left")
    checks["the stream's keys cleared on redeploy"] = any(keys.values()) and bool(cleared)

    os.makedirs(args.out, exist_ok=True)
    labels = sorted({d["label"] for p in payloads for d in p["result"]})
    print(f"Images with the kept boxes ({args.out})")
    for payload in payloads:
        name = payload["source_name"]
        out_path = os.path.join(
            args.out, f"{payload['source_idx']}-{os.path.splitext(name)[0]}.jpg"
        )
        draw(os.path.join(frames["directory"], name), payload["result"], labels, out_path)
        print(f"  {os.path.relpath(out_path)}")
    for what, held in checks.items():
        print(f"  {'ok  ' if held else 'FAIL'} {what}")
    good = all(checks.values())
    if not good:
        errors = [line for line in red.log_text().splitlines() if "[error]" in line]
        print("Node-RED's errors:" if errors else "Node-RED logged no error")
        for line in errors[-10:]:
            print(f"  {line}")
    print("Result:", "OK" if good else "FAILED")
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
