import math
import time
import types

import hypothesis.strategies as st
from hypothesis import given

import mqtt_model
from mqtt_cases import PARAMETERS
from common import property_settings
import nalo_sdk.mqtt.utils as native

SETTINGS = property_settings()

texts = st.one_of(
    st.text(max_size=12),
    st.integers(),
    st.floats(),
    st.booleans(),
    st.none(),
    st.sampled_from(["é", "€", "😀", "\udc80"]),
)
values = st.one_of(texts, st.lists(st.integers(), max_size=3), st.tuples(st.integers()))


def bits(value):
    if isinstance(value, float):
        return "nan" if math.isnan(value) else value.hex()
    return (type(value), value)


def halfway():
    point = st.builds(
        lambda k, sign, e: sign * (k + 0.5) / 10**4 * 10**e,
        st.integers(0, 10**9),
        st.sampled_from([1, -1]),
        st.integers(-3, 3),
    )
    near = st.builds(
        lambda k, frac: (k + frac) / 10000,
        st.integers(-(10**15), 10**15),
        st.sampled_from([0.0, 0.49999999, 0.50000001]),
    )
    binary = st.builds(lambda k: (k + 0.5) / 32, st.integers(-(10**15), 10**15))
    return st.one_of(point, near, binary).flatmap(
        lambda x: st.sampled_from([x, math.nextafter(x, math.inf), math.nextafter(x, -math.inf)])
    )


@SETTINGS
@given(st.one_of(st.floats(), halfway(), st.floats(-1e12, 1e12), st.integers(-(2**70), 2**70)))
def test_rounding_is_the_builtin_round(value):
    got = native.meta_info_to_publish("n", "i", infer_t=value)["inference time(sec)"]
    want = round(value, 4)
    assert type(got) is type(want) and bits(got) == bits(want)


@SETTINGS
@given(texts, texts)
def test_key_is_the_model_key(local, node_id):
    prefix = types.SimpleNamespace(MQTT=types.SimpleNamespace(LOCAL=local))
    saved = native.PREFIX, mqtt_model.PREFIX
    native.PREFIX = mqtt_model.PREFIX = prefix
    try:
        assert native.gen_mqtt_key_local(node_id) == mqtt_model.gen_mqtt_key_local(node_id)
    finally:
        native.PREFIX, mqtt_model.PREFIX = saved


@SETTINGS
@given(st.lists(values, min_size=2, max_size=8), st.booleans())
def test_payload_is_the_model_payload(args, by_keyword):
    if by_keyword:
        call = lambda fn: fn(**dict(zip(PARAMETERS, args)))  # noqa: E731
    else:
        call = lambda fn: fn(*args)  # noqa: E731

    def outcome(fn):
        try:
            payload = call(fn)
        except TypeError as error:  # round() of a value it does not take
            return "TypeError", str(error)
        ts = payload.pop("ts")
        assert type(ts) is float and abs(ts - time.time()) < 60
        return [(k, bits(v)) for k, v in payload.items()]

    assert outcome(native.meta_info_to_publish) == outcome(mqtt_model.meta_info_to_publish)
