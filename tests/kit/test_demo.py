"""The main job runs to its end and its own checks hold."""

import os
import pathlib
import subprocess
import sys

import nalo_sdk

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def test_demo_runs_clean():
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(nalo_sdk.__file__).parent.parent))
    run = subprocess.run(
        [sys.executable, "-m", "nalo_sdk.demo", "--data", str(DATA)],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Result: OK" in run.stdout and "FAIL" not in run.stdout
