import os
import pathlib
import subprocess
import sys

import nalo_sdk

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"


def test_demo_runs_clean():
    stage = pathlib.Path(nalo_sdk.__file__).parent.parent
    # From another directory: the demo finds the repository's data itself.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(stage), str(TOOLS)]))
    run = subprocess.run(
        [sys.executable, "-m", "devkit.demo"],
        env=env,
        cwd="/",
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Result: OK" in run.stdout and "FAIL" not in run.stdout
