"""A throwaway Node-RED with the repository's node package installed in its
user directory the way a user installs it: ``npm pack`` of node-red/, then
``npm install --offline`` of that tarball (no registry is asked)."""

import os
import shutil
import subprocess
import tempfile
import time

from devkit.peers import NodeRedError, ThrowawayNodeRed
from devkit.processes import ProgramMissing

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_DIR = os.path.join(ROOT, "node-red")
EXAMPLES_DIR = os.path.join(PACKAGE_DIR, "examples")


def pack(destination):
    """The node package's tarball, packed into ``destination``; its path."""
    if shutil.which("npm") is None:
        raise ProgramMissing("npm not found: install Debian's npm")
    subprocess.run(
        ["npm", "pack", "--silent", "--pack-destination", destination],
        cwd=PACKAGE_DIR, check=True, capture_output=True, timeout=120,
    )  # fmt: skip
    (tarball,) = [name for name in os.listdir(destination) if name.endswith(".tgz")]
    return os.path.join(destination, tarball)


class NodeRedWithPackage(ThrowawayNodeRed):
    """A throwaway Node-RED whose user directory has the node package
    installed; its Python workers import the kit from ``python_path``."""

    def __init__(self, python_path, env=None, **options):
        super().__init__(**options)
        self.python_path = python_path
        self.extra_env = dict(env or {})
        self.tarball = None

    def _prepare(self):
        super()._prepare()
        if self.tarball is None:
            packed = tempfile.mkdtemp(prefix="package-", dir=self.directory)
            self.tarball = pack(packed)
        subprocess.run(
            ["npm", "install", "--offline", "--no-audit", "--no-fund", "--ignore-scripts",
             self.tarball],
            cwd=self.user_dir, check=True, capture_output=True, timeout=120,
        )  # fmt: skip

    def _environment(self):
        return dict(super()._environment(), PYTHONPATH=self.python_path, **self.extra_env)

    def inject(self, node_id, within=30.0):
        """Press the button of inject node ``node_id``. A deploy is answered
        before the new nodes start: until then the button is not found, and
        is pressed again."""
        deadline = time.monotonic() + within
        while True:
            try:
                return self.request("POST", f"/inject/{node_id}")
            except ValueError:
                return None  # answered with plain text: pressed
            except NodeRedError as error:
                if "HTTP 404" not in str(error) or time.monotonic() > deadline:
                    raise
            time.sleep(0.05)
