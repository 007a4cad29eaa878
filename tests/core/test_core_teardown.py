import importlib
import inspect

import pytest

from common import run_python

SCRIPT = r"""
import ctypes, importlib, sys
name, target, call = sys.argv[1], sys.argv[2], sys.argv[3]
importlib.import_module(name)
del sys.modules[name]
fresh = importlib.import_module(name)  # a second instance, ours to break

get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype = ctypes.c_void_p
get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
TP_CLEAR = 51
victim = fresh if target == "module" else getattr(fresh, target)
functions = {k: v for k, v in vars(fresh).items() if callable(v)}
ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(victim), TP_CLEAR))(victim)
if call == "attributes":
    import inspect
    for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
                 "__kwdefaults__", "__annotations__", "__globals__", "__dict__"):
        print(attr, repr(getattr(victim, attr)))
    print(type(victim.__code__).__name__, inspect.signature(victim), repr(victim)[:13])
    sys.exit(0)
try:
    eval(call, {"f": functions})
except RuntimeError as error:
    print("RuntimeError:", error)
"""

FS, NMS, MQTT = "nalo_sdk.redis.flowsweep", "nalo_sdk.detection.nms", "nalo_sdk.mqtt.utils"
STD, PER = "non_max_suppression_cv", "non_max_suppression_cv_per_class"
# (module, what is emptied, function called, its arguments, function refused)
CASES = [
    (FS, "clear_stream_redis_keys", "clear_stream_redis_keys", "None, None, {}, 'k'", None),
    (FS, "module", "clear_stream_redis_keys", "None, None, {}, 'k'", None),
    (NMS, STD, STD, "[[0, 0, 1, 1]], [1]", None),
    (NMS, "module", PER, "[[0, 0, 1, 1]], [1], [1]", None),
    # The per-class function calls the standard one straight while it is the
    # module's own: not once it has been emptied.
    (NMS, STD, PER, "[[0, 0, 1, 1]], [1], [1]", STD),
    (MQTT, "gen_mqtt_key_local", "gen_mqtt_key_local", "1", None),
    (MQTT, "module", "meta_info_to_publish", "'n', 'i'", None),
]


def run_script(*argv):
    run = run_python(SCRIPT, argv=argv, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    return run.stdout.strip()


@pytest.mark.parametrize(
    "module, target, name, args, refused",
    CASES,
    ids=[f"{c[0].rsplit('.', 1)[1]}-{c[1]}" for c in CASES],
)
def test_calls_after_teardown_are_refused(module, target, name, args, refused):
    out = run_script(module, target, f"f['{name}']({args})")
    assert out == f"RuntimeError: {refused or name}(): its module has been torn down"


ATTRIBUTES = """__name__ ''
__qualname__ ''
__module__ None
__doc__ None
__defaults__ None
__kwdefaults__ None
__annotations__ {}
__globals__ None
__dict__ {}
code %s <function  at"""


@pytest.mark.parametrize(
    "module, function",
    [(FS, "clear_stream_redis_keys"), (NMS, PER), (MQTT, "meta_info_to_publish")],
)
def test_an_emptied_function_can_still_be_inspected(module, function):
    names = inspect.signature(getattr(importlib.import_module(module), function)).parameters
    assert run_script(module, function, "attributes") == ATTRIBUTES % f"({', '.join(names)})"
