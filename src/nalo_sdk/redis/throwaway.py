"""A throwaway redis-server for tests and demonstrations.

It listens on a free TCP port of 127.0.0.1 only (and on a Unix socket in its
own temporary directory), keeps nothing on disk (no snapshots, no append-only
file), and is stopped and its directory removed by ``close()`` or at the end
of a ``with`` block, also when the block fails.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HOST = "127.0.0.1"


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

    def __init__(self, executable="redis-server", startup_timeout=10.0, debug_command=False):
        self.executable = executable
        self.startup_timeout = startup_timeout
        self.debug_command = debug_command
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
        return command

    def start(self):
        """Start the server and wait until it answers; returns self."""
        if self.running():
            return self
        if shutil.which(self.executable) is None:
            raise RuntimeError(
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
