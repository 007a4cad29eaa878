"""Calls that arrive after the garbage collector has emptied a module or one
of its functions (as when it breaks a reference cycle through them, with a
finaliser still to run) are refused with RuntimeError instead of reading
the emptied state. Each case runs in a child interpreter, so that a crash
fails the test instead of ending the run."""

import os
import subprocess
import sys

import pytest

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

CASES = [
    (
        "nalo_sdk.redis.flowsweep",
        "clear_stream_redis_keys",
        "f['clear_stream_redis_keys'](None, None, {}, 'k')",
        "clear_stream_redis_keys(): its module has been torn down",
    ),
    (
        "nalo_sdk.redis.flowsweep",
        "module",
        "f['clear_stream_redis_keys'](None, None, {}, 'k')",
        "clear_stream_redis_keys(): its module has been torn down",
    ),
    (
        "nalo_sdk.detection.nms",
        "non_max_suppression_cv",
        "f['non_max_suppression_cv']([[0, 0, 1, 1]], [1])",
        "non_max_suppression_cv(): its module has been torn down",
    ),
    (
        "nalo_sdk.detection.nms",
        "module",
        "f['non_max_suppression_cv_per_class']([[0, 0, 1, 1]], [1], [1])",
        "non_max_suppression_cv_per_class(): its module has been torn down",
    ),
    # The per-class function calls the standard one straight while it is the
    # module's own: not once it has been emptied.
    (
        "nalo_sdk.detection.nms",
        "non_max_suppression_cv",
        "f['non_max_suppression_cv_per_class']([[0, 0, 1, 1]], [1], [1])",
        "non_max_suppression_cv(): its module has been torn down",
    ),
    (
        "nalo_sdk.mqtt.utils",
        "gen_mqtt_key_local",
        "f['gen_mqtt_key_local'](1)",
        "gen_mqtt_key_local(): its module has been torn down",
    ),
    (
        "nalo_sdk.mqtt.utils",
        "module",
        "f['meta_info_to_publish']('n', 'i')",
        "meta_info_to_publish(): its module has been torn down",
    ),
]


@pytest.mark.parametrize(
    "module, target, call, message", CASES, ids=[f"{c[0].rsplit('.', 1)[1]}-{c[1]}" for c in CASES]
)
def test_calls_after_teardown_are_refused(module, target, call, message):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT, module, target, call],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == f"RuntimeError: {message}"


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
    "module, function, signature",
    [
        (
            "nalo_sdk.redis.flowsweep",
            "clear_stream_redis_keys",
            "(redis_wrapper, nodered_flow, node_config, redis_out_key, max_ports)",
        ),
        (
            "nalo_sdk.detection.nms",
            "non_max_suppression_cv_per_class",
            "(boxes, scores, class_ids, score_threshold, iou_threshold)",
        ),
        (
            "nalo_sdk.mqtt.utils",
            "meta_info_to_publish",
            "(source_name, source_id, source_idx, result, node_id, node_type, infer_t, category)",
        ),
    ],
)
def test_an_emptied_function_can_still_be_inspected(module, function, signature):
    """What a finaliser may do with a function the collector has emptied:
    print it, read its attributes (names "", the rest empty)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT, module, function, "attributes"],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == ATTRIBUTES % signature
