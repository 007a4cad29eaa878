import cv2
import numpy as np

from redis_glob import matches


def _drop(msg):
    pass


class FakeLogger:
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
        return [sorted(map(repr, keys)) for keys in self.deletes]


def raising(error_type, *args):
    def fn(*_, **__):
        raise error_type(*args)

    return fn


def records(wiring=(), **more):
    table = {}
    for node_id, ports in dict(wiring, **more).items():
        table[node_id] = {"id": node_id} if ports is None else {"id": node_id, "wires": ports}
    return table


class RecordingCv2:
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
    return [
        (type(a), a.dtype, a.shape, a.strides, a.base is None, a.flags.num, a.tobytes())
        for a in arrays
    ]


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 (any error is an outcome)
        return ("error", type(error), str(error))
