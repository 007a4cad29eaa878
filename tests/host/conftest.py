import os
import queue
import signal
import subprocess
import sys
import threading

import pytest

import nalo_sdk
from nalo_sdk.host import frames

PYTHON = sys.executable
# The staged (or installed) kit that the tests import is the one the worker runs.
STAGE = os.path.dirname(os.path.dirname(nalo_sdk.__file__))
# A guard against a hung worker, not a measure: every reply comes at once.
REPLY_TIMEOUT = 20


class WorkerClient:
    """A worker process driven the way the Node-RED node drives it: frames
    on two pipes of its own, stdout and stderr captured as text."""

    def __init__(self):
        to_worker, self._out = os.pipe()
        from_worker, to_us = os.pipe()
        env = dict(os.environ, PYTHONPATH=STAGE)
        self.process = subprocess.Popen(
            [PYTHON, "-m", "nalo_sdk.host", "--in-fd", str(to_worker), "--out-fd", str(to_us)],
            pass_fds=(to_worker, to_us),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,
            env=env,
        )
        os.close(to_worker)
        os.close(to_us)
        # Drained as Node.js drains them, so that a full pipe never stalls the worker.
        self.output = {"stdout": bytearray(), "stderr": bytearray()}
        self._drains = [
            threading.Thread(target=self._drain, args=(stream, self.output[name]), daemon=True)
            for name, stream in (("stdout", self.process.stdout), ("stderr", self.process.stderr))
        ]
        for drain in self._drains:
            drain.start()
        self._frames = queue.Queue()
        self._reader = frames.FrameReader(from_worker)
        threading.Thread(target=self._read_loop, daemon=True).start()
        self.hello = self.next()

    @staticmethod
    def _drain(stream, into):
        for chunk in iter(lambda: stream.read1(65536), b""):
            into += chunk

    def _read_loop(self):
        try:
            while True:
                self._frames.put(self._reader.read())
        except EOFError:
            self._frames.put(None)

    def next(self):
        return self._frames.get(timeout=REPLY_TIMEOUT)

    def send(self, header, value=None):
        frames.write_parts(self._out, frames.encode(header, value))

    def open(self, code, node_id="n1", **config):
        source = config.pop("source", {"code": code})
        node = dict({"id": node_id, "type": "python", "name": "", "z": "f1"}, **config)
        self.send({"t": "open"}, dict(node, source=source))
        return self.next()

    def until(self, kinds):
        """Frames up to and including the first of one of ``kinds``."""
        seen = []
        while True:
            frame = self.next()
            assert frame is not None, "the worker ended"
            seen.append(frame)
            if frame["t"] in kinds:
                return seen

    def message(self, msg, seq=1, node_id="n1"):
        self.send({"t": "msg", "node": node_id, "seq": seq}, msg)
        return self.until({"done", "error"})

    def end(self):
        """Closes the worker's input pipe; returns its exit status."""
        os.close(self._out)
        self._out = None
        return self.process.wait(timeout=REPLY_TIMEOUT)

    def dispose(self):
        if self._out is not None:
            os.close(self._out)
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        for drain in self._drains:
            drain.join()


@pytest.fixture
def worker():
    client = WorkerClient()
    try:
        yield client
    finally:
        client.dispose()
