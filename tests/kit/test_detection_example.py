"""The Python code of the node package's example flow detection-stream.json,
without Node-RED: each stage's code taken from the flow and run as its
worker runs it, its hooks called with a stand-in for the node."""

import json
import os
import pathlib
import types

import cv2
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
RECORDS = json.loads((ROOT / "node-red" / "examples" / "detection-stream.json").read_text())
PHOTOS = json.loads(next(r for r in RECORDS if r["type"] == "inject")["payload"])


class StandIn:
    def __init__(self):
        self.sent, self.lines = [], []

    def send(self, msg):
        self.sent.append(msg)

    def status(self, *args, **fields):
        pass

    def log(self, text):
        self.lines.append(text)


def stage(name):
    (record,) = [r for r in RECORDS if r["type"] == "nalo-python" and r["name"] == name]
    module = types.ModuleType(name)
    exec(compile(record["code"], f"<node {name}>", "exec"), module.__dict__)
    if hasattr(module, "setup"):
        module.setup(StandIn())
    return module


def iou(a, b):
    w = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
    h = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
    inter = max(0, w) * max(0, h)
    return inter / (a[2] * a[3] + b[2] * b[3] - inter)


@pytest.mark.parametrize(
    "given, names",
    [
        (lambda d: {"directory": d, "files": ["b.png"]}, ["b.png"]),
        (lambda d: {"directory": d}, ["a.JPG", "b.png", "c.jpeg"]),
        (lambda d: f" {d} ", ["a.JPG", "b.png", "c.jpeg"]),
    ],
    ids=["files named", "a directory", "a directory as text"],
)
def test_frames_reads_the_photographs_named(tmp_path, given, names):
    for name in ["a.JPG", "b.png", "c.jpeg", "notes.txt"]:
        (tmp_path / name).write_bytes(name.encode() * 3)
    node = StandIn()
    assert stage("frames").on_input({"payload": given(str(tmp_path))}, node) is None
    assert [(m["topic"], m["payload"], m["frame"]["index"]) for m in node.sent] == [
        (name, name.encode() * 3, index) for index, name in enumerate(names)
    ]
    with pytest.raises(FileNotFoundError):
        stage("frames").on_input({"payload": str(tmp_path / "gone")}, node)


def photographs():
    paths = [os.path.join(PHOTOS["directory"], name) for name in PHOTOS["files"]]
    if not all(os.path.isfile(path) for path in paths):
        pytest.skip(f"no {', '.join(PHOTOS['files'])}: install the Debian package opencv-doc")
    return paths


def test_the_detector_and_nms_on_the_example_photographs():
    detect, nms = stage("cascade detector"), stage("per-class NMS")
    overlapping = 0
    for index, path in enumerate(photographs()):
        with open(path, "rb") as photo:
            msg = {"payload": photo.read(), "topic": path, "frame": {"index": index, "name": path}}
        height, width = cv2.imread(path, cv2.IMREAD_GRAYSCALE).shape
        found = detect.on_input(msg, StandIn())["payload"]
        assert found["size"] == [width, height] and found["labels"] == ["face", "upper body"]
        for (x, y, w, h), score in zip(found["boxes"], found["scores"]):
            assert 0 <= x and 0 <= y and x + w <= width + 0.5 and y + h <= height + 0.5
            assert 0 < score < 1
        pairs = list(zip(found["boxes"], found["class_ids"]))
        overlapping += sum(
            c == d and iou(a, b) > nms.IOU_THRESHOLD for a, c in pairs for b, d in pairs if a < b
        )
        kept = nms.on_input(msg, StandIn())["payload"]
        assert kept["candidates"] == len(pairs) > len(kept["detections"]) > 0
        boxes = [(d["box"], d["class_id"]) for d in kept["detections"]]
        assert all(
            c != d or iou(a, b) <= nms.IOU_THRESHOLD for a, c in boxes for b, d in boxes if a < b
        )
    assert overlapping > 0  # what NMS is there for


def test_the_detector_refuses_what_is_no_image_and_finds_nothing_in_a_tiny_one():
    detect = stage("cascade detector")
    with pytest.raises(ValueError, match="x.bin: not an image"):
        detect.on_input({"payload": b"not an image", "topic": "x.bin"}, StandIn())
    tiny = cv2.imencode(".png", np.zeros((10, 10), np.uint8))[1].tobytes()
    assert detect.on_input({"payload": tiny}, StandIn())["payload"]["boxes"] == []


@pytest.mark.parametrize(
    "boxes, scores, class_ids, kept",
    [
        ([[10, 10, 40, 40], [12, 12, 40, 40]], [0.9, 0.8], [0, 0], [0]),  # the better face
        ([[20, 20, 20, 20], [0, 0, 80, 80]], [0.9, 0.8], [0, 1], [0, 1]),  # a face in a body
        ([[10, 10, 40, 40], [200, 10, 40, 40]], [0.9, 0.4], [0, 0], [0]),  # below 0.5
        ([], [], [], []),
    ],
)
def test_the_nms_stage(boxes, scores, class_ids, kept):
    found = {"boxes": boxes, "scores": scores, "class_ids": class_ids, "detect_s": 0.01}
    found["labels"] = ["face", "upper body"]
    msg = {"payload": found, "frame": {"index": 3, "name": "a.jpg"}}
    out = stage("per-class NMS").on_input(msg, StandIn())["payload"]
    assert [d["box"] for d in out["detections"]] == [boxes[i] for i in kept]


def test_the_payload_published():
    publish, topics = stage("publish"), []
    publish.publish_result = lambda payload: topics.append(payload) or "mqtt_local_x"
    found = {"detections": [{"label": "face"}], "detect_s": 0.123456}
    msg = publish.on_input({"payload": found, "frame": {"index": 2, "name": "a.jpg"}}, StandIn())
    assert msg["topic"] == "mqtt_local_x" and topics == [msg["payload"]]
    assert (msg["payload"]["source_key"], msg["payload"]["source_name"]) == (
        "photographs_2",
        "a.jpg",
    )
    assert msg["payload"]["result"] is found["detections"]
    assert msg["payload"]["inference time(sec)"] == 0.1235
