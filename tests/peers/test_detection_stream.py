"""The node package's example flow, detection-stream.json, end to end in a
real Node-RED with a throwaway redis-server and mosquitto, run by the demo
that shows it (make demo-node-red): the payloads over MQTT, the stream's
keys and their clearing on a redeploy are the demo's own checks."""

import os
import pathlib
import shutil
import subprocess
import sys

import cv2
import pytest

import nalo_sdk
from devkit.detection_flow import DetectionFlow

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("given", [False, True], ids=["the example's photographs", "a directory"])
def test_the_example_flow_end_to_end(node_red, mosquitto, tmp_path, given):
    # The session's peers are not used: asking for them skips (or fails)
    # this test when a program is missing, as for every other peer test.
    if os.environ.get("NALO_TARGET"):
        # Under qemu the detector's worker would take minutes per run; the
        # host's own tests and the example's code (tests/kit) run there.
        pytest.skip("the example stream runs natively only")
    directory, files = DetectionFlow().frames()
    if not all(os.path.isfile(os.path.join(directory, name)) for name in files):
        if os.environ.get("NALO_PEERS_REQUIRED") == "1":
            pytest.fail(f"no {', '.join(files)} in {directory}: install opencv-doc")
        pytest.skip(f"no {', '.join(files)} in {directory}: install opencv-doc")
    args, names = [], files
    if given:
        photos = tmp_path / "photos"
        photos.mkdir()
        # A name with a blank, and a file that is no photograph, left alone.
        shutil.copy(os.path.join(directory, files[0]), photos / "team photo.JPG")
        (photos / "notes.txt").write_text("not a frame")
        args, names = ["--photos", str(photos)], ["team photo.JPG"]
    stage = pathlib.Path(nalo_sdk.__file__).parent.parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(stage), str(ROOT / "tools")]))
    out = tmp_path / "out"
    run = subprocess.run(
        [sys.executable, "-m", "devkit.demo_node_red", "--out", str(out), *args],
        env=env, capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert run.returncode == 0 and "FAIL" not in run.stdout, run.stdout + run.stderr
    images = sorted(path.name for path in out.iterdir())
    assert images == sorted(f"{i}-{os.path.splitext(n)[0]}.jpg" for i, n in enumerate(names))
    for name in images:
        assert cv2.imread(str(out / name)) is not None
