"""Collecting a stream's keys: one SCAN per node id, and what is logged."""

import pytest

from fakes import FakeFlow, FakeWrapper, records

EM_DASH_WARNING = (
    "[flowsweep] node_config has no 'id' \u2014 current node keys will not be collected"
)


def make(fs, wiring, start="cam1", keys=(), out="redis_cam1_0", config=None, **wrapper_kw):
    nodes = records(wiring)
    wrapper = FakeWrapper(keys, **wrapper_kw)
    node_config = nodes[start] if config is None else config
    return fs.FlowsweepManager(wrapper, FakeFlow(nodes), node_config, out), wrapper


def test_one_scan_per_node_and_the_four_lines(fs, log):
    mgr, wrapper = make(fs, {"cam1": [["det2"]], "det2": []}, keys=["redis_cam1_0"])
    assert mgr._collect_stream_redis_keys() == ["redis_cam1_0"]
    assert sorted(wrapper.patterns) == ["redis_cam1_*", "redis_det2_*"]
    assert log.lines == [
        ("info", "[flowsweep] current_node_id='cam1'"),
        ("info", "[flowsweep] downstream nodes found: ['det2']"),
        ("info", "[flowsweep] found 1 existing keys: ['redis_cam1_0']"),
    ]


@pytest.mark.parametrize("config", [{"wires": [["det2"]]}, {"id": "", "wires": [["det2"]]}])
def test_no_id_warns_and_still_scans_downstream(fs, log, config):
    mgr, wrapper = make(fs, {"cam1": [], "det2": []}, config=config)
    assert mgr._collect_stream_redis_keys() == ["redis_cam1_0"]
    assert wrapper.patterns == ["redis_det2_*"]
    assert log.lines[1] == ("warning", EM_DASH_WARNING)
    assert log.lines[0][1] == "[flowsweep] current_node_id=" + repr(config.get("id"))


def test_nothing_to_scan_gives_the_output_key_alone(fs, log):
    mgr, wrapper = make(fs, {}, config={})
    assert mgr._collect_stream_redis_keys() == ["redis_cam1_0"]
    assert wrapper.patterns == []
    assert log.messages()[-2:] == [
        "[flowsweep] downstream nodes found: []",
        "[flowsweep] found 1 existing keys: ['redis_cam1_0']",
    ]


def test_duplicate_entries_are_listed_but_scanned_once(fs, log):
    wiring = {"cam1": [["det2", "det2"], ["cam1"]], "det2": []}
    mgr, wrapper = make(fs, wiring)
    mgr._collect_stream_redis_keys()
    assert sorted(wrapper.patterns) == ["redis_cam1_*", "redis_det2_*"]
    assert log.messages()[1] == "[flowsweep] downstream nodes found: ['det2', 'det2', 'cam1']"


def test_keys_are_united_counted_once_and_only_the_log_is_sorted(fs, log):
    keys = ["redis_cam1_0", "redis_cam1_1", "redis_det2_0", "redis_det2_9", "other_1"]
    mgr, _ = make(fs, {"cam1": [["det2"]], "det2": []}, keys=keys, out="zz_out")
    got = mgr._collect_stream_redis_keys()
    expected = {"redis_cam1_0", "redis_cam1_1", "redis_det2_0", "redis_det2_9", "zz_out"}
    assert type(got) is list and len(got) == len(expected) and set(got) == expected
    assert log.messages()[-1] == (f"[flowsweep] found 5 existing keys: {sorted(expected)}")


@pytest.mark.parametrize(
    "node_id, pattern",
    [
        ("*", r"redis_\*_*"),
        ("cam[12]", r"redis_cam\[12\]_*"),
        ("a?b", r"redis_a\?b_*"),
        ("back\\slash", r"redis_back\\slash_*"),
        (7, "redis_7_*"),
        ("9b6b7a1f.3c2e5", "redis_9b6b7a1f.3c2e5_*"),
    ],
)
def test_ids_are_escaped_in_the_pattern(fs, log, node_id, pattern):
    mgr, wrapper = make(fs, {}, config={"id": node_id})
    mgr._collect_stream_redis_keys()
    assert wrapper.patterns == [pattern]


@pytest.mark.parametrize(
    "scan_result, error",
    [(None, TypeError), ([b"redis_cam1_0"], TypeError)],
    ids=["not-iterable", "bytes-names"],
)
def test_bad_scan_results_propagate_before_the_last_line(fs, log, scan_result, error):
    mgr, wrapper = make(fs, {}, config={"id": "cam1"})
    wrapper.scan_keys = lambda *, pattern: scan_result
    with pytest.raises(error):
        mgr._collect_stream_redis_keys()
    assert len(log.lines) == 2


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
    assert code.co_varnames == (
        "self",
        "redis_keys",
        "node_ids",
        "current_node_id",
        "downstream_nodes",
        "node_info",
        "node_id",
        "matched",
        "n",
    )
    assert code.co_argcount == 1


def test_reads_follow_python_evaluation_order(fs, log):
    """The discovery is read before its argument self.node_config."""
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
    """set.update takes a set's members from its table, never through an
    __iter__ of its own."""

    class Claims(set):
        def __iter__(self):
            yield from super().__iter__()
            yield "redis_other_0"

    wrapper = FakeWrapper(["redis_cam1_0"])
    wrapper.scan = lambda pattern: Claims(wrapper.matching(pattern))
    mgr = fs.FlowsweepManager(wrapper, FakeFlow({}), {"id": "cam1"}, "k")
    assert sorted(mgr._collect_stream_redis_keys()) == ["k", "redis_cam1_0"]
