"""The local MQTT key: PREFIX.MQTT.LOCAL, "_", the node id."""

import builtins
import types

import pytest


class Shouty(str):
    def __str__(self):
        return self.upper()


class Formatted:
    def __format__(self, format_spec):
        return f"fmt[{format_spec}]"


class WideSubclassText:
    # __format__ may return a str subclass, whose characters live apart from
    # the object.
    def __format__(self, format_spec):
        return Shouty("\xfc\u20ac")


class BadFormat:
    def __format__(self, format_spec):
        raise ValueError("no text")


def prefix(local):
    return types.SimpleNamespace(MQTT=types.SimpleNamespace(LOCAL=local))


# Each value is turned into text as an f-string placeholder does.
VALUES = ["cam1", "", 7, -12, 0, 2**63 - 1, -(2**63), 2**64, 10**40, None, 1.5, 1e16, True,
          "é", "\u20ac", "\U0001f600", Shouty("abc"), Formatted(), WideSubclassText()]


@pytest.mark.parametrize("node_id", VALUES, ids=repr)
def test_key_is_prefix_underscore_id(mu, node_id):
    local = mu.PREFIX.MQTT.LOCAL
    assert mu.gen_mqtt_key_local(node_id) == f"{local}_{node_id}"
    assert mu.gen_mqtt_key_local(node_id=node_id) == f"{local}_{node_id}"


@pytest.mark.parametrize("local", ["mqtt", "", 5, "\xe9t\xe9", "\u20ac", "\U0001f600",
                                   Shouty("loc"), None], ids=repr)
@pytest.mark.parametrize("node_id", ["n1", 42, "\u20ac", "\U0001f600x"], ids=repr)
def test_pieces_of_every_width_join(mu, monkeypatch, local, node_id):
    monkeypatch.setattr(mu, "PREFIX", prefix(local))
    key = mu.gen_mqtt_key_local(node_id)
    assert key == f"{local}_{node_id}" and type(key) is str


def test_prefix_is_read_on_every_call(mu, monkeypatch):
    first = mu.gen_mqtt_key_local("n")
    monkeypatch.setattr(mu, "PREFIX", prefix("other"))
    assert mu.gen_mqtt_key_local("n") == "other_n"
    # Changing the object behind the global is seen as well.
    mu.PREFIX.MQTT = types.SimpleNamespace(LOCAL="third")
    assert mu.gen_mqtt_key_local("n") == "third_n"
    mu.PREFIX.MQTT.LOCAL = "fourth"
    assert mu.gen_mqtt_key_local("n") == "fourth_n"
    monkeypatch.undo()
    assert mu.gen_mqtt_key_local("n") == first


def test_deleted_prefix_raises_name_error_then_builtins_serve(mu, monkeypatch):
    mu.gen_mqtt_key_local("n")
    monkeypatch.delattr(mu, "PREFIX")
    with pytest.raises(NameError, match="^name 'PREFIX' is not defined$"):
        mu.gen_mqtt_key_local("n")
    # A global lookup falls back on the builtins, as in Python code.
    monkeypatch.setattr(builtins, "PREFIX", prefix("built"), raising=False)
    assert mu.gen_mqtt_key_local("n") == "built_n"
    monkeypatch.setattr(mu, "PREFIX", prefix("own"), raising=False)
    assert mu.gen_mqtt_key_local("n") == "own_n"


@pytest.mark.parametrize(
    "value, error",
    [
        (object(), AttributeError),
        (types.SimpleNamespace(MQTT=object()), AttributeError),
        (prefix(BadFormat()), ValueError),
    ],
    ids=["no-mqtt", "no-local", "format-raises"],
)
def test_failures_pass_through(mu, monkeypatch, value, error):
    with pytest.raises(ValueError, match="no text"):
        mu.gen_mqtt_key_local(BadFormat())
    monkeypatch.setattr(mu, "PREFIX", value)
    with pytest.raises(error):
        mu.gen_mqtt_key_local("n")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "gen_mqtt_key_local() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "gen_mqtt_key_local() takes exactly 1 positional argument (2 given)"),
        (("a",), {"node": "b"},
         "gen_mqtt_key_local() got an unexpected keyword argument 'node'"),
        (("a",), {"node_id": "b"},
         "gen_mqtt_key_local() got multiple values for keyword argument 'node_id'"),
    ],
)
def test_argument_rule(mu, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        mu.gen_mqtt_key_local(*args, **kwargs)
    assert str(err.value) == message
