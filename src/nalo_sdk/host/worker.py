"""The worker's loop: frames in on one pipe, the user's hooks on the main
thread, frames out on the other pipe.

A reader thread takes frames off the input pipe, so that an interrupt (the
node's per-message timeout) reaches a handler that runs, and so that the
end of the pipe ends the worker whatever the handler does.

Frames from Node.js (``t``): ``open`` (``v``: the node's id, type, name, z,
credentials, outputs, ``source``, ``dedicated``, ``restart``,
``clearStream`` and ``settings``: its ``redis``, ``broker``, ``flows`` and
``problem``), ``msg`` (``node``, ``seq``, ``v``: the message), ``interrupt``
(``seq``), ``close`` (``node``, ``removed``), ``reply`` (``req``, ``v`` or
``error``: the answer to a request).
Frames to Node.js: ``hello`` once, ``opened`` / ``open_failed``, ``done``
(``v``: what ``on_input`` returned) / ``error`` per message, ``send``,
``status``, ``log``, ``stream`` (the stream keys' state) at any time,
``closed``, ``flows`` (``req``: a request for the deployed flows).

What the kit takes from the host (``nalo_sdk.settings``) is installed for
the whole process in a worker of one node (``dedicated``), and applied
around each hook of a node otherwise.
"""

import os
import queue
import signal
import sys
import threading

from nalo_sdk import settings
from nalo_sdk.host import frames, usercode
from nalo_sdk.host.errors import describe
from nalo_sdk.host.node import Node
from nalo_sdk.host.stream import Stream

# The longest wait for Node.js to answer a request: it answers at once
# unless it is gone, and then the worker ends anyway.
REQUEST_TIMEOUT = 30.0


def _exit_now():
    """Ends the worker at once, and the processes that the user's code
    started when the worker leads their process group."""
    try:
        if os.getpgrp() == os.getpid():
            os.killpg(0, signal.SIGKILL)
    finally:
        os._exit(0)


def _own_fd(fd):
    """A close-on-exec copy of an inherited descriptor, so that programs
    the user's code starts do not hold the protocol pipes."""
    copy = os.dup(fd)
    os.close(fd)
    os.set_blocking(copy, True)
    return copy


class Worker:
    def __init__(self, in_fd, out_fd):
        self._reader = frames.FrameReader(in_fd)
        self._out_fd = out_fd
        self._write_lock = threading.Lock()
        self._inbox = queue.SimpleQueue()
        self._nodes = {}
        self._main = threading.get_ident()
        # The seq of the message whose handler runs on the main thread.
        self._active = None
        self._writing = False
        self._interrupt_pending = False
        self._requests = {}
        self._request_lock = threading.Lock()
        self._request_seq = 0

    # Output

    def _write(self, header, value=None):
        self._write_parts(frames.encode(header, value))

    def _write_parts(self, parts):
        """Writes one frame whole: an interrupt that comes meanwhile is raised
        after it."""
        main = threading.get_ident() == self._main
        if main:
            self._writing = True
        try:
            with self._write_lock:
                frames.write_parts(self._out_fd, parts)
        except OSError:
            _exit_now()  # Node.js is gone
        finally:
            if main:
                self._writing = False
        if main and self._interrupt_pending:
            self._interrupt_pending = False
            if self._active is not None:
                raise KeyboardInterrupt

    def emit(self, node, header, value=None):
        """A frame of ``node``, tied to the message being handled when called
        from its handler. What a ``send`` frame sends goes to the node's
        stream keys first, once it is known to cross."""
        seq = self._active if threading.get_ident() == self._main else None
        header = dict(header, node=node.id, seq=seq)
        if header["t"] == "send":
            parts = frames.encode(header, value)
            self._stream_of(node).store(value, seq)
            self._write_parts(parts)
        else:
            self._write(header, value)

    # Requests to Node.js

    def request(self, header, timeout=REQUEST_TIMEOUT):
        """Sends ``header`` as a request and returns Node.js's ``reply``
        frame; any thread but the reader's."""
        answer = queue.SimpleQueue()
        with self._request_lock:
            self._request_seq += 1
            number = self._request_seq
            self._requests[number] = answer
        try:
            self._write(dict(header, req=number))
            try:
                return answer.get(timeout=timeout)
            except queue.Empty:
                raise TimeoutError(f"Node.js did not answer within {timeout} s") from None
        finally:
            with self._request_lock:
                self._requests.pop(number, None)

    def deployed_flows(self):
        """``(records, rev)`` of the flows deployed in Node-RED."""
        from nalo_sdk.nodered import FlowError

        try:
            reply = self.request({"t": "flows"})
        except TimeoutError as error:
            raise FlowError(f"the deployed flows: {error}") from None
        if reply.get("error"):
            raise FlowError(f"the deployed flows: {reply['error']}")
        value = reply.get("v") or {}
        return value.get("flows"), value.get("rev")

    # Interrupts

    def _on_sigint(self, _signum, _frame):
        if self._active is None:
            return
        if self._writing:
            self._interrupt_pending = True
            return
        raise KeyboardInterrupt

    def _read_loop(self):
        try:
            while True:
                frame = self._reader.read()
                if frame.get("t") == "interrupt":
                    if frame.get("seq") is not None and frame.get("seq") == self._active:
                        signal.pthread_kill(self._main, signal.SIGINT)
                    continue
                if frame.get("t") == "reply":
                    with self._request_lock:
                        waiting = self._requests.get(frame.get("req"))
                    if waiting is not None:
                        waiting.put(frame)
                    continue
                self._inbox.put(frame)
        except BaseException:  # the end of the pipe, or a broken peer
            pass
        _exit_now()

    # The kit's settings and the stream keys of a node

    def _settings_of(self, node, config):
        given = config.get("settings") or {}
        redis = given.get("redis") or {}
        broker = given.get("broker") or {}
        return settings.NodeSettings(
            node_id=node.id,
            node_type=node.type,
            redis_url=redis.get("url"),
            redis_password=redis.get("password"),
            mqtt_url=broker.get("url"),
            mqtt_username=broker.get("username"),
            mqtt_password=broker.get("password"),
            flows=self.deployed_flows if given.get("flows") else None,
        )

    def _stream_of(self, node):
        stream = getattr(node, "_stream", None)
        if stream is None:

            def tell(fields, seq=None, node=node):
                self._write(dict(fields, t="stream", node=node.id, seq=seq))

            def log(level, text, node=node):
                self.emit(node, {"t": "log", "level": level, "text": text})

            stream = node._stream = Stream(node, node.settings, tell, log)
        return stream

    def _read_stream(self, node, stream, restart):
        """The node's record in the deployed flows, kept for the cleanup at
        its removal; the cleanup itself unless the worker was restarted."""
        from nalo_sdk.nodered import NaloFlow

        try:
            flow = NaloFlow(self.deployed_flows, node_id=node.id)
        except Exception as error:
            stream.fail_clear(str(error))
            return
        record = flow._nodes.get(node.id)
        if record is None:
            stream.fail_clear(f"the node {node.id} is not in the deployed flows (as in a subflow)")
            return
        node._flow = (flow, record)
        if not restart:
            stream.clear(flow, record)

    # Frames from Node.js

    def _on_open(self, frame):
        config = frame.get("v") or {}
        node = Node(self, config)
        node.settings = self._settings_of(node, config)
        if config.get("dedicated"):
            settings.install(node.settings)
        try:
            with settings.applied(node.settings):
                problem = (config.get("settings") or {}).get("problem")
                if problem:
                    raise LookupError(problem)
                stream = self._stream_of(node)
                if config.get("clearStream"):
                    if stream.configured:
                        self._read_stream(node, stream, bool(config.get("restart")))
                    else:
                        stream.fail_clear("the node has no Redis server")
                code = usercode.load(config.get("source") or {}, node.id, node.name)
                self._nodes[node.id] = (node, code)
                if code.setup is not None:
                    code.setup(node)
        except BaseException as error:
            self._nodes.pop(node.id, None)
            self._write({"t": "open_failed", "node": node.id, "error": describe(error)})
            return
        self._write({"t": "opened", "node": node.id})

    def _on_msg(self, frame):
        seq, node_id = frame.get("seq"), frame.get("node")
        entry = self._nodes.get(node_id)
        if entry is None or entry[1].on_input is None:
            missing = "is not open" if entry is None else "defines no on_input(msg, node)"
            error = {"type": "LookupError", "message": f"the node's code {missing}", "stack": ""}
            self._write({"t": "error", "node": node_id, "seq": seq, "error": error})
            return
        node, code = entry
        self._active = seq
        try:
            with settings.applied(node.settings):
                result = code.on_input(frame.get("v"), node)
            self._active = None
        except BaseException as error:
            self._active = None
            interrupted = isinstance(error, KeyboardInterrupt)
            header = {"t": "error", "node": node_id, "seq": seq, "interrupted": interrupted}
            self._write(dict(header, error=describe(error)))
            return
        try:
            parts = frames.encode({"t": "done", "node": node_id, "seq": seq}, result)
            if result is not None:
                self._stream_of(node).store(result, seq)
            self._write_parts(parts)
        except frames.CannotCross as error:
            failure = {
                "type": "CannotCross",
                "message": str(error),
                "stack": "",
                "path": error.path,
            }
            self._write({"t": "error", "node": node_id, "seq": seq, "error": failure})

    def _on_close(self, frame):
        node_id = frame.get("node")
        entry = self._nodes.pop(node_id, None)
        if entry is not None:
            node, code = entry
            if code.close is not None:
                try:
                    with settings.applied(node.settings):
                        code.close(node, bool(frame.get("removed")))
                except BaseException as error:
                    text = "close failed: " + describe(error)["stack"]
                    self._write({"t": "log", "node": node_id, "level": "warn", "text": text})
            usercode.unload(node.id, node.name)
            kept = getattr(node, "_flow", None)
            if frame.get("removed") and kept is not None:
                self._stream_of(node).clear(*kept)
            self._stream_of(node).close()
        self._write({"t": "closed", "node": node_id})

    def run(self):
        signal.signal(signal.SIGINT, self._on_sigint)
        threading.Thread(target=self._read_loop, name="nalo-host-reader", daemon=True).start()
        hello = {
            "t": "hello",
            "pid": os.getpid(),
            "python": "%d.%d.%d" % sys.version_info[:3],
            "executable": sys.executable,
        }
        self._write(hello)
        while True:
            frame = self._inbox.get()
            handler = getattr(self, "_on_" + str(frame.get("t")), None)
            if handler is not None:
                try:
                    handler(frame)
                except frames.CannotCross as error:  # in a log or status frame
                    self._write({"t": "log", "node": frame.get("node"), "level": "error",
                                 "text": str(error)})  # fmt: skip


USAGE = "usage: python3 -m nalo_sdk.host [--in-fd N] [--out-fd N]\n"


def _arguments(argv):
    """``{"in": fd, "out": fd}`` from the command line, or None when it is
    wrong. (Not argparse: its import alone is a tenth of a worker's start.)"""
    fds = {"--in-fd": 3, "--out-fd": 4}
    words = list(argv)
    while words:
        name = words.pop(0)
        name, _, value = name.partition("=")
        if name not in fds:
            return None
        if not value:
            if not words:
                return None
            value = words.pop(0)
        try:
            fds[name] = int(value)
        except ValueError:
            return None
    return {"in": fds["--in-fd"], "out": fds["--out-fd"]}


def main(argv):
    fds = _arguments(argv)
    if fds is None:
        sys.stderr.write(USAGE)
        return 2
    for fd in (fds["in"], fds["out"]):
        try:
            os.fstat(fd)
        except OSError:
            sys.stderr.write(f"nalo-host: file descriptor {fd} is not open: the node starts me\n")
            return 2
    # The user's prints become log lines as they happen, not when a block fills.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(line_buffering=True)
    Worker(_own_fd(fds["in"]), _own_fd(fds["out"])).run()
    return 0
