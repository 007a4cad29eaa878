import pytest

from fakes import FakeFlow, records


def manager(fs, nodes, start="A"):
    flow = FakeFlow(nodes, count_reads=True)
    return fs.FlowsweepManager(None, flow, nodes.get(start, {}), "out"), flow


def test_entries_are_fresh_dicts_holding_the_flows_own_objects(fs):
    nodes = records({"A": [["B"]], "B": []})
    target_id = "".join(["B"])  # equal to the key, not the same object
    nodes["A"]["wires"] = [[target_id]]
    mgr, _ = manager(fs, nodes)
    (entry,) = mgr._discover_downstream_nodes(nodes["A"], set())
    assert list(entry) == ["node", "port", "node_id"]
    assert entry["node"] is nodes["B"]
    assert entry["node_id"] is target_id
    assert type(entry["port"]) is int


def test_visited_id_expands_nothing_and_set_is_the_callers(fs):
    nodes = records({"A": [["B"]], "B": []})
    mgr, flow = manager(fs, nodes)
    visited = {"A"}
    assert mgr._discover_downstream_nodes(nodes["A"], visited) == []
    assert visited == {"A"} and flow.reads == 0
    visited = {"B"}
    got = mgr._discover_downstream_nodes(nodes["A"], visited)
    assert [e["node_id"] for e in got] == ["B"] and visited == {"A", "B"}


def test_nodes_attribute_is_read_afresh_for_every_test_and_subscript(fs):
    nodes = records({"A": [["B", "X", "C"]], "B": [], "C": []})
    mgr, flow = manager(fs, nodes)
    mgr._discover_downstream_nodes(nodes["A"], set())
    assert flow.reads == 2 + 1 + 2  # found, missing, found


@pytest.mark.parametrize(
    "record, flow, error",
    [
        ({"id": "A", "wires": None}, FakeFlow({}), TypeError),
        ({"id": "A", "wires": [None]}, FakeFlow({}), TypeError),
        ({"id": ["unhashable"]}, FakeFlow({}), TypeError),
        ({"id": "A", "wires": [[["unhashable"]]]}, FakeFlow({}), TypeError),
        ({"id": "A", "wires": [["B"]]}, object(), AttributeError),
    ],
    ids=["wires-none", "port-none", "id-unhashable", "target-unhashable", "no-_nodes"],
)
def test_errors_propagate_and_visited_keeps_what_was_added(fs, record, flow, error):
    mgr = fs.FlowsweepManager(None, flow, record, "out")
    visited = set()
    with pytest.raises(error):
        mgr._discover_downstream_nodes(record, visited)
    if not isinstance(record["id"], list):
        assert visited == {"A"}


def test_flow_without_nodes_is_fine_when_nothing_is_wired(fs):
    mgr = fs.FlowsweepManager(None, object(), {"id": "A"}, "out")
    assert mgr._discover_downstream_nodes({"id": "A", "wires": [[]]}, set()) == []


def chain(n):
    nodes = {f"n{i}": {"id": f"n{i}", "wires": [[f"n{i + 1}"]]} for i in range(n - 1)}
    nodes[f"n{n - 1}"] = {"id": f"n{n - 1}", "wires": []}
    return nodes


def test_very_deep_chain_is_walked_without_recursion(fs):
    n = 100_000
    nodes = chain(n)
    mgr, _ = manager(fs, nodes, "n0")
    visited = set()
    got = mgr._discover_downstream_nodes(nodes["n0"], visited)
    assert len(got) == n - 1 and len(visited) == n
    assert [e["node_id"] for e in got[:3]] == ["n1", "n2", "n3"]
    assert got[-1]["node"] is nodes[f"n{n - 1}"]
