"""Reference and memory leaks, under Debian's debug interpreter
(`make test-refleaks`): every public callable on its success paths and on
its failure paths, in loops; the total reference count and the live blocks
must not grow."""

import ctypes
import importlib
import sys
import types

import pytest

import leakcheck

if not leakcheck.DEBUG_BUILD:
    pytest.skip("needs the debug interpreter: make test-refleaks", allow_module_level=True)

import flowsweep_cases as fs_cases  # noqa: E402
import mqtt_cases  # noqa: E402
import nalo_sdk.detection.nms as nms  # noqa: E402
import nalo_sdk.mqtt.utils as mqtt  # noqa: E402
import nalo_sdk.redis.flowsweep as fs  # noqa: E402
import nms_cases  # noqa: E402


@pytest.mark.parametrize("module", [fs, nms, mqtt], ids=lambda m: m.__name__)
def test_modules_are_debug_builds(module):
    assert module.__file__.endswith(".cpython-311d-x86_64-linux-gnu.so")


def raw_vectorcall(fn, args, kwnames):
    """Calls `fn` through its vectorcall slot, as C code may, so that keyword
    names that are not strings reach the argument binding."""
    slot = ctypes.c_void_p.from_address(id(fn) + object.__basicsize__).value
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                              ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object)
    array = (ctypes.py_object * len(args))(*args)
    return proto(slot)(fn, array, len(args) - len(kwnames), kwnames)


def expect(exc_type, message, call):
    def run():
        try:
            call()
        except exc_type as error:
            return str(error)
        raise AssertionError("no error")

    assert run() == message
    return run


# ---------------------------------------------------------------- flowsweep

M = fs.FlowsweepManager
one_shot = fs.clear_stream_redis_keys
mgr = M(None, None, {}, "k")

FS_BAD_CALLS = [
    (lambda: one_shot(), "clear_stream_redis_keys() takes at least 4 positional arguments (0 given)"),
    (lambda: one_shot(1, 2, 3, 4, 5, 6),
     "clear_stream_redis_keys() takes at most 5 positional arguments (6 given)"),
    (lambda: one_shot(1, 2, {}, "k", bogus=1),
     "clear_stream_redis_keys() got an unexpected keyword argument 'bogus'"),
    (lambda: one_shot(1, 2, {}, "k", redis_wrapper=1),
     "clear_stream_redis_keys() got multiple values for keyword argument 'redis_wrapper'"),
    (lambda: raw_vectorcall(one_shot, (1, 2, {}, "k", 3), (1,)),
     "clear_stream_redis_keys() keywords must be strings"),
    (lambda: one_shot(1, 2, [], "k"),
     "Argument 'node_config' has incorrect type (expected dict, got list)"),
    (lambda: one_shot(1, 2, {}, None),
     "Argument 'redis_out_key' has incorrect type (expected str, got NoneType)"),
    (lambda: one_shot(1, 2, {}, "k", True),
     "Argument 'max_ports' has incorrect type (expected int, got bool)"),
    (lambda: M(1, 2, {}), "__init__() takes exactly 5 positional arguments (4 given)"),
    (lambda: M(1, 2, {}, "k", 5), "__init__() takes exactly 5 positional arguments (6 given)"),
    (lambda: M(1, 2, None, "k"), "Argument 'node_config' has incorrect type (expected dict, got NoneType)"),
    (lambda: M(1, 2, {}, b"k"), "Argument 'redis_out_key' has incorrect type (expected str, got bytes)"),
    (lambda: M(1, 2, {}, "k", node_config={}),
     "__init__() got multiple values for keyword argument 'node_config'"),
    (lambda: M.reset_cleanup_flag(), "reset_cleanup_flag() takes exactly 1 positional argument (0 given)"),
    (lambda: mgr.reset_cleanup_flag(1), "reset_cleanup_flag() takes exactly 1 positional argument (2 given)"),
    (lambda: mgr.clear_stream_keys(1, 2), "clear_stream_keys() takes at most 2 positional arguments (3 given)"),
    (lambda: mgr.clear_stream_keys(max_ports=1.0),
     "Argument 'max_ports' has incorrect type (expected int, got float)"),
    (lambda: mgr.clear_stream_keys(ports=1), "clear_stream_keys() got an unexpected keyword argument 'ports'"),
    (lambda: mgr._discover_downstream_nodes({}),
     "_discover_downstream_nodes() takes exactly 3 positional arguments (2 given)"),
    (lambda: mgr._discover_downstream_nodes({}, frozenset()),
     "Argument 'visited' has incorrect type (expected set, got frozenset)"),
    (lambda: mgr._discover_downstream_nodes(node=[], visited=set()),
     "Argument 'node' has incorrect type (expected dict, got list)"),
    (lambda: mgr._collect_stream_redis_keys(1),
     "_collect_stream_redis_keys() takes exactly 1 positional argument (2 given)"),
    (lambda: raw_vectorcall(M.reset_cleanup_flag, (mgr, 2), ("self",)),
     "reset_cleanup_flag() got multiple values for keyword argument 'self'"),
]


@pytest.mark.parametrize("call, message", FS_BAD_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_flowsweep_bad_calls(call, message):
    leakcheck.assert_no_leak(expect(TypeError, message, call))


# The endless walks go 250,000 levels deep before they fail, so one call per
# round has to do (a leak on that path grows every round all the same). The
# walk over a made-up table unwinds the same way and only takes longer.
FS_SLOW = {"visited_cleared_always"}
FS_LOOPED = [s for s in fs_cases.ALL if s.__name__ != "endless_fresh_nodes"]


@pytest.mark.parametrize("scenario", FS_LOOPED, ids=lambda s: s.__name__)
def test_flowsweep_scenarios(scenario):
    loops = 1 if scenario.__name__ in FS_SLOW else leakcheck.LOOPS
    leakcheck.assert_no_leak(lambda: fs_cases.run(fs, scenario), loops=loops)


def test_flowsweep_failure_keeps_exception_state():
    """The handled exception is set and restored around the error line, here
    in a generator that runs inside a caller's except block."""

    def steps(manager):
        yield manager.clear_stream_keys()

    def run():
        wrapper = fs_cases.Wrapper(scan=lambda p: fs_cases._raise(RuntimeError("down")))
        gen = steps(M(wrapper, fs_cases.Flow({}), {"id": "a"}, "k"))
        try:
            raise ValueError("outer")
        except ValueError:
            assert next(gen) is False
        gen.close()

    fs.logger, saved = fs_cases.NullLogger(), fs.logger
    try:
        leakcheck.assert_no_leak(run)
    finally:
        fs.logger = saved


# ---------------------------------------------------------------- imports


def reimport(name, replaced):
    """Imports a fresh copy of module `name` while the modules in `replaced`
    (name -> stand-in module, or None to make the import fail) take the
    place of the real ones; everything is put back afterwards. Returns the
    error of the import, or None."""
    parent_name, _, child = name.rpartition(".")
    parent = sys.modules[parent_name]
    saved = {n: sys.modules.get(n) for n in [name, *replaced]}
    saved_attr = getattr(parent, child, None)
    try:
        del sys.modules[name]
        sys.modules.update(replaced)
        try:
            importlib.import_module(name)
        except Exception as error:  # noqa: BLE001 - the error is the result
            return error
        return None
    finally:
        for n, module in saved.items():
            if module is None:
                sys.modules.pop(n, None)
            else:
                sys.modules[n] = module
        setattr(parent, child, saved_attr)


def stand_in(name, **attrs):
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    return module


def raising(kind, text):
    def fn(*args, **kwargs):
        raise kind(text)

    return fn


FS_IMPORTS = [
    ({}, None),
    ({"nalo_sdk.logging": stand_in("nalo_sdk.logging")},
     "ImportError: cannot import name get_logger"),
    ({"nalo_sdk.logging": stand_in("nalo_sdk.logging", get_logger=raising(OSError, "no log sink"))},
     "OSError: no log sink"),
    ({"nalo_sdk.redis.utils": stand_in("nalo_sdk.redis.utils")},
     "ImportError: cannot import name gen_redis_key_local"),
    ({"nalo_sdk.redis.utils": None},
     "ModuleNotFoundError: import of nalo_sdk.redis.utils halted; None in sys.modules"),
    ({"typing": stand_in("typing", Any=1, Dict=2, Set=3)}, "ImportError: cannot import name List"),
]


@pytest.mark.parametrize("replaced, error", FS_IMPORTS, ids=lambda v: v if isinstance(v, str) else "")
def test_flowsweep_imports(replaced, error):
    def run():
        got = reimport("nalo_sdk.redis.flowsweep", replaced)
        assert (got and f"{type(got).__name__}: {got}") == error

    # Live blocks are no measure here: re-importing any module with
    # multi-phase initialisation, the standard library's own (_queue, array)
    # included, leaves a few blocks behind in the interpreter's import
    # machinery. References do not grow for them, and must not for ours.
    leakcheck.assert_no_leak(run, loops=10, check_blocks=False)


# ---------------------------------------------------------------- nms
# NumPy and OpenCV are Debian's release builds: their reference counting does
# not keep the debug interpreter's total, so the loops run the functions
# against stand-in `np` and `cv2` globals written in Python (the real ones
# are looped in the release interpreter, test_memory_loops.py).

std = nms.non_max_suppression_cv
per = nms.non_max_suppression_cv_per_class
B = [[0, 0, 1, 1]]

NMS_BAD_CALLS = [
    (lambda: std(B), "non_max_suppression_cv() takes at least 2 positional arguments (1 given)"),
    (lambda: std(B, [1], 1, 2, 3), "non_max_suppression_cv() takes at most 4 positional arguments (5 given)"),
    (lambda: std(B, [1], bogus=1), "non_max_suppression_cv() got an unexpected keyword argument 'bogus'"),
    (lambda: std(B, [1], boxes=B), "non_max_suppression_cv() got multiple values for keyword argument 'boxes'"),
    (lambda: raw_vectorcall(std, (B, [1], 0.5), (2,)), "non_max_suppression_cv() keywords must be strings"),
    (lambda: std((), [1]), "Argument 'boxes' has incorrect type (expected list, got tuple)"),
    (lambda: std(B, None), "Argument 'scores' has incorrect type (expected list, got NoneType)"),
    (lambda: std(None, None, "x"), "must be real number, not str"),
    (lambda: std(B, [1], 0.5, object()), "must be real number, not object"),
    (lambda: per(B, [1]), "non_max_suppression_cv_per_class() takes at least 3 positional arguments (2 given)"),
    (lambda: per(B, [1], [1], 1, 2, 3),
     "non_max_suppression_cv_per_class() takes at most 5 positional arguments (6 given)"),
    (lambda: per(B, [1], [1], ids=1),
     "non_max_suppression_cv_per_class() got an unexpected keyword argument 'ids'"),
    (lambda: per(B, [1], {1}), "Argument 'class_ids' has incorrect type (expected list, got set)"),
    (lambda: per(B, [1], [1], mqtt_cases.Hooks()), "must be real number, not Hooks"),
]


@pytest.mark.parametrize("call, message", NMS_BAD_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_nms_bad_calls(call, message):
    leakcheck.assert_no_leak(expect(TypeError, message, call))


@pytest.mark.parametrize("scenario", nms_cases.FAKE, ids=lambda s: s.__name__)
def test_nms_scenarios(scenario):
    leakcheck.assert_no_leak(lambda: nms_cases.run(nms, scenario), loops=10)


NMS_IMPORTS = [
    ({}, None),
    ({"cv2": None}, "ModuleNotFoundError: import of cv2 halted; None in sys.modules"),
    ({"numpy": None}, "ModuleNotFoundError: import of numpy halted; None in sys.modules"),
    ({"typing": stand_in("typing", List=1)}, "ImportError: cannot import name Union"),
]


@pytest.mark.parametrize("replaced, error", NMS_IMPORTS, ids=lambda v: v if isinstance(v, str) else "")
def test_nms_imports(replaced, error):
    def run():
        got = reimport("nalo_sdk.detection.nms", replaced)
        assert (got and f"{type(got).__name__}: {got}") == error

    leakcheck.assert_no_leak(run, loops=10, check_blocks=False)


# ---------------------------------------------------------------- mqtt

key = mqtt.gen_mqtt_key_local
payload = mqtt.meta_info_to_publish

MQTT_BAD_CALLS = [
    (lambda: key(), "gen_mqtt_key_local() takes exactly 1 positional argument (0 given)"),
    (lambda: key(1, 2), "gen_mqtt_key_local() takes exactly 1 positional argument (2 given)"),
    (lambda: key(1, node=1), "gen_mqtt_key_local() got an unexpected keyword argument 'node'"),
    (lambda: key(1, node_id=1), "gen_mqtt_key_local() got multiple values for keyword argument 'node_id'"),
    (lambda: raw_vectorcall(key, (1, 2), (b"node_id",)), "gen_mqtt_key_local() keywords must be strings"),
    (lambda: payload("n"), "meta_info_to_publish() takes at least 2 positional arguments (1 given)"),
    (lambda: payload(*range(9)), "meta_info_to_publish() takes at most 8 positional arguments (9 given)"),
    (lambda: payload("n", "i", ts=1), "meta_info_to_publish() got an unexpected keyword argument 'ts'"),
    (lambda: payload("n", "i", source_id=1),
     "meta_info_to_publish() got multiple values for keyword argument 'source_id'"),
    (lambda: payload("n", "i", infer_t=None), "type NoneType doesn't define __round__ method"),
]


@pytest.mark.parametrize("call, message", MQTT_BAD_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_mqtt_bad_calls(call, message):
    leakcheck.assert_no_leak(expect(TypeError, message, call))


@pytest.mark.parametrize("scenario", mqtt_cases.SCENARIOS, ids=lambda s: s.__name__)
def test_mqtt_scenarios(scenario):
    leakcheck.assert_no_leak(lambda: mqtt_cases.run(mqtt, scenario), loops=10)


def test_mqtt_fast_paths():
    """The paths that skip Python calls: the module's own clock, exact str
    and int texts, exact float and int rounding."""
    def run():
        key(12345)
        key("cam1")
        payload("name", "id", 2**70, [1], "n", "t", 0.123456, "info")
        payload("é", 7, -1, None, infer_t=12)

    leakcheck.assert_no_leak(run)


MQTT_IMPORTS = [
    ({}, None),
    ({"nalo_sdk.constants": stand_in("nalo_sdk.constants", NODE_ID=1, NODE_TYPE=2)},
     "ImportError: cannot import name PREFIX"),
    ({"nalo_sdk.constants": stand_in("nalo_sdk.constants", PREFIX=1, NODE_ID=1)},
     "ImportError: cannot import name NODE_TYPE"),
    ({"time": None}, "ModuleNotFoundError: import of time halted; None in sys.modules"),
]


@pytest.mark.parametrize("replaced, error", MQTT_IMPORTS, ids=lambda v: v if isinstance(v, str) else "")
def test_mqtt_imports(replaced, error):
    def run():
        got = reimport("nalo_sdk.mqtt.utils", replaced)
        assert (got and f"{type(got).__name__}: {got}") == error

    leakcheck.assert_no_leak(run, loops=10, check_blocks=False)
