import gc
import math
import struct
import sys
import time
import weakref

import pytest

from mqtt_cases import PARAMETERS
from common import run_python

KEYS = ["source_id", "source_name", "source_key", "source_idx", "ts", "id", "type", "result"] + [
    "inference time(sec)",
    "category",
]
ROUNDED = "inference time(sec)"


def test_defaults(mu):
    before = time.time()
    payload = mu.meta_info_to_publish("front", "cam1")
    after = time.time()
    assert list(payload) == KEYS
    assert type(payload) is dict and not any(type(k) is not str for k in payload)
    assert payload["source_key"] == "cam1_0" and payload["source_idx"] == 0
    assert payload["id"] is mu.NODE_ID and payload["type"] is mu.NODE_TYPE
    assert payload["result"] == [] and payload["category"] == mu.Category.info
    assert payload[ROUNDED] == 0 and type(payload[ROUNDED]) is int
    assert type(payload["ts"]) is float and before <= payload["ts"] <= after


def test_passed_objects_are_stored_as_they_are(mu):
    args = [object() for _ in range(8)]
    args[6] = 3  # infer_t goes through round()
    by_position = mu.meta_info_to_publish(*args)
    by_keyword = mu.meta_info_to_publish(**dict(zip(reversed(PARAMETERS), reversed(args))))
    for payload in (by_position, by_keyword):
        assert list(payload) == KEYS
        stored = [
            payload[k]
            for k in (
                ("source_name", "source_id", "source_idx", "result", "id", "type", ROUNDED)
                + ("category",)
            )
        ]
        assert all(a is b for a, b in zip(stored, args))


def test_none_rules(mu):
    # Only a None result is replaced, by a new list on every call; every
    # other explicit None is stored, and a falsy result is kept as it is.
    first = mu.meta_info_to_publish("n", "s")["result"]
    payload = mu.meta_info_to_publish(None, None, None, None, None, None, 0, None)
    assert first == [] == payload["result"] and first is not payload["result"]
    assert payload["source_key"] == "None_None"
    assert [
        payload[k] for k in ("source_name", "source_id", "source_idx", "id", "type", "category")
    ] == [None] * 6
    for result in ([], 0, False, "", ()):
        assert mu.meta_info_to_publish("n", "s", result=result)["result"] is result


def test_payloads_are_independent(mu):
    first = mu.meta_info_to_publish("n", "s")
    first.update(id="changed", category="changed")
    del first["type"]
    second = mu.meta_info_to_publish("n", "s")
    assert list(second) == KEYS and second["id"] is mu.NODE_ID and second["category"] == "info"
    # An equal object is still the object passed, not the default.
    equal_id = "".join(list(mu.NODE_ID))
    assert mu.meta_info_to_publish("n", "s", node_id=equal_id)["id"] is equal_id


def test_defaults_are_fixed_at_load(mu, monkeypatch):
    loaded = (mu.NODE_ID, mu.NODE_TYPE)
    monkeypatch.setattr(mu, "NODE_ID", "rebound-id")
    monkeypatch.setattr(mu, "NODE_TYPE", "rebound-type")
    payload = mu.meta_info_to_publish("n", "s")
    assert (payload["id"], payload["type"]) == loaded


def test_patched_time_function_is_called(mu, monkeypatch):
    # The module global still is the time module, but its function is not
    # the interpreter's any more: the call must reach the replacement.
    mu.meta_info_to_publish("n", "s")
    calls = []
    monkeypatch.setattr(time, "time", lambda: calls.append(1) or 99.0)
    assert mu.meta_info_to_publish("n", "s")["ts"] == 99.0 and calls == [1]
    monkeypatch.undo()
    assert abs(mu.meta_info_to_publish("n", "s")["ts"] - time.time()) < 60
    monkeypatch.delattr(time, "time")
    with pytest.raises(AttributeError):
        mu.meta_info_to_publish("n", "s")


def test_steps_run_in_order_and_failures_leave_nothing(mu, monkeypatch):
    log = []

    class Logged:
        def __init__(self, name, fail=False):
            self.name, self.fail = name, fail

        def __format__(self, format_spec):
            log.append(self.name)
            if self.fail:
                raise ValueError(self.name)
            return self.name

        def __round__(self, ndigits=None):
            log.append(("round", ndigits))
            if self.fail:
                raise ValueError("round")
            return self

    class Clock:
        def time(self):
            log.append("clock")
            return 1.0

    monkeypatch.setattr(mu, "time", Clock())
    infer_t = Logged("t")
    payload = mu.meta_info_to_publish("n", Logged("id"), Logged("idx"), infer_t=infer_t)
    assert log == ["id", "idx", "clock", ("round", 4)] and payload[ROUNDED] is infer_t
    for fail_at, seen in [
        ("id", ["id"]),
        ("idx", ["id", "idx"]),
        ("t", ["id", "idx", "clock", ("round", 4)]),
    ]:
        log.clear()
        args = [Logged(name, fail=name == fail_at) for name in ("id", "idx", "t")]
        with pytest.raises(ValueError, match=fail_at if fail_at != "t" else "round"):
            mu.meta_info_to_publish("n", args[0], args[1], infer_t=args[2])
        assert log == seen


def test_no_references_are_leaked(mu):
    objs = ["name-x", "id-x", 12345678901, [1], "node-x", "type-x", 0.123456, "cat-x"]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(100):
        payload = mu.meta_info_to_publish(*objs)
        del payload
        with pytest.raises(TypeError):
            mu.meta_info_to_publish(*objs[:6], None, objs[7])
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


class Holder:
    pass


@pytest.mark.parametrize("where", ["source_name", "result", "category"])
def test_a_cycle_through_a_payload_is_collected(mu, where):
    # A payload that holds a container must be seen by the cycle collector,
    # or a cycle through it is never freed.
    holder = Holder()
    payload = mu.meta_info_to_publish(**{"source_name": "n", "source_id": "s", where: holder})
    holder.payload = payload
    assert gc.is_tracked(payload)
    alive = weakref.ref(holder)
    del holder, payload
    gc.collect()
    assert alive() is None


def identical(a, b):
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    return a == b


class RecordsDigits:
    def __round__(self, ndigits=None):
        return ("rounded", ndigits, type(ndigits))


@pytest.mark.parametrize("infer_t", [0, -3, 2**100, RecordsDigits()], ids=repr)
def test_rounding_keeps_exact_ints_and_passes_ndigits(mu, infer_t):
    # Every other value: mqtt_cases.payload_rounding, test_mqtt_properties.
    got = mu.meta_info_to_publish("n", "s", infer_t=infer_t)[ROUNDED]
    assert identical(got, round(infer_t, 4))
    if type(infer_t) is int:
        assert got is infer_t


def test_clock_replaced_before_load_is_called():
    code = (
        "import time\n"
        "time.time = lambda: 1234.5\n"
        "import nalo_sdk.mqtt.utils as m\n"
        "print(m.meta_info_to_publish('n', 's')['ts'])\n"
    )
    result = run_python(code)
    assert result.stdout == "1234.5\n", result.stderr
