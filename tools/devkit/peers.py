"""Throwaway peers for tests and demonstrations: an MQTT broker (mosquitto)
and a Node-RED, each a process of ours on a free port of 127.0.0.1.

Each listens on loopback only, keeps its files in its own temporary
directory (configuration, Node-RED's user directory, the program's log) and
is stopped and its directory removed by ``close()`` or at the end of a
``with`` block, also when the block fails. A program that is not installed
raises ``ProgramMissing`` (a ``RuntimeError``) from ``start()``, with what to
install; one that is installed but does not come up raises ``RuntimeError``
with the end of its log. The throwaway Redis server and cluster are in
``nalo_sdk.redis.throwaway``.

Node-RED is the npm package pinned in the repository's tools/node-red,
installed by ``make node-red`` into ``NALO_NODE_RED_DIR`` (default
``~/.cache/nalo-sdk/node-red``, under ``XDG_CACHE_HOME`` when that is set)
together with its settings file.
"""

import json
import os
import re
import shutil
import time
import urllib.error
import urllib.request

from devkit.processes import HOST, ProgramMissing, ThrowawayProcess

NODE_RED_DIR_ENV = "NALO_NODE_RED_DIR"


class ThrowawayMosquitto(ThrowawayProcess):
    """A mosquitto broker: anonymous clients, nothing kept on disk, one
    listener on 127.0.0.1. It logs subscriptions, so that a test can wait
    until a subscriber is really there (``wait_for_subscription``)."""

    program = "mosquitto"

    def __init__(self, executable=None, startup_timeout=10.0):
        super().__init__(startup_timeout)
        # Debian installs the broker in /usr/sbin, which a user's PATH may lack.
        self.executable = (
            executable
            or shutil.which("mosquitto")
            or shutil.which("mosquitto", path="/usr/sbin:/usr/local/sbin")
        )

    @property
    def url(self):
        return f"mqtt://{HOST}:{self.port}"

    @property
    def config_path(self):
        return os.path.join(self.directory, "mosquitto.conf")

    def _check_installed(self):
        if not self.executable:
            raise ProgramMissing("mosquitto not found: install the Debian package mosquitto")

    def _prepare(self):
        lines = [
            f"listener {self.port} {HOST}",
            "allow_anonymous true",
            "persistence false",
            "set_tcp_nodelay true",
            # To standard error, which is our log file: a file of its own
            # would have to be writable by the user the broker drops to.
            "log_dest stderr",
            "log_timestamp true",
            "connection_messages true",
            "log_type error",
            "log_type warning",
            "log_type notice",
            "log_type information",
            "log_type subscribe",
        ]
        with open(self.config_path, "w", encoding="utf-8") as config:
            config.write("\n".join(lines) + "\n")

    def _command(self):
        return [self.executable, "-c", self.config_path]

    def _ready(self):
        return self._port_open()

    def subscribed(self, topic, client_id=None):
        """Whether a client (``client_id``, or any) has subscribed to
        ``topic`` (as written in the subscription), going by the broker's log.
        Name the client where the topic may have been subscribed before: the
        log keeps every earlier subscription too."""
        # mosquitto logs a subscription as "<time>: <client id> <qos> <topic>".
        client = re.escape(client_id) if client_id is not None else r"\S+"
        pattern = re.compile(rf"^\S+: {client} \d+ " + re.escape(topic) + r"$", re.MULTILINE)
        return pattern.search(self.log_text()) is not None

    def wait_for_subscription(self, topic, client_id=None, timeout=10.0):
        """Wait until a client (``client_id``, or any) has subscribed to
        ``topic``; raises ``TimeoutError`` otherwise."""
        deadline = time.monotonic() + timeout
        while not self.subscribed(topic, client_id):
            if time.monotonic() > deadline:
                raise TimeoutError(
                    f"nobody subscribed to {topic!r} within {timeout} s: {self.log_tail()}"
                )
            time.sleep(0.02)


def node_red_dir():
    """Where ``make node-red`` installs Node-RED: ``NALO_NODE_RED_DIR``, else
    the kit's cache directory."""
    given = os.environ.get(NODE_RED_DIR_ENV)
    if given:
        return given
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "nalo-sdk", "node-red")


class NodeRedError(RuntimeError):
    """The admin API of a throwaway Node-RED refused a request."""


class ThrowawayNodeRed(ThrowawayProcess):
    """A Node-RED with its user directory in a temporary directory, editor
    and admin API on 127.0.0.1, started from the install of ``make
    node-red`` with that install's settings file."""

    program = "node-red"
    # Node-RED binds its port well after it starts: a port taken meanwhile
    # shows as an exit, and a new one is tried.
    attempts = 3

    def __init__(self, home=None, node="node", startup_timeout=60.0):
        super().__init__(startup_timeout)
        self.home = home or node_red_dir()
        self.node = node

    @property
    def url(self):
        return f"http://{HOST}:{self.port}"

    @property
    def red_js(self):
        return os.path.join(self.home, "node_modules", "node-red", "red.js")

    @property
    def settings_path(self):
        return os.path.join(self.home, "settings.js")

    @property
    def user_dir(self):
        return os.path.join(self.directory, "user")

    def _check_installed(self):
        if shutil.which(self.node) is None:
            raise ProgramMissing(f"{self.node} not found: Node-RED needs Node.js 20")
        for path in (self.red_js, self.settings_path):
            if not os.path.isfile(path):
                raise ProgramMissing(
                    f"Node-RED is not installed in {self.home} (no {os.path.basename(path)}): "
                    f"run 'make node-red'"
                )

    def _prepare(self):
        # A fresh user directory per launch: no flows, no context left over.
        shutil.rmtree(self.user_dir, ignore_errors=True)
        os.makedirs(self.user_dir)

    def _environment(self):
        return dict(super()._environment(), NALO_NODE_RED_USER_DIR=self.user_dir)

    def _command(self):
        return [
            self.node, self.red_js,
            "--settings", self.settings_path,
            "--userDir", self.user_dir,
            "--port", str(self.port),
        ]  # fmt: skip

    def _ready(self):
        if not self._port_open():
            return False
        try:
            self.request("GET", "/flows", timeout=2)
            return True
        except (OSError, NodeRedError):
            return False

    def request(self, method, path, body=None, headers=None, timeout=30):
        """One admin API request; returns the decoded JSON answer (None for
        an empty one). An HTTP error status raises ``NodeRedError``."""
        data = None if body is None else json.dumps(body).encode("utf-8")
        sent = {"Accept": "application/json", "Node-RED-API-Version": "v2"}
        if data is not None:
            sent["Content-Type"] = "application/json"
        sent.update(headers or {})
        request = urllib.request.Request(self.url + path, data=data, headers=sent, method=method)
        try:
            with urllib.request.urlopen(request, timeout=timeout) as answer:
                text = answer.read()
        except urllib.error.HTTPError as error:
            detail = error.read().decode("utf-8", "replace")[:300]
            raise NodeRedError(f"{method} {path}: HTTP {error.code} {error.reason}: {detail}")
        return json.loads(text) if text.strip() else None

    def deploy(self, records):
        """Deploy ``records`` as the whole set of flows (a full deployment)
        and return the new revision."""
        answer = self.request(
            "POST", "/flows", {"flows": records}, headers={"Node-RED-Deployment-Type": "full"}
        )
        return answer.get("rev") if isinstance(answer, dict) else None
