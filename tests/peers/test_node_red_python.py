"""The Python node in a real Node-RED: the package installed offline from its
tarball into the user directory, flows deployed through the admin API, the
workers seen from outside (their pids, answered over HTTP)."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from devkit.node_red_package import NodeRedWithPackage
from devkit.processes import ProgramMissing

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STAGE = os.environ.get("NALO_STAGE_DIR", os.path.join(ROOT, "build", "python"))
CODE = (
    "import os\nTAG = {tag!r}\n"
    "def on_input(msg, node):\n    return {{'payload': [os.getpid(), TAG]}}\n"
)


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is gone for our purposes (its parent has not reaped it yet).
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] != "Z"


def gone_within(pids, seconds=5.0):
    deadline = time.monotonic() + seconds
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.02)
    return [pid for pid in pids if alive(pid)]


def children(pid):
    found = set()
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as listed:
            found.update(int(child) for child in listed.read().split())
    return found


class NodeRedWithPythonNode(NodeRedWithPackage):
    """A Node-RED whose user directory gets the node package the way a user
    installs it: ``npm install --offline ./<tarball>``."""

    def __init__(self, tarball):
        super().__init__(STAGE)
        self.tarball = tarball

    def get(self, path, within=30.0):
        """The answer of GET ``path``. A deploy is answered once the old nodes
        have stopped but before the new ones start: until they serve, a
        request gets a 404 or no answer, and is tried again."""
        deadline = time.monotonic() + within
        while True:
            try:
                with urllib.request.urlopen(self.url + path, timeout=2) as answer:
                    return json.loads(answer.read())
            except (urllib.error.HTTPError, TimeoutError) as error:
                late = time.monotonic() > deadline
                if late or getattr(error, "code", 404) != 404:
                    raise
            time.sleep(0.05)

    def deploy_as(self, records, kind):
        self.request("POST", "/flows", {"flows": records}, {"Node-RED-Deployment-Type": kind})


@pytest.fixture(scope="module")
def red(tmp_path_factory):
    if shutil.which("npm") is None:
        pytest.skip("npm not found: install Debian's npm")
    packed = tmp_path_factory.mktemp("package")
    subprocess.run(
        ["npm", "pack", "--silent", "--pack-destination", str(packed)],
        cwd=os.path.join(ROOT, "node-red"), check=True, capture_output=True, timeout=120,
    )  # fmt: skip
    (tarball,) = packed.iterdir()
    peer = NodeRedWithPythonNode(str(tarball))
    try:
        try:
            peer.start()
        except ProgramMissing as missing:
            if os.environ.get("NALO_PEERS_REQUIRED") == "1":
                raise
            pytest.skip(str(missing))
        yield peer
    finally:
        peer.close()


def flow(*names, tags=None):
    """A tab with, per name, http in GET /<name> → Python node → http response."""
    records = [{"id": "tab1", "type": "tab", "label": "python"}]
    for name in names:
        tag = (tags or {}).get(name, "v1")
        records += [
            {"id": f"in-{name}", "type": "http in", "z": "tab1", "url": f"/{name}",
             "method": "get", "wires": [[f"py-{name}"]]},
            {"id": f"py-{name}", "type": "nalo-python", "z": "tab1", "name": name,
             "code": CODE.format(tag=tag), "interpreter": sys.executable, "outputs": 1,
             "timeout": 5, "queueCount": 100, "queueMiB": 64, "policy": "refuse",
             "wires": [[f"out-{name}"]]},
            {"id": f"out-{name}", "type": "http response", "z": "tab1", "wires": []},
        ]  # fmt: skip
    return records


def test_the_package_is_installed_and_listed(red):
    listed = red.request("GET", "/nodes", headers={"Accept": "application/json"})
    types = {t for module in listed for t in module.get("types", [])}
    assert "nalo-python" in types


def test_the_editor_in_a_real_browser(red):
    """Palette, dialog, an edit saved and deployed, help: in Debian's chromium,
    headless (tools/node-red/editor-check.js); screenshots in build/."""
    if not os.path.exists("/usr/bin/chromium"):
        # Required where the release's package list has it (make test says so).
        if os.environ.get("NALO_BROWSER_REQUIRED") == "1":
            pytest.fail("chromium not found: install the Debian package chromium")
        pytest.skip("chromium not found: install the Debian package chromium")
    red.deploy(flow("a"))
    shots = os.path.join(ROOT, "build", "node-red-editor")
    # The browser runs as it is, never under a sanitizer's preloaded runtime.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["NODE_PATH"] = os.path.join(red.home, "node_modules")
    script = os.path.join(ROOT, "tools", "node-red", "editor-check.js")
    # A group of its own, ended whole: no browser outlives the check.
    check = subprocess.Popen(
        ["node", script, red.url, "py-a", shots], env=env, text=True,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
    )  # fmt: skip
    try:
        out, err = check.communicate(timeout=180)
    finally:
        try:
            os.killpg(check.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        check.wait()
    assert check.returncode == 0, out + err
    assert out.split() == [
        "ok:",
        "palette",
        "ok:",
        "dialog",
        "ok:",
        "edit",
        "saved",
        "ok:",
        "help",
        "ok:",
        "example",
        "flow",
    ]
    saved = {r["id"]: r for r in red.request("GET", "/flows")["flows"]}["py-a"]
    assert (saved["name"], saved["timeout"], saved["policy"]) == (
        "edited in the browser",
        "7",
        "drop-oldest",
    )
    assert len(os.listdir(shots)) >= 6


def test_deploy_redeploy_removal_and_a_killed_node_red(red):
    red.deploy(flow("a", "b"))
    a1, b1 = red.get("/a"), red.get("/b")
    assert a1[1] == b1[1] == "v1" and a1[0] != b1[0]

    # Modified nodes only: a gets a new worker running its new code, b keeps its own.
    red.deploy_as(flow("a", "b", tags={"a": "v2"}), "nodes")
    a2, b2 = red.get("/a"), red.get("/b")
    assert a2[1] == "v2" and a2[0] != a1[0] and b2 == b1
    assert gone_within([a1[0]]) == []

    # Removal ends the removed node's worker, and only that one.
    red.deploy_as(flow("b"), "nodes")
    assert gone_within([a2[0]]) == [] and red.get("/b") == b1
    red.deploy([])
    assert gone_within([b1[0]]) == []

    # Node-RED killed outright: its workers see their pipes close and exit.
    red.deploy(flow("a", "b"))
    pids = [red.get("/a")[0], red.get("/b")[0]]
    assert set(pids) <= children(red.process.pid)
    red.process.send_signal(signal.SIGKILL)
    red.process.wait()
    assert gone_within(pids) == []
