"""Stand-ins for the objects the native modules are handed or call: loggers,
flows and Redis wrappers for the stream cleanup; recording OpenCV and NumPy
for the detection filtering; shared by the tests and the benchmarks."""

import cv2
import numpy as np

from redis_glob import matches


def _drop(msg):
    pass


class FakeLogger:
    """Keeps (level, message) pairs; refuses anything but one str argument.
    `fail_on` (level, message prefix) makes the matching line raise OSError,
    as a failing log sink would. With keep=False every line is dropped
    unchecked, at the least cost (the default logger of the model, the
    benchmarks)."""

    def __init__(self, fail_on=None, keep=True):
        self.lines = []
        self.fail_on = fail_on
        if not keep:
            self.debug = self.info = self.warning = self.error = _drop

    def _log(self, level, msg, *rest, **kw):
        assert not rest and not kw
        if type(msg) is not str:
            raise AssertionError(f"log message of type {type(msg).__name__}")
        self.lines.append((level, msg))
        if self.fail_on and level == self.fail_on[0] and msg.startswith(self.fail_on[1]):
            raise OSError(f"log sink failed at {level}")

    def debug(self, msg, *rest, **kw):
        self._log("debug", msg, *rest, **kw)

    def info(self, msg, *rest, **kw):
        self._log("info", msg, *rest, **kw)

    def warning(self, msg, *rest, **kw):
        self._log("warning", msg, *rest, **kw)

    def error(self, msg, *rest, **kw):
        self._log("error", msg, *rest, **kw)

    def messages(self, level=None):
        return [m for lv, m in self.lines if level in (None, lv)]


class FakeFlow:
    """A flow object: only `_nodes` is used. With count_reads=True every read
    of it is counted in `reads`; otherwise it is a plain attribute."""

    def __init__(self, nodes, count_reads=False):
        self.nodes = nodes
        self.reads = 0
        if not count_reads:
            self._nodes = nodes

    def __getattr__(self, name):  # only reached when `_nodes` is counted
        if name != "_nodes":
            raise AttributeError(name)
        self.reads += 1
        return self.nodes


class FakeWrapper:
    """An in-memory key store answering SCAN patterns with Redis glob rules,
    recording every request (`patterns`, and `deletes`: the key lists as
    handed over). `scan(pattern)` and `delete(keys)`, when given, answer in
    place of the store (they may raise); record=False keeps no requests."""

    def __init__(self, keys=(), scan=None, delete=None, record=True):
        self.keys = set(keys)
        self.patterns = []
        self.deletes = []
        self.scan = scan
        self.delete = delete
        self.record = record

    def matching(self, pattern):
        return sorted(k for k in self.keys if matches(pattern, k))

    def scan_keys(self, *, pattern):
        if self.record:
            self.patterns.append(pattern)
        if self.scan is not None:
            return self.scan(pattern)
        return self.matching(pattern)

    def delete_many(self, keys):
        if self.record:
            self.deletes.append(keys)
        if self.delete is not None:
            return self.delete(keys)
        present = [k for k in set(keys) if k in self.keys]
        self.keys.difference_update(keys)
        return len(present)

    def delete_reprs(self):
        """The deletes in a form that compares across runs: each list as the
        sorted reprs of its keys."""
        return [sorted(map(repr, keys)) for keys in self.deletes]


def raising(error_type, *args):
    """A function of any arguments raising a new error_type(*args) each call:
    raising one object again and again would grow its traceback."""

    def fn(*_, **__):
        raise error_type(*args)

    return fn


def records(wiring=(), **more):
    """A _nodes table from {id: [port, ...]} or id=[port, ...]; a port is a
    sequence of ids, kept as given (None: the record has no wires)."""
    table = {}
    for node_id, ports in dict(wiring, **more).items():
        table[node_id] = {"id": node_id} if ports is None else {"id": node_id, "wires": ports}
    return table


class RecordingCv2:
    """Stands in for the cv2 module: records every NMSBoxes call (positional
    arguments and keywords in their order) and answers with `result`, or with
    the real NMSBoxes when `result` is None."""

    def __init__(self, result=None, on_call=None):
        self.calls = []
        self.result = result
        self.on_call = on_call
        self.dnn = self

    def NMSBoxes(self, *args, **kwargs):  # noqa: N802 (OpenCV's name)
        self.calls.append((args, list(kwargs.items())))
        if self.on_call is not None:
            self.on_call(kwargs)
        if self.result is None:
            return cv2.dnn.NMSBoxes(*args, **kwargs)
        return self.result


class CountingNumpy:
    """Forwards to NumPy and counts the calls of `array`."""

    def __init__(self, on_array=None):
        self.array_calls = []
        self.on_array = on_array

    def __getattr__(self, name):
        return getattr(np, name)

    def array(self, *args, **kwargs):
        self.array_calls.append((args, kwargs))
        if self.on_array is not None:
            self.on_array(args)
        return np.array(*args, **kwargs)


def describe_arrays(arrays):
    """Everything observable of the box arrays handed to OpenCV."""
    return [
        (type(a), a.dtype, a.shape, a.strides, a.base is None, a.flags.num, a.tobytes())
        for a in arrays
    ]


def outcome(fn, *args, **kwargs):
    """The result of a call, or its exception's type and message."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 (any error is an outcome)
        return ("error", type(error), str(error))


def random_box_set(rng, n, spread=200.0):
    boxes = [
        [
            float(rng.uniform(0, spread)),
            float(rng.uniform(0, spread)),
            float(rng.uniform(1, 60)),
            float(rng.uniform(1, 60)),
        ]
        for _ in range(n)
    ]
    scores = [float(s) for s in rng.random(n)]
    return boxes, scores
