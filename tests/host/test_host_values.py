"""Values crossing the worker's pipes both ways, unchanged."""

import math

import pytest

ECHO = "def on_input(msg, node):\n    return msg\n"

VALUES = [
    ("emoji", "a😀b"),
    ("lone surrogate", "x\ud800y\udfff"),
    ("nul", "a\x00b"),
    ("empty bytes", b""),
    ("bytes", bytes(range(256))),
    ("9 MiB of bytes", b"\x07" * (9 << 20)),
    ("buffers among data", {"a": [b"1", {"b": b"22"}], "c": "x"}),
    ("deep nesting", [[[[[[[[[[["deep"]]]]]]]]]]]),
    ("infinities", [math.inf, -math.inf]),
]


@pytest.mark.parametrize("value", [v for _, v in VALUES], ids=[name for name, _ in VALUES])
def test_a_value_comes_back_unchanged(worker, value):
    worker.open(ECHO)
    (done,) = worker.message({"payload": value})
    assert done["t"] == "done" and done["v"] == {"payload": value}


def test_nan_comes_back(worker):
    worker.open(ECHO)
    (done,) = worker.message({"payload": math.nan})
    assert math.isnan(done["v"]["payload"])


RETURNED = [
    ("bytearray(b'ab')", b"ab"),
    ("memoryview(b'abc')[1:]", b"bc"),
    ("numpy.arange(4, dtype=numpy.uint16)", b"\x00\x00\x01\x00\x02\x00\x03\x00"),
    ("numpy.arange(6, dtype=numpy.uint8).reshape(2, 3)[:, 1]", b"\x01\x04"),
    ("numpy.float32(1.5)", 1.5),
    ("(1, 'two')", [1, "two"]),
]


@pytest.mark.parametrize("expression, crossed", RETURNED, ids=[e for e, _ in RETURNED])
def test_python_values_that_cross(worker, expression, crossed):
    worker.open(f"import numpy\ndef on_input(msg, node):\n    return {{'payload': {expression}}}\n")
    (done,) = worker.message({})
    assert done["v"] == {"payload": crossed}


CANNOT_CROSS = [
    ("{'payload': {1, 2}}", "msg.payload cannot cross to Node.js: a set object"),
    ("{'a': [0, object()]}", "msg.a[1] cannot cross to Node.js: a object object"),
    ("{'k': {3: 'x'}}", "msg.k cannot cross to Node.js: a key that is not a string (3)"),
    ("{'d': nest(1200)}", "nested deeper than 500 levels"),
]


@pytest.mark.parametrize("expression, words", CANNOT_CROSS, ids=[e for e, _ in CANNOT_CROSS])
def test_a_returned_value_that_cannot_cross_is_an_error(worker, expression, words):
    code = (
        "def nest(n):\n    v = []\n    for _ in range(n):\n        v = [v]\n    return v\n"
        f"def on_input(msg, node):\n    return {expression}\n"
    )
    worker.open(code)
    (error,) = worker.message({})
    assert error["t"] == "error" and error["error"]["type"] == "CannotCross"
    assert words in error["error"]["message"]
    # The worker goes on.
    assert worker.message({}, seq=2)[-1]["t"] == "error"
