"""The argument rule of the native callables, one table per module: calls
that must be refused with a TypeError, and the exact message of each. The
unit tests check the messages; the leak tests loop the same calls.

An entry is (callable path, args, kwargs, message). The path names an
attribute of the module; ``mgr.`` names a method of a fresh manager. kwargs
given as a tuple of names are passed through the vectorcall slot with
``args`` (the names taking the last values), as C code may pass them, so
that names that are not strings reach the binding.
"""

import collections
import ctypes

import numpy as np

BOX = [[0, 0, 1, 1]]
NOT_INTERNED = "".join(["max_", "ports"])  # a parameter name, but a different object


class Opaque:
    """A value of a type of the caller's, with no conversions at all."""


def raw_vectorcall(fn, args, kwnames):
    """Calls `fn` through its vectorcall slot, as C code may."""
    slot = ctypes.c_void_p.from_address(id(fn) + object.__basicsize__).value
    proto = ctypes.PYFUNCTYPE(
        ctypes.py_object,
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    )
    array = (ctypes.py_object * len(args))(*args)
    return proto(slot)(fn, array, len(args) - len(kwnames), kwnames)


def resolve(module, path):
    if path.startswith("mgr."):
        return getattr(module.FlowsweepManager(None, None, {}, "k"), path[4:])
    target = module
    for part in path.split("."):
        target = getattr(target, part)
    return target


def call(module, entry):
    """A function that makes the entry's call on `module`."""
    path, args, kwargs, _ = entry
    fn = resolve(module, path)
    if isinstance(kwargs, tuple):
        return lambda: raw_vectorcall(fn, args, kwargs)
    return lambda: fn(*args, **kwargs)


def ids(entry):
    return entry[3]


ONE_SHOT = "clear_stream_redis_keys"
MANAGER = "FlowsweepManager"

FLOWSWEEP = [
    (ONE_SHOT, (), {}, "clear_stream_redis_keys() takes at least 4 positional arguments (0 given)"),
    (
        ONE_SHOT,
        (1, 2, {}),
        {},
        "clear_stream_redis_keys() takes at least 4 positional arguments (3 given)",
    ),
    (
        ONE_SHOT,
        (1, 2, 3, 4, 5, 6),
        {},
        "clear_stream_redis_keys() takes at most 5 positional arguments (6 given)",
    ),
    # Too many positional arguments win over bad keywords.
    (
        ONE_SHOT,
        (1, 2, 3, 4, 5, 6),
        {"bogus": 1},
        "clear_stream_redis_keys() takes at most 5 positional arguments (6 given)",
    ),
    (
        ONE_SHOT,
        (1, 2, {}, "k"),
        {"bogus": 1},
        "clear_stream_redis_keys() got an unexpected keyword argument 'bogus'",
    ),
    (
        ONE_SHOT,
        (1, 2, {}, "k"),
        {"redis_wrapper": 1},
        "clear_stream_redis_keys() got multiple values for keyword argument 'redis_wrapper'",
    ),
    (ONE_SHOT, (1, 2, {}, "k", 3), (1,), "clear_stream_redis_keys() keywords must be strings"),
    (
        ONE_SHOT,
        (1, 2, {}, "k", 3, 4),
        ("max_ports", "max_ports"),
        "clear_stream_redis_keys() got multiple values for keyword argument 'max_ports'",
    ),
    (
        ONE_SHOT,
        (1, 2, {}, "k", 3, 4),
        ("max_ports", NOT_INTERNED),
        "clear_stream_redis_keys() got multiple values for keyword argument 'max_ports'",
    ),
    # Missing required parameters are found in parameter order; the count
    # given is the position of the first missing one...
    (
        ONE_SHOT,
        (),
        {"nodered_flow": 2},
        "clear_stream_redis_keys() takes at least 4 positional arguments (0 given)",
    ),
    (
        ONE_SHOT,
        (),
        {"redis_wrapper": 1, "nodered_flow": 2, "redis_out_key": "k"},
        "clear_stream_redis_keys() takes at least 4 positional arguments (2 given)",
    ),
    # ...a missing required parameter is reported before a bad keyword...
    (
        ONE_SHOT,
        (),
        {"redis_wrapper": 1, "bogus": 2},
        "clear_stream_redis_keys() takes at least 4 positional arguments (1 given)",
    ),
    # ...and bad keywords before the type tests, which run in declared order.
    (
        ONE_SHOT,
        (),
        {"redis_wrapper": 1, "nodered_flow": 2, "node_config": [], "redis_out_key": None, "x": 1},
        "clear_stream_redis_keys() got an unexpected keyword argument 'x'",
    ),
    (
        ONE_SHOT,
        (None, None, None, None),
        {"max_ports": None},
        "Argument 'node_config' has incorrect type (expected dict, got NoneType)",
    ),
    (
        ONE_SHOT,
        (None, None, {}, None),
        {"max_ports": None},
        "Argument 'redis_out_key' has incorrect type (expected str, got NoneType)",
    ),
    (
        ONE_SHOT,
        (1, 2, [], "k"),
        {},
        "Argument 'node_config' has incorrect type (expected dict, got list)",
    ),
    (
        ONE_SHOT,
        (1, 2, {}, "k", True),
        {},
        "Argument 'max_ports' has incorrect type (expected int, got bool)",
    ),
    (MANAGER, (1, 2, {}), {}, "__init__() takes exactly 5 positional arguments (4 given)"),
    (MANAGER, (1, 2, {}, "k", 5), {}, "__init__() takes exactly 5 positional arguments (6 given)"),
    (
        MANAGER,
        (1, 2, None, "k"),
        {},
        "Argument 'node_config' has incorrect type (expected dict, got NoneType)",
    ),
    (
        MANAGER,
        (1, 2, {}, b"k"),
        {},
        "Argument 'redis_out_key' has incorrect type (expected str, got bytes)",
    ),
    (
        MANAGER,
        (1, 2, collections.OrderedDict(), "k"),
        {},
        "Argument 'node_config' has incorrect type (expected dict, got collections.OrderedDict)",
    ),
    (
        MANAGER,
        (1, 2, {}, type("S", (str,), {})("k")),
        {},
        "Argument 'redis_out_key' has incorrect type (expected str, got S)",
    ),
    (
        MANAGER,
        (1, 2, None, None),
        {},
        "Argument 'node_config' has incorrect type (expected dict, got NoneType)",
    ),
    (
        MANAGER,
        (1, 2, {}, "k"),
        {"node_config": {}},
        "__init__() got multiple values for keyword argument 'node_config'",
    ),
    (
        MANAGER + ".reset_cleanup_flag",
        (),
        {},
        "reset_cleanup_flag() takes exactly 1 positional argument (0 given)",
    ),
    (
        MANAGER + ".reset_cleanup_flag",
        (None, 2),
        ("self",),
        "reset_cleanup_flag() got multiple values for keyword argument 'self'",
    ),
    (
        "mgr.reset_cleanup_flag",
        (1,),
        {},
        "reset_cleanup_flag() takes exactly 1 positional argument (2 given)",
    ),
    (
        "mgr.clear_stream_keys",
        (1, 2),
        {},
        "clear_stream_keys() takes at most 2 positional arguments (3 given)",
    ),
    (
        "mgr.clear_stream_keys",
        (),
        {"max_ports": 1.0},
        "Argument 'max_ports' has incorrect type (expected int, got float)",
    ),
    (
        "mgr.clear_stream_keys",
        (),
        {"ports": 1},
        "clear_stream_keys() got an unexpected keyword argument 'ports'",
    ),
    (
        "mgr._discover_downstream_nodes",
        ({},),
        {},
        "_discover_downstream_nodes() takes exactly 3 positional arguments (2 given)",
    ),
    (
        "mgr._discover_downstream_nodes",
        ({}, frozenset()),
        {},
        "Argument 'visited' has incorrect type (expected set, got frozenset)",
    ),
    (
        "mgr._discover_downstream_nodes",
        (),
        {"node": [], "visited": set()},
        "Argument 'node' has incorrect type (expected dict, got list)",
    ),
    (
        "mgr._discover_downstream_nodes",
        ([], []),
        {},
        "Argument 'node' has incorrect type (expected dict, got list)",
    ),
    (
        "mgr._discover_downstream_nodes",
        (None, set()),
        {},
        "Argument 'node' has incorrect type (expected dict, got NoneType)",
    ),
    (
        "mgr._discover_downstream_nodes",
        (collections.OrderedDict(), set()),
        {},
        "Argument 'node' has incorrect type (expected dict, got collections.OrderedDict)",
    ),
    (
        "mgr._collect_stream_redis_keys",
        (1,),
        {},
        "_collect_stream_redis_keys() takes exactly 1 positional argument (2 given)",
    ),
]

STD = "non_max_suppression_cv"
PER = "non_max_suppression_cv_per_class"

NMS = [
    (STD, (BOX,), {}, "non_max_suppression_cv() takes at least 2 positional arguments (1 given)"),
    (
        STD,
        (BOX, [1], 1, 2, 3),
        {},
        "non_max_suppression_cv() takes at most 4 positional arguments (5 given)",
    ),
    (
        STD,
        (BOX, [1]),
        {"bogus": 1},
        "non_max_suppression_cv() got an unexpected keyword argument 'bogus'",
    ),
    (
        STD,
        (BOX, [0.9]),
        {"nms_threshold": 0.5},
        "non_max_suppression_cv() got an unexpected keyword argument 'nms_threshold'",
    ),
    (
        STD,
        (BOX, [1]),
        {"boxes": BOX},
        "non_max_suppression_cv() got multiple values for keyword argument 'boxes'",
    ),
    (STD, (BOX, [1], 0.5), (2,), "non_max_suppression_cv() keywords must be strings"),
    # Thresholds are converted before any list is tested...
    (STD, ((1, 2), [0.9], "0.5"), {}, "must be real number, not str"),
    (STD, (None, None, "x"), {}, "must be real number, not str"),
    (
        STD,
        (None, None),
        {"score_threshold": None, "iou_threshold": "x"},
        "must be real number, not NoneType",
    ),
    (STD, (BOX, [0.9], 0.5, []), {}, "must be real number, not list"),
    (STD, (BOX, [1], 0.5, object()), {}, "must be real number, not object"),
    # ...then boxes, scores, class_ids, in that order.
    (STD, ((1,), (0.9,)), {}, "Argument 'boxes' has incorrect type (expected list, got tuple)"),
    (STD, ((), [1]), {}, "Argument 'boxes' has incorrect type (expected list, got tuple)"),
    (STD, (None, [0.9]), {}, "Argument 'boxes' has incorrect type (expected list, got NoneType)"),
    (
        STD,
        (np.zeros((1, 4)), [0.9]),
        {},
        "Argument 'boxes' has incorrect type (expected list, got numpy.ndarray)",
    ),
    (STD, ([], (0.9,)), {}, "Argument 'scores' has incorrect type (expected list, got tuple)"),
    (STD, (BOX, None), {}, "Argument 'scores' has incorrect type (expected list, got NoneType)"),
    (
        STD,
        (type("Boxes", (list,), {})(BOX), [0.9]),
        {},
        "Argument 'boxes' has incorrect type (expected list, got Boxes)",
    ),
    (
        PER,
        (BOX, [1]),
        {},
        "non_max_suppression_cv_per_class() takes at least 3 positional arguments (2 given)",
    ),
    (
        PER,
        (BOX, [1], [1], 1, 2, 3),
        {},
        "non_max_suppression_cv_per_class() takes at most 5 positional arguments (6 given)",
    ),
    (
        PER,
        (BOX, [1], [1]),
        {"ids": 1},
        "non_max_suppression_cv_per_class() got an unexpected keyword argument 'ids'",
    ),
    (PER, ((), (), (), 0.5, "x"), {}, "must be real number, not str"),
    (PER, (BOX, [1], [1], Opaque()), {}, "must be real number, not Opaque"),
    (
        PER,
        (BOX, None, None),
        {},
        "Argument 'scores' has incorrect type (expected list, got NoneType)",
    ),
    (PER, ([], [], (1,)), {}, "Argument 'class_ids' has incorrect type (expected list, got tuple)"),
    (PER, (BOX, [1], {1}), {}, "Argument 'class_ids' has incorrect type (expected list, got set)"),
]

KEY = "gen_mqtt_key_local"
PAYLOAD = "meta_info_to_publish"

MQTT = [
    (KEY, (), {}, "gen_mqtt_key_local() takes exactly 1 positional argument (0 given)"),
    (KEY, (1, 2), {}, "gen_mqtt_key_local() takes exactly 1 positional argument (2 given)"),
    (KEY, (1,), {"node": 1}, "gen_mqtt_key_local() got an unexpected keyword argument 'node'"),
    (
        KEY,
        (1,),
        {"node_id": 1},
        "gen_mqtt_key_local() got multiple values for keyword argument 'node_id'",
    ),
    (KEY, (1, 2), (b"node_id",), "gen_mqtt_key_local() keywords must be strings"),
    (PAYLOAD, ("n",), {}, "meta_info_to_publish() takes at least 2 positional arguments (1 given)"),
    (
        PAYLOAD,
        (),
        {"source_id": "s"},
        "meta_info_to_publish() takes at least 2 positional arguments (0 given)",
    ),
    (
        PAYLOAD,
        tuple(range(9)),
        {},
        "meta_info_to_publish() takes at most 8 positional arguments (9 given)",
    ),
    (
        PAYLOAD,
        ("n", "i"),
        {"ts": 1},
        "meta_info_to_publish() got an unexpected keyword argument 'ts'",
    ),
    (
        PAYLOAD,
        ("n", "i"),
        {"source_id": 1},
        "meta_info_to_publish() got multiple values for keyword argument 'source_id'",
    ),
    (
        PAYLOAD,
        ("n", "i"),
        {"source_name": "c"},
        "meta_info_to_publish() got multiple values for keyword argument 'source_name'",
    ),
    (PAYLOAD, ("n", "i", 1), (1,), "meta_info_to_publish() keywords must be strings"),
    (PAYLOAD, ("a", "b"), {1: 2}, "keywords must be strings"),
    (PAYLOAD, ("n", "i"), {"infer_t": None}, "type NoneType doesn't define __round__ method"),
]
