import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The interpreter under test builds the wheel: its own version tag is checked.
PYTHON = sys.executable
EXT = sysconfig.get_config_var("EXT_SUFFIX")
DIST_INFO = "nalo_sdk-0.1.0.dist-info"

EXPECTED = (
    {"nalo_sdk/__init__.py", "nalo_sdk/constants.py", "nalo_sdk/logging.py"}
    | {"nalo_sdk/nodered.py", "nalo_sdk/urls.py", "nalo_sdk/detection/__init__.py"}
    | {"nalo_sdk/settings.py", "nalo_sdk/host/stream.py"}
    | {f"nalo_sdk/detection/nms{EXT}", "nalo_sdk/mqtt/__init__.py"}
    | {"nalo_sdk/mqtt/publish.py", f"nalo_sdk/mqtt/utils{EXT}", "nalo_sdk/redis/__init__.py"}
    | {"nalo_sdk/redis/client.py", "nalo_sdk/redis/sweep.py", "nalo_sdk/redis/utils.py"}
    | {f"nalo_sdk/redis/flowsweep{EXT}", f"{DIST_INFO}/METADATA", f"{DIST_INFO}/WHEEL"}
    | {f"{DIST_INFO}/RECORD", f"{DIST_INFO}/entry_points.txt", "nalo_sdk/py.typed"}
    | {"nalo_sdk/redis/flowsweep.pyi", "nalo_sdk/detection/nms.pyi", "nalo_sdk/mqtt/utils.pyi"}
    | {f"nalo_sdk/host/{name}.py" for name in ("__init__", "__main__", "errors", "frames")}
    | {f"nalo_sdk/host/{name}.py" for name in ("node", "usercode", "worker")}
)


def _missing_build_tools():
    if os.environ.get("NALO_TARGET") or "asan" in os.environ.get("LD_PRELOAD", ""):
        return "the wheel is built and checked in the native mode only"
    for program in (PYTHON, "meson", "ninja", "c++"):
        if not shutil.which(program):
            return f"no {program} to build the wheel with"
    found = subprocess.run(
        [PYTHON, "-c", "import mesonpy, pip"], capture_output=True, env=_clean_env()
    )
    if found.returncode:
        return "no meson-python or pip (python3-mesonpy, python3-pip)"
    return None


def _clean_env():
    # Nothing of the test run's own setup (a preloaded runtime, a staged
    # build on PYTHONPATH) may reach the build or the checks of the result.
    keep = ("PATH", "HOME", "LANG", "LC_ALL", "TMPDIR")
    return {name: os.environ[name] for name in keep if name in os.environ}


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    reason = _missing_build_tools()
    if reason:
        pytest.skip(reason)
    work = tmp_path_factory.mktemp("wheel")
    # A copy of the tree as it stands, so that the build leaves nothing in
    # the checkout and does not meet an earlier build's directories.
    source = work / "src"
    shutil.copytree(
        ROOT,
        source,
        ignore=shutil.ignore_patterns(
            ".git", "build", "build-*", "dist", ".hypothesis", "__pycache__", ".mesonpy*"
        ),
    )
    out = work / "dist"
    # The command of `make wheel`, into a directory of the test's own.
    build = subprocess.run(
        [PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index"]
        + ["-w", str(out), "."],
        cwd=source,
        capture_output=True,
        text=True,
        env=_clean_env(),
        timeout=600,
    )
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    (path,) = out.glob(f"nalo_sdk-0.1.0-{tag}-{tag}-*.whl")
    return path


def test_wheel_holds_exactly_the_kit_and_the_command(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        names = {name for name in archive.namelist() if not name.endswith("/")}
        archive.extractall(tmp_path)
    assert sorted(names - EXPECTED) == [], "files that do not belong in the wheel"
    assert sorted(EXPECTED - names) == [], "files missing from the wheel"

    # The console script resolves, in the unpacked wheel alone, to the
    # sweep command, which names itself as typed.
    run = subprocess.run(
        [PYTHON, "-c", _RUN_ENTRY_POINT, "--help"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=dict(_clean_env(), PYTHONPATH=str(tmp_path)),
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("usage: nalo-sweep ")


_RUN_ENTRY_POINT = """
import sys
from importlib.metadata import distribution
(script,) = [ep for ep in distribution("nalo_sdk").entry_points
             if ep.group == "console_scripts"]
assert script.name == "nalo-sweep", script
sys.argv[0] = "/usr/local/bin/nalo-sweep"
sys.exit(script.load()(sys.argv[1:]))
"""
