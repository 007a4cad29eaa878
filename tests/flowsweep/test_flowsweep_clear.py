import pytest

from fakes import FakeFlow, FakeWrapper, raising, records

WIRING = {"cam1": [["det2"]], "det2": [["det3"]], "det3": []}
KEYS = ["redis_cam1_0", "redis_det2_0", "redis_det2_1", "redis_det3_0", "redis_cam11_0", "x"]


def make(fs, **wrapper_kw):
    nodes = records(WIRING)
    wrapper = FakeWrapper(KEYS, **wrapper_kw)
    return fs.FlowsweepManager(wrapper, FakeFlow(nodes), nodes["cam1"], "redis_cam1_0"), wrapper


def test_delete_many_gets_the_collected_list_itself(fs, log):
    lists = []

    class Sub(fs.FlowsweepManager):
        def _collect_stream_redis_keys(self):
            lists.append(["a", "b"])
            return lists[-1]

    wrapper = FakeWrapper(delete=lambda keys: 0)
    assert Sub(wrapper, None, {}, "k").clear_stream_keys() is True
    assert wrapper.deletes[0] is lists[0]
    assert log.lines[-1] == ("info", "Stream cleanup complete: 0/2 keys deleted")


def test_key_error_is_shown_as_its_repr(fs, log):
    class Sub(fs.FlowsweepManager):
        def _collect_stream_redis_keys(self):
            return {}["missing"]

    assert Sub(None, None, {}, "k").clear_stream_keys() is False
    assert log.lines[-1] == ("error", "Failed to clear Redis keys: 'missing'")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_exceptions_outside_exception_are_not_caught(fs, log, exc):
    mgr, _ = make(fs, delete=raising(exc))
    with pytest.raises(exc):
        mgr.clear_stream_keys()
    assert mgr._keys_cleared is False
    assert log.messages("error") == []


@pytest.mark.parametrize("value, name", [(True, "bool"), (None, "NoneType"), (1.0, "float")])
def test_max_ports_is_an_exact_int_tested_before_any_line(fs, log, value, name):
    mgr, _ = make(fs)
    with pytest.raises(TypeError) as err:
        mgr.clear_stream_keys(max_ports=value)
    assert str(err.value) == f"Argument 'max_ports' has incorrect type (expected int, got {name})"
    assert log.lines == []


def test_one_shot_uses_the_module_globals_at_call_time(fs, log, monkeypatch):
    calls = []

    class Manager:
        def __init__(self, **kw):
            calls.append(list(kw))

        def clear_stream_keys(self, **kw):
            calls.append(kw)
            return "result"

    monkeypatch.setattr(fs, "FlowsweepManager", Manager)
    assert fs.clear_stream_redis_keys(1, 2, {}, "k", 5) == "result"
    assert calls == [
        ["redis_wrapper", "nodered_flow", "node_config", "redis_out_key"],
        {"max_ports": 5},
    ]
    monkeypatch.delattr(fs, "FlowsweepManager")
    with pytest.raises(NameError, match="^name 'FlowsweepManager' is not defined$"):
        fs.clear_stream_redis_keys(1, 2, {}, "k")


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ({}.__class__.__new__(type("D", (dict,), {})), "k"),
            "Argument 'node_config' has incorrect type (expected dict, got D)",
        ),
        (({}, None), "Argument 'redis_out_key' has incorrect type (expected str, got NoneType)"),
        (([], None), "Argument 'node_config' has incorrect type (expected dict, got list)"),
    ],
)
def test_one_shot_type_tests_build_no_manager(fs, log, monkeypatch, args, message):
    monkeypatch.setattr(fs, "FlowsweepManager", None)
    with pytest.raises(TypeError) as err:
        fs.clear_stream_redis_keys(None, None, *args)
    assert str(err.value) == message
