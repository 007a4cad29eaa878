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


# From Python 3.12 on, reads are remembered through a dict watcher of the
# interpreter's, which has only a few: with every one taken, nothing may be
# remembered, and each change must still be seen. (Python 3.11 needs none:
# there the same steps run with every watcher free.)
_WITHOUT_WATCHERS = """
import ctypes, sys, types
taken = 0
if sys.version_info >= (3, 12):
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                                ctypes.py_object, ctypes.py_object)(lambda *a: 0)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes = [ctypes.c_void_p]
    while True:
        try:
            add(ctypes.cast(callback, ctypes.c_void_p))
        except RuntimeError:  # "no more dict watcher IDs available"
            break
        taken += 1
import nalo_sdk.mqtt.utils as mu
keys = []
for local in ("a", "b", "c"):
    mu.PREFIX = types.SimpleNamespace(MQTT=types.SimpleNamespace(LOCAL="x"))
    mu.gen_mqtt_key_local("n")
    mu.PREFIX.MQTT.LOCAL = local
    keys.append(mu.gen_mqtt_key_local("n"))
print(taken > 0 or sys.version_info < (3, 12), keys)
"""


def test_changes_are_seen_when_no_dict_watcher_is_left():
    from common import run_python

    done = run_python(_WITHOUT_WATCHERS)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split(None, 1) == ["True", "['a_n', 'b_n', 'c_n']\n"]
