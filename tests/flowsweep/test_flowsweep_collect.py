import pytest

from fakes import FakeFlow, FakeWrapper, records


def make(fs, wiring, keys=(), out="redis_cam1_0", config=None):
    nodes = records(wiring)
    wrapper = FakeWrapper(keys)
    node_config = nodes["cam1"] if config is None else config
    return fs.FlowsweepManager(wrapper, FakeFlow(nodes), node_config, out), wrapper


def test_keys_are_united_counted_once_and_only_the_log_is_sorted(fs, log):
    keys = ["redis_cam1_0", "redis_cam1_1", "redis_det2_0", "redis_det2_9", "other_1"]
    mgr, _ = make(fs, {"cam1": [["det2"]], "det2": []}, keys=keys, out="zz_out")
    got = mgr._collect_stream_redis_keys()
    expected = {"redis_cam1_0", "redis_cam1_1", "redis_det2_0", "redis_det2_9", "zz_out"}
    assert type(got) is list and len(got) == len(expected) and set(got) == expected
    assert log.messages()[-1] == (f"[flowsweep] found 5 existing keys: {sorted(expected)}")


@pytest.mark.parametrize(
    "node_id, pattern",
    (
        [("*", r"redis_\*_*"), ("cam[12]", r"redis_cam\[12\]_*"), ("a?b", r"redis_a\?b_*")]
        + [("back\\slash", r"redis_back\\slash_*"), (7, "redis_7_*")]
        + [("9b6b7a1f.3c2e5", "redis_9b6b7a1f.3c2e5_*")]
    ),
)
def test_ids_are_escaped_in_the_pattern(fs, log, node_id, pattern):
    mgr, wrapper = make(fs, {}, config={"id": node_id})
    mgr._collect_stream_redis_keys()
    assert wrapper.patterns == [pattern]


def test_entry_without_node_id_fails_before_any_scan(fs, log):
    class Sub(fs.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            return [{"node": node}]

    mgr = Sub(FakeWrapper(), None, {"id": "cam1"}, "out")
    with pytest.raises(KeyError):
        mgr._collect_stream_redis_keys()
    assert mgr.redis_wrapper.patterns == []


def test_attributes_are_read_at_use_and_overrides_are_honoured(fs, log):
    seen = []

    class Sub(fs.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            seen.append((node, visited))
            return iter([{"node_id": "x"}])  # iterated twice: second pass sees nothing

    config = {"id": "cam1"}
    mgr = Sub(FakeWrapper(), None, config, "out")
    mgr._collect_stream_redis_keys()
    assert seen == [(config, set())] and seen[0][0] is config
    assert mgr.redis_wrapper.patterns == ["redis_cam1_*"]
    assert log.messages()[1] == "[flowsweep] downstream nodes found: ['x']"


def test_code_object_lists_the_local_names(fs):
    code = fs.FlowsweepManager._collect_stream_redis_keys.__code__
    assert code.co_varnames == tuple(
        """
        self redis_keys node_ids current_node_id downstream_nodes node_info node_id matched n
    """.split()
    )
    assert code.co_argcount == 1


def test_reads_follow_python_evaluation_order(fs, log):
    reads = []

    class Watched(fs.FlowsweepManager):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    mgr = Watched(FakeWrapper(), FakeFlow({}), {"id": "cam1"}, "k")
    reads.clear()
    mgr._collect_stream_redis_keys()
    assert reads[1:5] == [
        "node_config",
        "_discover_downstream_nodes",
        "node_config",
        "redis_out_key",
    ]


def test_a_set_from_scan_is_merged_as_set_update_merges_it(fs, log):
    class Claims(set):
        def __iter__(self):
            yield from super().__iter__()
            yield "redis_other_0"

    wrapper = FakeWrapper(["redis_cam1_0"])
    wrapper.scan = lambda pattern: Claims(wrapper.matching(pattern))
    mgr = fs.FlowsweepManager(wrapper, FakeFlow({}), {"id": "cam1"}, "k")
    assert sorted(mgr._collect_stream_redis_keys()) == ["k", "redis_cam1_0"]
