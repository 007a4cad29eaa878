import builtins
import types

import pytest


def prefix(local):
    return types.SimpleNamespace(MQTT=types.SimpleNamespace(LOCAL=local))


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
