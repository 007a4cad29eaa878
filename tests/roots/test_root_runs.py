"""Runs in one root at once: each sees its own mounts to its end, and a killed
run leaves no mount behind."""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
ROOT_LIB = ROOT / "tools" / "debian13" / "root-lib.sh"

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("NALO_TARGET")) or os.geteuid() != 0 or not shutil.which("unshare"),
    reason="needs root and unshare on the build machine",
)


# The runs start this machine's programs: none of them under a sanitizer's
# preloaded runtime, which the root does not hold.
PLAIN_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def tiny_root(tmp_path_factory):
    """A root holding a shell and a few programs with their libraries."""
    root = tmp_path_factory.mktemp("root")
    for name in ("usr/bin", "usr/lib", "usr/lib64", "proc", "dev", "tmp", "etc"):
        (root / name).mkdir(parents=True)
    for name in ("bin", "lib", "lib64"):
        (root / name).symlink_to(f"usr/{name}")
    programs = [shutil.which(name) for name in ("env", "sh", "sleep", "cat", "touch")]
    libraries = set()
    for program in programs:
        ldd = subprocess.run(["ldd", program], capture_output=True, text=True, env=PLAIN_ENV)
        libraries |= set(re.findall(r"(/\S+) \(0x", ldd.stdout))
    for path in programs + sorted(libraries):
        target = root / pathlib.Path(os.path.realpath(path)).relative_to("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(os.path.realpath(path), target)
        link = root / pathlib.Path(path).relative_to("/")
        if not link.exists():
            link.symlink_to(os.path.realpath(path))
    return root


def in_root(root, shared, script):
    return subprocess.Popen(
        [
            "bash",
            "-c",
            f'. "{ROOT_LIB}" && in_root "$@"',
            "in_root",
            root,
            shared,
            "sh",
            "-c",
            script,
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=PLAIN_ENV,
        start_new_session=True,
    )


def mounts_below(root):
    return [line for line in open("/proc/mounts") if f" {root}/" in line]


def wait_for(path):
    deadline = time.monotonic() + 30
    while not path.exists():
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.05)


def test_runs_in_one_root_keep_their_mounts_to_their_end(tiny_root, tmp_path):
    (tmp_path / "data").write_text("shared")
    long = in_root(
        tiny_root,
        tmp_path,
        f"touch {tmp_path}/long; sleep 2; cat /proc/self/stat > /dev/null && "
        f"cat {tmp_path}/data && touch /tmp/still-mine && echo ' long done'",
    )
    wait_for(tmp_path / "long")
    short = in_root(tiny_root, tmp_path, "cat /proc/self/stat > /dev/null && echo short done")
    assert short.wait(30) == 0 and "short done" in short.stdout.read()
    # Mounts of a run are its own: this machine's table never lists them.
    assert mounts_below(tiny_root) == []
    assert long.wait(30) == 0
    assert long.stdout.read().strip() == "shared long done"


def test_a_killed_run_leaves_no_mount(tiny_root, tmp_path):
    run = in_root(tiny_root, tmp_path, f"touch {tmp_path}/started; sleep 60")
    wait_for(tmp_path / "started")
    os.killpg(run.pid, signal.SIGKILL)
    run.wait(30)
    assert mounts_below(tiny_root) == []
    assert mounts_below(tmp_path) == []
