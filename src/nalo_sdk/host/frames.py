"""Frames between Node.js and the worker, and the values they carry.

A frame is::

    u32 header length H, u32 body length B (big-endian, in bytes)
    H bytes: the header, one JSON object in ASCII
    B bytes: the body, the frame's binary values one after another

The header's ``v`` is the frame's value with ``null`` in the place of every
value that JSON cannot carry; ``x`` lists those places in order, each as
``[path, kind]`` or ``[path, "b", length]``: ``b`` a buffer (its bytes are
the next ``length`` bytes of the body), ``nan``, ``inf``, ``-inf``. A path is
the list of keys and indices from the value's root.

Lengths are counted in bytes, never in characters, and the JSON is pure
ASCII (``\\u`` escapes), so text with any code point, lone surrogates and NUL
crosses unchanged.
"""

import json
import math
import os
import struct

PREFIX = struct.Struct(">II")
# Deeper than any message a flow builds, and well inside the recursion
# limits of the JSON coders on both sides (Python's stops at 1000).
MAX_DEPTH = 500
# A frame larger than this is a broken peer, not a message.
MAX_FRAME = 1 << 31
# The most parts one writev takes on Linux.
IOV_MAX = 1024

_FLOATS = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


class CannotCross(ValueError):
    """A value that has no form on the other side; ``path`` names where it is."""

    def __init__(self, path, what):
        self.path = path
        super().__init__(f"{shown_path(path)} cannot cross to Node.js: {what}")


def shown_path(path):
    """``msg.payload[2].name`` for ``["payload", 2, "name"]``."""
    text = "msg"
    for key in path:
        text += f"[{key}]" if isinstance(key, int) else f".{key}"
    return text


def _buffer(value):
    """A contiguous byte view of an object with the buffer protocol (bytes,
    bytearray, memoryview, NumPy array, array.array), or None."""
    try:
        view = memoryview(value)
    except TypeError:
        return None
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    return view.cast("B") if view.ndim != 1 or view.format != "B" else view


# Values that json writes as they are. Containers take them without a call
# of _plain and a path of their own: a detector's result is thousands of
# numbers, and a call per number cost a millisecond and more per message.
_AS_THEY_ARE = frozenset({str, int, bool, type(None)})


def _plain(value, path, extras, buffers, depth):
    """A copy of ``value`` that ``json`` writes, noting the rest in ``extras``."""
    if depth > MAX_DEPTH:
        raise CannotCross(path, f"nested deeper than {MAX_DEPTH} levels")
    kind = type(value)
    if kind is str or value is None or kind is bool:
        return value
    if kind is dict:
        copy = {}
        for key, item in value.items():
            if type(key) is not str:
                raise CannotCross(path, f"a key that is not a string ({key!r})")
            kind = type(item)
            # item - item is 0.0 for a finite float only (NaN for NaN and infinities)
            if kind in _AS_THEY_ARE or (kind is float and item - item == 0.0):
                copy[key] = item
            else:
                copy[key] = _plain(item, path + [key], extras, buffers, depth + 1)
        return copy
    if kind is list or kind is tuple:
        copy = []  # a loop, not a comprehension: one stack frame per level
        for index, item in enumerate(value):
            kind = type(item)
            if kind in _AS_THEY_ARE or (kind is float and item - item == 0.0):
                copy.append(item)
            else:
                copy.append(_plain(item, path + [index], extras, buffers, depth + 1))
        return copy
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        value = float(value)
        if math.isfinite(value):
            return value
        extras.append([path, "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")])
        return None
    if isinstance(value, str):
        return str(value)
    item = getattr(value, "item", None)  # a NumPy scalar, not an array
    if callable(item) and type(value).__module__ == "numpy" and getattr(value, "ndim", 1) == 0:
        return _plain(item(), path, extras, buffers, depth)
    view = _buffer(value)
    if view is not None:
        extras.append([path, "b", view.nbytes])
        buffers.append(view)
        return None
    if isinstance(value, dict):
        return _plain(dict(value), path, extras, buffers, depth)
    raise CannotCross(path, f"a {kind.__name__} object")


def encode(header, value=None):
    """The parts of one frame (a list for ``os.writev``): ``header`` (a dict
    of JSON values) carrying ``value``. Raises ``CannotCross``."""
    extras, buffers = [], []
    if value is not None:
        try:
            header = dict(header, v=_plain(value, [], extras, buffers, 0))
        except RecursionError:  # the user's handler already sat deep in the stack
            raise CannotCross([], "nested too deeply") from None
        if extras:
            header["x"] = extras
    text = json.dumps(header, ensure_ascii=True, allow_nan=False, separators=(",", ":"))
    head = text.encode("ascii")
    body = sum(view.nbytes for view in buffers)
    return [PREFIX.pack(len(head), body) + head, *buffers]


def _place(root, path, item):
    if not path:
        return item
    parent = root
    for key in path[:-1]:
        parent = parent[key]
    parent[path[-1]] = item
    return root


def decode(head, read):
    """The header of one frame (a dict) with its value in place; ``read(n)``
    returns the next ``n`` bytes of the body."""
    header = json.loads(head)
    value = header.get("v")
    for extra in header.pop("x", ()):
        path, kind = extra[0], extra[1]
        item = read(extra[2]) if kind == "b" else _FLOATS[kind]
        value = _place(value, path, item)
    header["v"] = value
    return header


class FrameReader:
    """Reads frames from a file descriptor."""

    def __init__(self, fd):
        self._file = os.fdopen(fd, "rb", buffering=1 << 16)

    def _exactly(self, count):
        data = self._file.read(count)
        if len(data) != count:
            raise EOFError("the pipe closed inside a frame" if data else "the pipe closed")
        return data

    def read(self):
        """The next frame's header with its value (see ``decode``); raises
        EOFError at the end of the pipe."""
        head_length, body_length = PREFIX.unpack(self._exactly(PREFIX.size))
        if head_length + body_length > MAX_FRAME:
            raise EOFError(f"a frame of {head_length + body_length} bytes: the peer is broken")
        head = self._exactly(head_length)
        header = decode(head, self._exactly)
        return header


def write_parts(fd, parts):
    """Writes a frame's parts whole, however the pipe splits them."""
    parts = [memoryview(part).cast("B") for part in parts]
    while parts:
        written = os.writev(fd, parts[:IOV_MAX])
        while parts and written >= parts[0].nbytes:
            written -= parts[0].nbytes
            parts.pop(0)
        if written:
            parts[0] = parts[0][written:]
