import hypothesis.strategies as st
from hypothesis import HealthCheck, given

import flowsweep_model
from common import property_settings
import nalo_sdk.redis.flowsweep as native
from fakes import FakeFlow, FakeLogger, FakeWrapper

SETTINGS = property_settings(HealthCheck.data_too_large)

# Node ids: plain, prefixes of one another, glob characters, non-str.
IDS = ["a", "ab", "b", "c", "c*", "c?", "c[ab]", "c\\", "x_y", "", 7, None]


def sequence(items):
    return st.tuples(st.lists(items, max_size=4), st.booleans()).map(
        lambda pair: tuple(pair[0]) if pair[1] else pair[0]
    )


@st.composite
def flows(draw):
    keys = draw(st.lists(st.sampled_from(IDS), max_size=8, unique=True))
    nodes = {}
    for key in keys:
        record = {}
        id_choice = draw(st.sampled_from(["own", "own", "own", "none", "other"]))
        if id_choice == "own":
            record["id"] = key
        elif id_choice == "other":
            record["id"] = draw(st.sampled_from(IDS))
        if draw(st.integers(0, 5)):
            record["wires"] = draw(sequence(sequence(st.sampled_from(IDS))))
        nodes[key] = record
    if nodes and draw(st.booleans()):
        start = nodes[draw(st.sampled_from(keys))]
    else:
        start = {
            "id": draw(st.sampled_from(IDS)),
            "wires": draw(sequence(sequence(st.sampled_from(IDS)))),
        }
    visited = set(draw(st.lists(st.sampled_from(IDS), max_size=2)))
    return nodes, start, visited


def walk(mod, nodes, start, visited):
    mgr = mod.FlowsweepManager(None, FakeFlow(nodes), start, "out")
    visited = set(visited)
    result = mgr._discover_downstream_nodes(start, visited)
    return [(id(e["node"]), e["port"], e["node_id"]) for e in result], visited, result


@SETTINGS
@given(flows())
def test_walk_matches_the_model(flow):
    nodes, start, visited = flow
    got, got_visited, raw = walk(native, nodes, start, visited)
    want, want_visited, _ = walk(flowsweep_model, nodes, start, visited)
    assert got == want
    assert got_visited == want_visited
    assert all(list(e) == ["node", "port", "node_id"] and type(e["port"]) is int for e in raw)


@st.composite
def stores(draw):
    names = []
    for node_id in IDS:
        for suffix in draw(st.lists(st.sampled_from(["0", "1", "x", "", "0_1"]), max_size=2)):
            names.append(f"redis_{node_id}_{suffix}")
    names += draw(
        st.lists(
            st.sampled_from(
                (
                    ["redis_a", "redis_abc_0", "redis_cx_0", "redis_ca_0", "redis_c_0"]
                    + ["redis_c\\_0", "redis_x_0", "redis__0", "redis_7_1", "redis_None_0"]
                    + ["out", "other"]
                )
            ),
            max_size=6,
        )
    )
    return names


def stream_keys(nodes, start, out_key, store_keys):
    mgr = flowsweep_model.FlowsweepManager(None, FakeFlow(nodes), start, out_key)
    ids = {e["node_id"] for e in mgr._discover_downstream_nodes(start, set())}
    if start.get("id"):
        ids.add(start["id"])
    prefixes = {f"redis_{node_id}_" for node_id in ids}
    return {k for k in store_keys if any(k.startswith(p) for p in prefixes)} | {out_key}


def cleanup(mod, nodes, start, keys, out_key):
    store = FakeWrapper(keys)
    log = FakeLogger()
    saved, mod.logger = mod.logger, log
    try:
        mgr = mod.FlowsweepManager(store, FakeFlow(nodes), start, out_key)
        collected = mgr._collect_stream_redis_keys()
        result = mgr.clear_stream_keys()
    finally:
        mod.logger = saved
    return collected, result, store, log.lines


@SETTINGS
@given(flows(), stores(), st.sampled_from(["out", "redis_a_0", "redis_c*_1"]))
def test_collection_and_clearing_match_the_model(flow, keys, out_key):
    nodes, start, _ = flow
    collected, result, store, lines = cleanup(native, nodes, start, keys, out_key)
    m_collected, m_result, m_store, m_lines = cleanup(flowsweep_model, nodes, start, keys, out_key)
    assert sorted(collected) == sorted(m_collected) and len(collected) == len(set(collected))
    assert result is m_result is True
    assert sorted(store.patterns) == sorted(m_store.patterns)
    assert lines == m_lines
    [deleted] = store.deletes
    assert sorted(deleted) == sorted(collected)
    # Exactly the stream's keys: nothing of another node, however alike the
    # names, and nothing of the stream left behind.
    assert set(deleted) == stream_keys(nodes, start, out_key, keys)
