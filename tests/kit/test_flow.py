import json
import pathlib

import pytest

from nalo_sdk.nodered import FlowError, NaloFlow

FLOWS = pathlib.Path(__file__).resolve().parent.parent / "data" / "flows"
FLOW_FILES = sorted(FLOWS.glob("*.json"))


@pytest.mark.parametrize("path", FLOW_FILES, ids=lambda p: p.name)
def test_every_fixture_loads(path):
    records = json.loads(path.read_bytes())
    with_id = [r for r in records if "id" in r]
    flow = NaloFlow(str(path))
    assert len(flow._nodes) == len(with_id)
    assert all(flow._nodes[r["id"]] == r and type(flow._nodes[r["id"]]) is dict for r in with_id)

    wired = next(r for r in records if r.get("wires"))
    parsed = NaloFlow(path, node_id=wired["id"]).parse_flow()
    assert parsed["cur_node"] == wired and parsed["node_id"] == wired["id"]


def test_parsed_list_keeps_the_very_records(monkeypatch):
    records = [{"id": "a", "wires": [["b"]]}, {"id": "b"}, {"type": "comment"}]
    monkeypatch.setattr("nalo_sdk.constants.NODE_ID", "b")
    monkeypatch.setenv("NALO_NODE_ID", "b")
    flow = NaloFlow(records)
    assert list(flow._nodes) == ["a", "b"] and flow._nodes["a"] is records[0]
    assert flow.parse_flow()["cur_node"] is records[1]


@pytest.mark.parametrize(
    "content, problem",
    [
        # json's own wording, the same on Python 3.11 and 3.13 (3.13 words a
        # trailing comma differently).
        (b'[{"id": "a", 7: 1}]', "not JSON: Expecting property name"),
        (b"", "is empty, not JSON"),
        (b"\xff\xfe[]\x00", "not JSON"),
        (b'{"rev": "1", "flows": []}', "the top level is an object, not a list of records (it"),
        (b'"flows"', "the top level is a string"),
        (b'[{"id": "a"}, ["b"]]', "record 1 is an array, not an object"),
        (b'[{"id": "a"}, {"id": "b"}, {"id": "a"}]', "duplicate id 'a' in records 0 and 2"),
        (b'[{"id": 7}]', "record 0 has an id that is a number, not a string"),
        (b'[{"id": "a", "wires": "bc"}]', "'wires' is a string, not an array of ports"),
        (
            b'[{"id": "a", "type": "switch", "wires": [[], "bc"]}]',
            "'switch'): output port 1 is a str",
        ),
        (b'[{"id": "a", "wires": [["b", null]]}]', "port 0 holds a node id that is not a string"),
    ],
)
def test_broken_files_name_file_and_problem(tmp_path, content, problem):
    path = tmp_path / "flows.json"
    path.write_bytes(content)
    with pytest.raises(FlowError) as caught:
        NaloFlow(path, node_id="a").parse_flow()
    assert str(caught.value).startswith(f"flows file {str(path)!r}: ")
    assert problem in str(caught.value)
    assert list(tmp_path.iterdir()) == [path] and path.read_bytes() == content


@pytest.mark.parametrize(
    "node_id, env, problem",
    [
        ("zz", None, "the current node 'zz' is not in the flow"),
        (None, None, "no current node: pass node_id or set NALO_NODE_ID"),
        (None, "zz", "the current node 'zz' is not in the flow"),
        ("", None, "no current node"),
    ],
)
def test_current_node_missing(monkeypatch, node_id, env, problem):
    monkeypatch.delenv("NALO_NODE_ID", raising=False)
    if env is not None:
        monkeypatch.setenv("NALO_NODE_ID", env)
        monkeypatch.setattr("nalo_sdk.constants.NODE_ID", env)
    path = FLOWS / "nr-example-link-call.json"
    with pytest.raises(FlowError, match=problem):
        NaloFlow(path, node_id=node_id).parse_flow()


def test_missing_file_and_default_path(tmp_path, monkeypatch):
    monkeypatch.setenv("NALO_FLOWS_FILE", str(tmp_path / "nope.json"))
    with pytest.raises(FlowError, match=r"nope.json': cannot be read: No such file"):
        NaloFlow()
