"""A throwaway redis-server, or Redis Cluster, for tests and demonstrations.

A server listens on a free TCP port of 127.0.0.1 only (and on a Unix socket
in its own temporary directory), keeps nothing on disk (no snapshots, no
append-only file), and is stopped and its directory removed by ``close()`` or
at the end of a ``with`` block, also when the block fails.
``ThrowawayRedisCluster`` does the same for a cluster of such servers.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import redis

HOST = "127.0.0.1"


class ProgramMissing(RuntimeError):
    """The program of a throwaway server is not installed (as opposed to a
    program that is there but fails to start)."""


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class ThrowawayRedisServer:
    """One redis-server process under our control.

    ``start()`` picks a free port the first time and keeps it, so that
    ``stop()`` then ``start()`` (or ``restart()``) brings the server back
    where clients expect it, empty.
    """

    def __init__(
        self, executable="redis-server", startup_timeout=10.0, debug_command=False, extra_args=()
    ):
        """``extra_args``: further command-line options of the server, after
        ours (``--name value`` pairs; a later one wins)."""
        self.executable = executable
        self.startup_timeout = startup_timeout
        self.debug_command = debug_command
        self.extra_args = list(extra_args)
        self.port = None
        self.directory = None
        self.process = None

    @property
    def url(self):
        return f"redis://{HOST}:{self.port}/0"

    @property
    def socket_path(self):
        return os.path.join(self.directory, "redis.sock")

    @property
    def unix_url(self):
        return f"unix://{self.socket_path}?db=0"

    @property
    def log_path(self):
        return os.path.join(self.directory, "redis.log")

    def running(self):
        return self.process is not None and self.process.poll() is None

    def _command(self):
        command = [
            self.executable,
            "--port", str(self.port),
            "--bind", HOST,
            "--protected-mode", "yes",
            "--dir", self.directory,
            "--save", "",
            "--appendonly", "no",
            "--unixsocket", self.socket_path,
            "--unixsocketperm", "700",
            "--logfile", self.log_path,
            "--daemonize", "no",
        ]  # fmt: skip
        if self.debug_command:
            command += ["--enable-debug-command", "local"]
        return command + self.extra_args

    def start(self):
        """Start the server and wait until it answers; returns self."""
        if self.running():
            return self
        if shutil.which(self.executable) is None:
            raise ProgramMissing(
                f"{self.executable} not found: install the Debian package redis-server"
            )
        if self.directory is None:
            self.directory = tempfile.mkdtemp(prefix="nalo-redis-")
        keep_port = self.port is not None
        attempts = 1 if keep_port else 5
        error = None
        for _ in range(attempts):
            if not keep_port:
                self.port = free_port()
            try:
                self._launch()
                return self
            except RuntimeError as failure:
                # Another process may have taken the port between the probe
                # and the bind: try a new one.
                error = failure
        raise error

    def _launch(self):
        self.process = subprocess.Popen(
            self._command(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + self.startup_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.process = None
                raise RuntimeError(f"redis-server exited at start: {self._log_tail()}")
            if self._answers():
                return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"redis-server did not answer within {self.startup_timeout} s")

    def _answers(self):
        try:
            with socket.create_connection((HOST, self.port), timeout=0.5) as conn:
                conn.sendall(b"PING\r\n")
                return conn.recv(64).startswith(b"+PONG")
        except OSError:
            return False

    def _log_tail(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                lines = log.read().strip().splitlines()
            return " | ".join(lines[-3:]) or "(empty log)"
        except OSError:
            return "(no log)"

    def stop(self):
        """Stop the server (its data is gone); the port and directory stay."""
        process, self.process = self.process, None
        if process is None or process.poll() is not None:
            return
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def restart(self):
        """Stop, then start again on the same port, empty."""
        self.stop()
        return self.start()

    def close(self):
        """Stop the server and remove its directory."""
        try:
            self.stop()
        finally:
            if self.directory is not None:
                shutil.rmtree(self.directory, ignore_errors=True)
                self.directory = None

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()


class ThrowawayRedisCluster:
    """A Redis Cluster of ``primaries`` throwaway servers (no replicas), all
    on loopback, the 16384 hash slots shared out by ``redis-cli --cluster
    create``.

    ``start()`` returns once every node reports ``cluster_state:ok`` and
    knows every other node, so that a client sees the whole cluster at once.
    ``url`` is the kit's cluster URL (``redis+cluster://`` with every node as
    a seed), ``seed_url`` a plain URL of the first node, ``started_in`` how
    long the last start took, in seconds.
    """

    def __init__(self, primaries=3, executable="redis-server", cli="redis-cli",
                 startup_timeout=30.0):
        if primaries < 3:
            # redis-cli refuses to create a cluster of fewer than 3 primaries.
            raise ValueError("a Redis Cluster needs at least 3 primaries")
        self.cli = cli
        self.startup_timeout = startup_timeout
        self.started_in = None
        self.servers = [
            ThrowawayRedisServer(
                executable=executable,
                startup_timeout=startup_timeout,
                extra_args=[
                    "--cluster-enabled", "yes",
                    # Relative to the server's own directory.
                    "--cluster-config-file", "nodes.conf",
                    "--cluster-node-timeout", "5000",
                ],
            )  # fmt: skip
            for _ in range(primaries)
        ]

    @property
    def ports(self):
        return [server.port for server in self.servers]

    @property
    def url(self):
        return "redis+cluster://" + ",".join(f"{HOST}:{port}" for port in self.ports)

    @property
    def seed_url(self):
        return self.servers[0].url

    def running(self):
        return all(server.running() for server in self.servers)

    def start(self):
        """Start the servers, create the cluster and wait until it serves
        every slot; returns self."""
        if self.running():
            return self
        for program in (self.servers[0].executable, self.cli):
            if shutil.which(program) is None:
                raise ProgramMissing(
                    f"{program} not found: install the Debian package redis-server"
                )
        began = time.monotonic()
        for server in self.servers:
            server.start()
        nodes = [f"{HOST}:{port}" for port in self.ports]
        create = subprocess.run(
            [self.cli, "--cluster", "create", *nodes, "--cluster-replicas", "0", "--cluster-yes"],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=self.startup_timeout,
        )
        if create.returncode != 0:
            output = (create.stdout + create.stderr).strip().splitlines()
            raise RuntimeError(f"redis-cli --cluster create failed: {' | '.join(output[-3:])}")
        self._wait_until_ok()
        self.started_in = time.monotonic() - began
        return self

    def _wait_until_ok(self):
        deadline = time.monotonic() + self.startup_timeout
        clients = [redis.Redis(host=HOST, port=port, socket_timeout=2) for port in self.ports]
        try:
            while True:
                states = [client.cluster("info") for client in clients]
                if all(
                    state.get("cluster_state") == "ok"
                    and int(state.get("cluster_known_nodes", 0)) == len(clients)
                    and int(state.get("cluster_slots_ok", 0)) == 16384
                    for state in states
                ):
                    return
                if time.monotonic() > deadline:
                    raise RuntimeError(
                        f"the Redis Cluster on ports {self.ports} was not ok within "
                        f"{self.startup_timeout} s"
                    )
                time.sleep(0.05)
        finally:
            for client in clients:
                client.close()

    def stop(self):
        """Stop every server."""
        for server in self.servers:
            server.stop()

    def close(self):
        """Stop every server and remove their directories."""
        errors = []
        for server in self.servers:
            try:
                server.close()
            except Exception as error:  # stop the others all the same
                errors.append(error)
        if errors:
            raise errors[0]

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()
