import types
from decimal import Decimal
from fractions import Fraction

from flowsweep_cases import ADDRESS, _raise, run_restoring


class Hooks:
    def __init__(self, fmt=None, text=None, rep=None):
        self.fmt, self.text, self.rep = fmt, text, rep

    def __format__(self, format_spec):
        if self.fmt is None:
            return object.__format__(self, format_spec)
        return self.fmt(format_spec) if callable(self.fmt) else self.fmt

    def __str__(self):
        return self.text() if callable(self.text) else (self.text or "hooks")

    def __repr__(self):
        return self.rep() if callable(self.rep) else "Hooks()"


class StrSub(str):
    def __format__(self, format_spec):
        return "formatted:" + str.__format__(self, format_spec)


class Shouty(str):
    def __str__(self):
        return self.upper()


class IntSub(int):
    def __format__(self, format_spec):
        return f"int-{int(self)}"


def error_of(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001
        return (type(error).__name__, ADDRESS.sub("", str(error)))


PARAMETERS = """
    source_name source_id source_idx result node_id node_type infer_t category
""".split()

TEXTS = (
    ["", "a", "é", "€", "😀", "a_b", "x" * 70, "é€😀", "\x00", "\udc80", 0, -1, 7, 2**63]
    + [-(2**63), 2**64 + 5, -(10**30), True, False, None, 1.5, -0.0, float("nan")]
    + [float("inf"), 1e300, StrSub("s"), IntSub(3), Decimal("1.10"), Fraction(1, 3), (1, 2)]
    + [b"raw", ["l"], Hooks(fmt="custom"), Hooks(text="via-str")]
    + [Hooks(fmt=lambda format_spec: _raise(ValueError("no format")))]
    + [Hooks(text=lambda: _raise(KeyError("no str"))), Hooks(fmt=5), Hooks(fmt=StrSub("sub"))]
    + [Hooks(rep=lambda: _raise(RuntimeError("no repr"))), Shouty("abc")]
    + [Hooks(fmt=Shouty("\xfc\u20ac")), Hooks(fmt=lambda format_spec: f"fmt[{format_spec}]")]
    + [2**63 - 1, 10**40, 1e16, "\U0001f600x"]
)


def keys_for_every_text(mod):
    return [error_of(lambda v=v: mod.gen_mqtt_key_local(v)) for v in TEXTS] + [
        error_of(lambda v=v: mod.gen_mqtt_key_local(node_id=v)) for v in TEXTS[:3]
    ]


def keys_with_every_prefix(mod):
    out = []
    for local in TEXTS:
        mod.PREFIX = types.SimpleNamespace(MQTT=types.SimpleNamespace(LOCAL=local))
        out.append(error_of(lambda: [mod.gen_mqtt_key_local(t) for t in ("", "é", "€", "😀", 12)]))
    for prefix in (
        None,
        types.SimpleNamespace(MQTT=None),
        types.SimpleNamespace(),
        types.SimpleNamespace(MQTT=types.SimpleNamespace()),
    ):
        mod.PREFIX = prefix
        out.append(error_of(lambda: mod.gen_mqtt_key_local("n")))
    del mod.PREFIX
    out.append(error_of(lambda: mod.gen_mqtt_key_local("n")))
    return out


def payload_text_faults(mod):
    out = []
    for value in TEXTS:
        out.append(error_of(lambda v=value: mod.meta_info_to_publish("n", v)["source_key"]))
        out.append(error_of(lambda v=value: mod.meta_info_to_publish("n", "id", v)["source_key"]))
    # Both pieces fail: the id's error comes first.
    bad = Hooks(fmt=lambda format_spec: _raise(ValueError("id first")))
    out.append(error_of(lambda: mod.meta_info_to_publish("n", bad, Hooks(fmt=5))))
    return out


def payload_rounding(mod):
    values = (
        [0, 7, -3, 2**80, True, False, 0.0, -0.0, 0.123456, 0.12345, 0.00005, 0.00015]
        + [0.00025, -0.00005, -0.00001, 2.675, 1 / 32, 3 / 32, -5 / 32, 1e-10, 1e-300]
        + [123456.78905, 4.5e11 + 0.03125, 1e15 + 0.3, 1e16, 4.5e15, 1e300, -1e300]
        + [1.7976931348623157e308, float("inf"), float("-inf"), float("nan"), 5e-324]
        + [Decimal("0.123456"), Fraction(1, 3), IntSub(4), type("F", (float,), {})(0.123456)]
        + [None, "0.5", [1], Hooks()]
        + [type("R", (), {"__round__": lambda self, n: ("rounded", n)})()]
        + [type("E", (), {"__round__": lambda self, n: _raise(ArithmeticError("no round"))})()]
    )
    out = []
    for value in values:
        got = error_of(
            lambda v=value: mod.meta_info_to_publish("n", "i", infer_t=v)["inference time(sec)"]
        )
        if got[0] == "ok":
            v = got[1]
            got = ("ok", type(v).__name__, v.hex() if isinstance(v, float) else repr(v))
        out.append(got)
    return out


def payload_clock(mod):
    out = []
    saved = mod.time
    try:
        for clock in (
            types.SimpleNamespace(time=lambda: 42.5),
            types.SimpleNamespace(time=lambda: None),
            types.SimpleNamespace(time=lambda: _raise(OSError("clock"))),
            types.SimpleNamespace(time=5),
            types.SimpleNamespace(),
            None,
        ):
            mod.time = clock
            out.append(error_of(lambda: mod.meta_info_to_publish("n", "i")["ts"]))
        del mod.time
        out.append(error_of(lambda: mod.meta_info_to_publish("n", "i")))
        # The clock fails before round() would: step order.
        mod.time = types.SimpleNamespace(time=lambda: _raise(OSError("clock first")))
        out.append(error_of(lambda: mod.meta_info_to_publish("n", "i", infer_t=None)))
    finally:
        mod.time = saved
    return out


def payload_values(mod):
    results = [None, [], 0, False, "", [1, 2]]
    out = []
    for result in results:
        payload = mod.meta_info_to_publish("name", "id", 3, result, None, "t", 2, "error")
        payload.pop("ts")
        same = payload["result"] is result
        out.append((list(payload), repr(payload), same))
    p = mod.meta_info_to_publish(source_name=1, source_id=2, category=mod.Category.warning)
    p.pop("ts")
    out.append(repr(p))
    return out


SCENARIOS = [keys_for_every_text, keys_with_every_prefix, payload_text_faults, payload_rounding] + [
    payload_clock,
    payload_values,
]


def run(mod, scenario):
    return run_restoring(mod, scenario, ("time", "PREFIX"))
