import os
import pathlib
import subprocess
import sys

import pytest

import nalo_sdk

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("redis_kind", ["cluster", "single"])
def test_demo_against_real_peers(node_red, mosquitto, redis_cluster, redis_kind):
    # The session's peers are not used: asking for them skips (or fails)
    # this test when a program is missing, as for every other peer test.
    stage = pathlib.Path(nalo_sdk.__file__).parent.parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(stage), str(ROOT / "tools")]))
    run = subprocess.run(
        [sys.executable, "-m", "devkit.demo", "--data", str(ROOT / "tests" / "data"), "--peers",
         "--redis", redis_kind],
        env=env, capture_output=True, text=True, timeout=180,
    )  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr
    out = run.stdout
    assert "Result: OK" in out and "FAIL" not in out
    assert "ok   every payload arrived at the subscriber, unchanged" in out
    assert "ok   the flow loaded from Node-RED is the flow deployed" in out
    assert ("Redis Cluster of 3 primaries" in out) == (redis_kind == "cluster")
