import inspect

import pytest

import bad_calls
import nalo_sdk.detection.nms as nms
import nalo_sdk.mqtt.utils as mqtt
import nalo_sdk.redis.flowsweep as fs
from fakes import FakeWrapper

M = fs.FlowsweepManager
one_shot = fs.clear_stream_redis_keys


@pytest.mark.parametrize(
    "module, entry",
    [
        (module, entry)
        for module, table in (
            (fs, bad_calls.FLOWSWEEP),
            (nms, bad_calls.NMS),
            (mqtt, bad_calls.MQTT),
        )
        for entry in table
    ],
    ids=lambda v: v[3] if isinstance(v, tuple) else v.__name__.rpartition(".")[2],
)
def test_argument_rule_messages(module, entry):
    with pytest.raises(TypeError) as err:
        bad_calls.call(module, entry)()
    assert str(err.value) == entry[3]


def test_keywords_match_by_value_and_in_any_order():
    wrapper = FakeWrapper()
    assert (
        one_shot(
            redis_out_key="k",
            node_config={},
            **{bad_calls.NOT_INTERNED: 3},
            nodered_flow=None,
            redis_wrapper=wrapper,
        )
        is True
    )
    assert wrapper.deletes == [["k"]]


@pytest.mark.parametrize(
    "fn, text",
    [
        (
            one_shot,
            "(redis_wrapper: 'Any', nodered_flow: 'Any', node_config: 'Dict[str, Any]', "
            "redis_out_key: 'str', max_ports: 'int' = 10) -> 'bool'",
        ),
        (
            M.__init__,
            "(self, redis_wrapper: 'Any', nodered_flow: 'Any', "
            "node_config: 'Dict[str, Any]', redis_out_key: 'str')",
        ),
        (
            M._discover_downstream_nodes,
            "(self, node: 'Dict[str, Any]', visited: 'Set[str]') -> 'List[Dict[str, Any]]'",
        ),
        (M._collect_stream_redis_keys, "(self) -> 'List[str]'"),
        (M.clear_stream_keys, "(self, max_ports: 'int' = 10) -> 'bool'"),
        (M.reset_cleanup_flag, "(self) -> 'None'"),
        (M(1, 2, {}, "k").clear_stream_keys, "(max_ports: 'int' = 10) -> 'bool'"),
        (
            M,
            "(redis_wrapper: 'Any', nodered_flow: 'Any', node_config: 'Dict[str, Any]', "
            "redis_out_key: 'str')",
        ),
    ],
)
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text


def test_function_attributes():
    fn = M.clear_stream_keys
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (
        "clear_stream_keys",
        "FlowsweepManager.clear_stream_keys",
        "nalo_sdk.redis.flowsweep",
    )
    assert fn.__defaults__ == (10,) and one_shot.__defaults__ == (10,)
    assert M.__init__.__defaults__ is None and fn.__kwdefaults__ is None
    assert list(M.__init__.__annotations__) == [
        "redis_wrapper",
        "nodered_flow",
        "node_config",
        "redis_out_key",
    ]
    assert M.reset_cleanup_flag.__annotations__ == {"return": "None"}
    assert list(one_shot.__annotations__.values()) == (
        ["Any", "Any", "Dict[str, Any]", "str", "int", "bool"]
    )
    code = one_shot.__code__
    assert code.co_argcount == 5 and code.co_kwonlyargcount == 0
    assert code.co_varnames[5:] == ("manager",)
    assert M.clear_stream_keys.__code__.co_varnames == (
        "self",
        "max_ports",
        "redis_keys",
        "deleted",
        "e",
    )
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
    assert vars(sub) == {
        "redis_wrapper": 1,
        "nodered_flow": 2,
        "node_config": {},
        "redis_out_key": "k",
        "_keys_cleared": False,
        "extra": True,
    }
