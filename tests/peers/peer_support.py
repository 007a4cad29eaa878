import json
import pathlib

from common import flow_keys, stream_ids, write_keys  # noqa: F401 (for the tests)

FLOWS = pathlib.Path(__file__).resolve().parent.parent / "data" / "flows"


def load_records(name):
    return json.loads((FLOWS / name).read_bytes())


# Real flows and a start node in each: a core-nodes-only example whose
# nodes all run in Node-RED, and Home Assistant exports whose node types are
# missing there (Node-RED keeps and serves them all the same).
CLEANUP_CASES = [
    ("nr-example-link-call.json", "e1b6b1fbd9b33c6d"),
    ("ha-45sixty-flows.json", "951c6365.64e4d8"),
    ("ha-bkinstal-flows.json", "29c90f418fc873e1"),  # polling loops
    ("ha-bkinstal-goodwe-flows.json", "c1b941cd7c7a50cb"),  # 96 nodes deep
]
