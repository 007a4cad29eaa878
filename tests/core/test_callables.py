"""The native callables behave like Python functions: signatures,
attributes, binding, and the argument rule with its exact messages."""

import ctypes
import inspect

import pytest

import nalo_sdk.redis.flowsweep as fs

M = fs.FlowsweepManager
one_shot = fs.clear_stream_redis_keys
NAME = "".join(["max_", "ports"])  # equal to the parameter name, but not interned


def message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as err:
        fn(*args, **kwargs)
    return str(err.value)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: one_shot(), "clear_stream_redis_keys() takes at least 4 positional arguments (0 given)"),
        (lambda: one_shot(1, 2, {}), "clear_stream_redis_keys() takes at least 4 positional arguments (3 given)"),
        (lambda: one_shot(1, 2, 3, 4, 5, 6), "clear_stream_redis_keys() takes at most 5 positional arguments (6 given)"),
        (lambda: M(1, 2, {}), "__init__() takes exactly 5 positional arguments (4 given)"),
        (lambda: M(1, 2, {}, "k", 5), "__init__() takes exactly 5 positional arguments (6 given)"),
        (lambda: M.reset_cleanup_flag(), "reset_cleanup_flag() takes exactly 1 positional argument (0 given)"),
        (lambda: M(1, 2, {}, "k").reset_cleanup_flag(1), "reset_cleanup_flag() takes exactly 1 positional argument (2 given)"),
        (lambda: M(1, 2, {}, "k").clear_stream_keys(1, 2), "clear_stream_keys() takes at most 2 positional arguments (3 given)"),
        (lambda: M(1, 2, {}, "k")._discover_downstream_nodes({}), "_discover_downstream_nodes() takes exactly 3 positional arguments (2 given)"),
        (lambda: one_shot(1, 2, {}, "k", bogus=1), "clear_stream_redis_keys() got an unexpected keyword argument 'bogus'"),
        (lambda: one_shot(1, 2, {}, "k", redis_wrapper=1), "clear_stream_redis_keys() got multiple values for keyword argument 'redis_wrapper'"),
        (lambda: one_shot(1, 2, [], "k"), "Argument 'node_config' has incorrect type (expected dict, got list)"),
    ],
)
def test_message_table(call, expected):
    assert message(call) == expected


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        # Missing required parameters are found in parameter order; the
        # count given is the position of the first missing one.
        ({"nodered_flow": 2}, "takes at least 4 positional arguments (0 given)"),
        ({"redis_wrapper": 1, "nodered_flow": 2, "redis_out_key": "k"},
         "takes at least 4 positional arguments (2 given)"),
        # A missing required parameter is reported before a bad keyword...
        ({"redis_wrapper": 1, "bogus": 2}, "takes at least 4 positional arguments (1 given)"),
        # ...and bad keywords before the type tests.
        ({"redis_wrapper": 1, "nodered_flow": 2, "node_config": [], "redis_out_key": None,
          "x": 1}, "got an unexpected keyword argument 'x'"),
    ],
)
def test_order_of_checks(kwargs, expected):
    assert message(one_shot, **kwargs) == "clear_stream_redis_keys() " + expected


def test_too_many_positional_wins_over_keywords():
    assert message(one_shot, 1, 2, 3, 4, 5, 6, bogus=1) == (
        "clear_stream_redis_keys() takes at most 5 positional arguments (6 given)"
    )


def test_type_tests_run_in_declared_order_after_binding():
    assert message(one_shot, None, None, None, None, max_ports=None) == (
        "Argument 'node_config' has incorrect type (expected dict, got NoneType)"
    )
    assert message(one_shot, None, None, {}, None, max_ports=None) == (
        "Argument 'redis_out_key' has incorrect type (expected str, got NoneType)"
    )


def test_keywords_match_by_value_and_in_any_order():
    calls = []

    class Wrapper:
        def scan_keys(self, *, pattern):
            return []

        def delete_many(self, keys):
            calls.append(keys)
            return 0

    assert one_shot(redis_out_key="k", node_config={}, **{NAME: 3}, nodered_flow=None,
                    redis_wrapper=Wrapper()) is True
    assert calls == [["k"]]


def raw_vectorcall(fn, args, kwnames):
    """Calls `fn` through its vectorcall slot, as C code may, so that keyword
    names that are not strings reach the binding."""
    slot = ctypes.c_void_p.from_address(id(fn) + object.__basicsize__).value
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                             ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object)
    array = (ctypes.py_object * len(args))(*args)
    return proto(slot)(fn, array, len(args) - len(kwnames), kwnames)


def test_keyword_names_that_are_not_strings():
    with pytest.raises(TypeError, match=r"^clear_stream_redis_keys\(\) keywords must be strings$"):
        raw_vectorcall(one_shot, (1, 2, {}, "k", 3), (1,))
    with pytest.raises(TypeError, match="multiple values for keyword argument 'max_ports'"):
        raw_vectorcall(one_shot, (1, 2, {}, "k", 3, 4), ("max_ports", "max_ports"))


@pytest.mark.parametrize(
    "fn, text",
    [
        (one_shot, "(redis_wrapper: 'Any', nodered_flow: 'Any', node_config: 'Dict[str, Any]', "
                   "redis_out_key: 'str', max_ports: 'int' = 10) -> 'bool'"),
        (M.__init__, "(self, redis_wrapper: 'Any', nodered_flow: 'Any', "
                     "node_config: 'Dict[str, Any]', redis_out_key: 'str')"),
        (M._discover_downstream_nodes,
         "(self, node: 'Dict[str, Any]', visited: 'Set[str]') -> 'List[Dict[str, Any]]'"),
        (M._collect_stream_redis_keys, "(self) -> 'List[str]'"),
        (M.clear_stream_keys, "(self, max_ports: 'int' = 10) -> 'bool'"),
        (M.reset_cleanup_flag, "(self) -> 'None'"),
        (M(1, 2, {}, "k").clear_stream_keys, "(max_ports: 'int' = 10) -> 'bool'"),
        (M, "(redis_wrapper: 'Any', nodered_flow: 'Any', node_config: 'Dict[str, Any]', "
            "redis_out_key: 'str')"),
    ],
)
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text


def test_function_attributes():
    fn = M.clear_stream_keys
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (
        "clear_stream_keys", "FlowsweepManager.clear_stream_keys", "nalo_sdk.redis.flowsweep")
    assert fn.__defaults__ == (10,) and one_shot.__defaults__ == (10,)
    assert M.__init__.__defaults__ is None and fn.__kwdefaults__ is None
    assert list(M.__init__.__annotations__) == [
        "redis_wrapper", "nodered_flow", "node_config", "redis_out_key"]
    assert M.reset_cleanup_flag.__annotations__ == {"return": "None"}
    assert list(one_shot.__annotations__.values()) == [
        "Any", "Any", "Dict[str, Any]", "str", "int", "bool"]
    code = one_shot.__code__
    assert code.co_argcount == 5 and code.co_kwonlyargcount == 0
    assert code.co_varnames[5:] == ("manager",)
    assert M.clear_stream_keys.__code__.co_varnames == (
        "self", "max_ports", "redis_keys", "deleted", "e")
    assert fn.__globals__ is vars(fs)
    assert repr(fn).startswith("<function FlowsweepManager.clear_stream_keys at 0x")
    assert inspect.isroutine(fn) and callable(fn)


def test_writable_attributes_like_a_function():
    fn = M.reset_cleanup_flag
    fn.extra = 1
    assert fn.__dict__ == {"extra": 1}
    del fn.extra
    with pytest.raises(TypeError):
        fn.__name__ = 3
    with pytest.raises(AttributeError):
        fn.__defaults__ = (1,)


def test_binding_like_a_python_function():
    mgr = M(1, 2, {}, "k")
    assert M.__dict__["reset_cleanup_flag"].__get__(None, M) is M.reset_cleanup_flag
    bound = mgr.reset_cleanup_flag
    assert bound.__self__ is mgr and bound.__func__ is M.reset_cleanup_flag
    assert mgr.reset_cleanup_flag == bound


def test_class_is_an_ordinary_subclassable_python_class():
    class Sub(M):
        def __init__(self, *args):
            super().__init__(*args)
            self.extra = True

    sub = Sub(1, 2, {}, "k")
    assert type(M) is type and M.__bases__ == (object,)
    assert vars(sub) == {"redis_wrapper": 1, "nodered_flow": 2, "node_config": {},
                         "redis_out_key": "k", "_keys_cleared": False, "extra": True}
