"""Throwaway server processes for tests and demonstrations: programs of
ours on a free port of 127.0.0.1, each with its own temporary directory,
stopped and cleaned up by ``close()`` or at the end of a ``with`` block, also
when the block fails."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HOST = "127.0.0.1"


class ProgramMissing(RuntimeError):
    """The program of a throwaway server is not installed (as opposed to a
    program that is there but fails to start)."""


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class Throwaway:
    """Started on entering a ``with`` block and closed on leaving it, also
    when starting fails half-way."""

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, *exc):
        self.close()


class ThrowawayProcess(Throwaway):
    """One server process under our control, on a free port of 127.0.0.1.

    Subclasses give the command (``_command``), write what it needs into
    ``directory`` before each launch (``_prepare``) and say when it serves
    (``_ready``). ``started_in`` is how long the last start took, in
    seconds."""

    program = "program"
    attempts = 5
    # Keep the port of the first start, so that a restarted server comes back
    # where its clients expect it.
    keep_port = False

    def __init__(self, startup_timeout=30.0):
        self.startup_timeout = startup_timeout
        self.port = None
        self.directory = None
        self.process = None
        self.started_in = None

    @property
    def log_path(self):
        return os.path.join(self.directory, f"{self.program}.log")

    def running(self):
        return self.process is not None and self.process.poll() is None

    def _check_installed(self):
        """Raise ``ProgramMissing`` when the program is not installed."""

    def _command(self):
        raise NotImplementedError

    def _prepare(self):
        """Write the files of one launch into ``directory``."""

    def _ready(self):
        raise NotImplementedError

    def _environment(self):
        # These are other programs: a library preloaded into our own process
        # (a sanitizer runtime in a checked test run) is not meant for them.
        return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}

    def start(self):
        """Start the program and wait until it serves; returns self."""
        if self.running():
            return self
        self._check_installed()
        if self.directory is None:
            self.directory = tempfile.mkdtemp(prefix=f"nalo-{self.program}-")
        began = time.monotonic()
        keep_port = self.keep_port and self.port is not None
        error = None
        for _ in range(1 if keep_port else self.attempts):
            if not keep_port:
                self.port = free_port()
            try:
                self._launch()
                self.started_in = time.monotonic() - began
                return self
            except RuntimeError as failure:
                # Another process may have taken the port between the probe
                # and the bind: try a new one.
                error = failure
        raise error

    def _launch(self):
        self._prepare()
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                self._command(),
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                env=self._environment(),
            )
        deadline = time.monotonic() + self.startup_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.process = None
                raise RuntimeError(f"{self.program} exited at start: {self.log_tail()}")
            if self._ready():
                return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(
            f"{self.program} did not serve within {self.startup_timeout} s: {self.log_tail()}"
        )

    def log_text(self):
        """Everything the program has logged so far."""
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                return log.read()
        except (OSError, TypeError):
            return ""

    def log_tail(self, lines=5):
        tail = self.log_text().strip().splitlines()[-lines:]
        return " | ".join(tail) or "(empty log)"

    def _port_open(self):
        try:
            with socket.create_connection((HOST, self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def stop(self):
        """Stop the program; the directory stays."""
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
        """Stop, then start again."""
        self.stop()
        return self.start()

    def close(self):
        """Stop the program and remove its directory."""
        try:
            self.stop()
        finally:
            if self.directory is not None:
                shutil.rmtree(self.directory, ignore_errors=True)
                self.directory = None
