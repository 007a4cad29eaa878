import ctypes
from collections import OrderedDict

import numpy as np

BOX = [[0, 0, 1, 1]]
NOT_INTERNED = "".join(["max_", "ports"])  # a parameter name, but a different object


class Opaque:
    pass


def raw_vectorcall(fn, args, kwnames):
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
    path, args, kwargs, _ = entry
    fn = resolve(module, path)
    if isinstance(kwargs, tuple):
        return lambda: raw_vectorcall(fn, args, kwargs)
    return lambda: fn(*args, **kwargs)


def ids(entry):
    return entry[3]


# The type each argument must have, as the type tests name it.
EXPECTED = {"node_config": "dict", "redis_out_key": "str", "max_ports": "int", "node": "dict"}
EXPECTED.update(visited="set", boxes="list", scores="list", class_ids="list")


def takes(bound, n, given):
    return f"{{fn}}() takes {bound} {n} positional argument{'s' * (n != 1)} ({given} given)"


def least(n, given):
    return takes("at least", n, given)


def most(n, given):
    return takes("at most", n, given)


def exactly(n, given):
    return takes("exactly", n, given)


def unexpected(name):
    return f"{{fn}}() got an unexpected keyword argument '{name}'"


def twice(name):
    return f"{{fn}}() got multiple values for keyword argument '{name}'"


NOT_STR = "{fn}() keywords must be strings"


def wrong(arg, got):
    return f"Argument '{arg}' has incorrect type (expected {EXPECTED[arg]}, got {got})"


def real(got):
    return f"must be real number, not {got}"


def table(rows):
    out = []
    for path, args, kwargs, message in rows:
        name = "__init__" if path == MANAGER else path.rpartition(".")[2]
        out.append((path, args, kwargs, message.replace("{fn}", name)))
    return out


ONE_SHOT = "clear_stream_redis_keys"
MANAGER = "FlowsweepManager"
RESET = MANAGER + ".reset_cleanup_flag"
CLEAR = "mgr.clear_stream_keys"
DISCOVER = "mgr._discover_downstream_nodes"
NAMED = dict(redis_wrapper=1, nodered_flow=2, node_config=[], redis_out_key=None)

FLOWSWEEP = table(
    [
        (ONE_SHOT, (), {}, least(4, 0)),
        (ONE_SHOT, (1, 2, {}), {}, least(4, 3)),
        (ONE_SHOT, (1, 2, 3, 4, 5, 6), {}, most(5, 6)),
        # Too many positional arguments win over bad keywords.
        (ONE_SHOT, (1, 2, 3, 4, 5, 6), {"bogus": 1}, most(5, 6)),
        (ONE_SHOT, (1, 2, {}, "k"), {"bogus": 1}, unexpected("bogus")),
        (ONE_SHOT, (1, 2, {}, "k"), {"redis_wrapper": 1}, twice("redis_wrapper")),
        (ONE_SHOT, (1, 2, {}, "k", 3), (1,), NOT_STR),
        (ONE_SHOT, (1, 2, {}, "k", 3, 4), ("max_ports", "max_ports"), twice("max_ports")),
        (ONE_SHOT, (1, 2, {}, "k", 3, 4), ("max_ports", NOT_INTERNED), twice("max_ports")),
        # Missing required parameters are found in parameter order; the count
        # given is the position of the first missing one...
        (ONE_SHOT, (), {"nodered_flow": 2}, least(4, 0)),
        (ONE_SHOT, (), {"redis_wrapper": 1, "nodered_flow": 2, "redis_out_key": "k"}, least(4, 2)),
        # ...a missing required parameter is reported before a bad keyword...
        (ONE_SHOT, (), {"redis_wrapper": 1, "bogus": 2}, least(4, 1)),
        # ...and bad keywords before the type tests, which run in declared order.
        (ONE_SHOT, (), {**NAMED, "x": 1}, unexpected("x")),
        (ONE_SHOT, (None, None, None, None), {"max_ports": None}, wrong("node_config", "NoneType")),
        (ONE_SHOT, (None, None, {}, None), {"max_ports": None}, wrong("redis_out_key", "NoneType")),
        (ONE_SHOT, (1, 2, [], "k"), {}, wrong("node_config", "list")),
        (ONE_SHOT, (1, 2, {}, "k", True), {}, wrong("max_ports", "bool")),
        (MANAGER, (1, 2, {}), {}, exactly(5, 4)),
        (MANAGER, (1, 2, {}, "k", 5), {}, exactly(5, 6)),
        (MANAGER, (1, 2, None, "k"), {}, wrong("node_config", "NoneType")),
        (MANAGER, (1, 2, {}, b"k"), {}, wrong("redis_out_key", "bytes")),
        (MANAGER, (1, 2, OrderedDict(), "k"), {}, wrong("node_config", "collections.OrderedDict")),
        (MANAGER, (1, 2, {}, type("S", (str,), {})("k")), {}, wrong("redis_out_key", "S")),
        (MANAGER, (1, 2, None, None), {}, wrong("node_config", "NoneType")),
        (MANAGER, (1, 2, {}, "k"), {"node_config": {}}, twice("node_config")),
        (RESET, (), {}, exactly(1, 0)),
        (RESET, (None, 2), ("self",), twice("self")),
        ("mgr.reset_cleanup_flag", (1,), {}, exactly(1, 2)),
        (CLEAR, (1, 2), {}, most(2, 3)),
        (CLEAR, (), {"max_ports": 1.0}, wrong("max_ports", "float")),
        (CLEAR, (), {"ports": 1}, unexpected("ports")),
        (DISCOVER, ({},), {}, exactly(3, 2)),
        (DISCOVER, ({}, frozenset()), {}, wrong("visited", "frozenset")),
        (DISCOVER, (), {"node": [], "visited": set()}, wrong("node", "list")),
        (DISCOVER, ([], []), {}, wrong("node", "list")),
        (DISCOVER, (None, set()), {}, wrong("node", "NoneType")),
        (DISCOVER, (OrderedDict(), set()), {}, wrong("node", "collections.OrderedDict")),
        ("mgr._collect_stream_redis_keys", (1,), {}, exactly(1, 2)),
    ]
)

STD = "non_max_suppression_cv"
PER = "non_max_suppression_cv_per_class"

NMS = table(
    [
        (STD, (BOX,), {}, least(2, 1)),
        (STD, (BOX, [1], 1, 2, 3), {}, most(4, 5)),
        (STD, (BOX, [1]), {"bogus": 1}, unexpected("bogus")),
        (STD, (BOX, [0.9]), {"nms_threshold": 0.5}, unexpected("nms_threshold")),
        (STD, (BOX, [1]), {"boxes": BOX}, twice("boxes")),
        (STD, (BOX, [1], 0.5), (2,), NOT_STR),
        # Thresholds are converted before any list is tested...
        (STD, ((1, 2), [0.9], "0.5"), {}, real("str")),
        (STD, (None, None, "x"), {}, real("str")),
        (STD, (None, None), {"score_threshold": None, "iou_threshold": "x"}, real("NoneType")),
        (STD, (BOX, [0.9], 0.5, []), {}, real("list")),
        (STD, (BOX, [1], 0.5, object()), {}, real("object")),
        # ...then boxes, scores, class_ids, in that order.
        (STD, ((1,), (0.9,)), {}, wrong("boxes", "tuple")),
        (STD, ((), [1]), {}, wrong("boxes", "tuple")),
        (STD, (None, [0.9]), {}, wrong("boxes", "NoneType")),
        (STD, (np.zeros((1, 4)), [0.9]), {}, wrong("boxes", "numpy.ndarray")),
        (STD, ([], (0.9,)), {}, wrong("scores", "tuple")),
        (STD, (BOX, None), {}, wrong("scores", "NoneType")),
        (STD, (type("Boxes", (list,), {})(BOX), [0.9]), {}, wrong("boxes", "Boxes")),
        (PER, (BOX, [1]), {}, least(3, 2)),
        (PER, (BOX, [1], [1], 1, 2, 3), {}, most(5, 6)),
        (PER, (BOX, [1], [1]), {"ids": 1}, unexpected("ids")),
        (PER, ((), (), (), 0.5, "x"), {}, real("str")),
        (PER, (BOX, [1], [1], Opaque()), {}, real("Opaque")),
        (PER, (BOX, None, None), {}, wrong("scores", "NoneType")),
        (PER, ([], [], (1,)), {}, wrong("class_ids", "tuple")),
        (PER, (BOX, [1], {1}), {}, wrong("class_ids", "set")),
    ]
)

KEY = "gen_mqtt_key_local"
PAYLOAD = "meta_info_to_publish"

MQTT = table(
    [
        (KEY, (), {}, exactly(1, 0)),
        (KEY, (1, 2), {}, exactly(1, 2)),
        (KEY, (1,), {"node": 1}, unexpected("node")),
        (KEY, (1,), {"node_id": 1}, twice("node_id")),
        (KEY, (1, 2), (b"node_id",), NOT_STR),
        (PAYLOAD, ("n",), {}, least(2, 1)),
        (PAYLOAD, (), {"source_id": "s"}, least(2, 0)),
        (PAYLOAD, tuple(range(9)), {}, most(8, 9)),
        (PAYLOAD, ("n", "i"), {"ts": 1}, unexpected("ts")),
        (PAYLOAD, ("n", "i"), {"source_id": 1}, twice("source_id")),
        (PAYLOAD, ("n", "i"), {"source_name": "c"}, twice("source_name")),
        (PAYLOAD, ("n", "i", 1), (1,), NOT_STR),
        (PAYLOAD, ("a", "b"), {1: 2}, "keywords must be strings"),
        (PAYLOAD, ("n", "i"), {"infer_t": None}, "type NoneType doesn't define __round__ method"),
    ]
)
