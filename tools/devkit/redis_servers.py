"""A throwaway redis-server, or Redis Cluster, for tests and demonstrations.

A server listens on a free TCP port of 127.0.0.1 only (and on a Unix socket
in its own temporary directory), keeps nothing on disk (no snapshots, no
append-only file), and is stopped and its directory removed by ``close()`` or
at the end of a ``with`` block, also when the block fails.
``ThrowawayRedisCluster`` does the same for a cluster of such servers.
"""

import os
import shutil
import socket
import subprocess
import time

import redis

from devkit.processes import HOST, ProgramMissing, Throwaway, ThrowawayProcess


class ThrowawayRedisServer(ThrowawayProcess):
    """One redis-server process under our control.

    ``start()`` picks a free port the first time and keeps it, so that
    ``stop()`` then ``start()`` (or ``restart()``) brings the server back
    where clients expect it, empty.
    """

    program = "redis"
    keep_port = True

    def __init__(
        self, executable="redis-server", startup_timeout=10.0, debug_command=False, extra_args=()
    ):
        """``extra_args``: further command-line options of the server, after
        ours (``--name value`` pairs; a later one wins)."""
        super().__init__(startup_timeout)
        self.executable = executable
        self.debug_command = debug_command
        self.extra_args = list(extra_args)

    @property
    def url(self):
        return f"redis://{HOST}:{self.port}/0"

    @property
    def socket_path(self):
        return os.path.join(self.directory, "redis.sock")

    @property
    def unix_url(self):
        return f"unix://{self.socket_path}?db=0"

    def _check_installed(self):
        if shutil.which(self.executable) is None:
            raise ProgramMissing(
                f"{self.executable} not found: install the Debian package redis-server"
            )

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
            "--daemonize", "no",
        ]  # fmt: skip
        if self.debug_command:
            command += ["--enable-debug-command", "local"]
        return command + self.extra_args

    def _ready(self):
        try:
            with socket.create_connection((HOST, self.port), timeout=0.5) as conn:
                conn.sendall(b"PING\r\n")
                return conn.recv(64).startswith(b"+PONG")
        except OSError:
            return False


class ThrowawayRedisCluster(Throwaway):
    """A Redis Cluster of ``primaries`` throwaway servers (no replicas), all
    on loopback, the 16384 hash slots shared out by ``redis-cli --cluster
    create``.

    ``start()`` returns once every node reports ``cluster_state:ok`` and
    knows every other node, so that a client sees the whole cluster at once.
    ``url`` is the kit's cluster URL (``redis+cluster://`` with every node as
    a seed), ``seed_url`` a plain URL of the first node, ``started_in`` how
    long the last start took, in seconds.
    """

    def __init__(
        self, primaries=3, executable="redis-server", cli="redis-cli", startup_timeout=30.0
    ):
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
                    "--cluster-enabled",
                    "yes",
                    # Relative to the server's own directory.
                    "--cluster-config-file",
                    "nodes.conf",
                    "--cluster-node-timeout",
                    "5000",
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
