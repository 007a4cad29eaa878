"""The operators' sweep command, run as operators run it."""

import os
import pathlib
import subprocess
import sys

import pytest
import redis

import nalo_sdk
from nalo_sdk.processes import free_port

FLOWS = pathlib.Path(__file__).resolve().parent.parent / "data" / "flows"
FLOW = str(FLOWS / "ha-45sixty-flows.json")
NODE = "25ada85f.7189c"  # a switch: two ports, two nodes below port 0
STREAM = ["redis_25ada85f.7189c_0", "redis_25ada85f.7189c_1", "redis_c2037f0f.c23228_0",
          "redis_3f92fc54.33ebdc_0", "redis_b49b7eb6.75a8c8_0", "redis_dbde0b6a.665808_0"]
OTHERS = ["redis_9a6361f9.d69c48_0", "redis_25ada85f.7189c0_0", "local_25ada85f.7189c"]


def sweep(*args):
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(nalo_sdk.__file__).parent.parent))
    return subprocess.run(
        [sys.executable, "-m", "nalo_sdk.redis.sweep", *args],
        env=env,
        capture_output=True,
        text=True,
    )


@pytest.fixture
def client(redis_url):
    client = redis.Redis.from_url(redis_url, decode_responses=True)
    client.mset({key: 1 for key in STREAM + OTHERS})
    yield client
    client.close()


def test_dry_run_lists_and_keeps(client, redis_url):
    run = sweep("--flow", FLOW, "--node", NODE, "--redis", redis_url, "--dry-run")
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == sorted(STREAM)
    assert client.dbsize() == len(STREAM + OTHERS)


def test_real_run_deletes_the_stream(client, redis_url):
    run = sweep("--flow", FLOW, "--node", NODE, "--redis", redis_url)
    assert run.returncode == 0, run.stderr
    assert f"deleted {len(STREAM)} of {len(STREAM)} keys" in run.stderr
    assert sorted(client.keys()) == sorted(OTHERS)


@pytest.mark.parametrize(
    "content, node, status, message",
    [
        ("[{]", NODE, 2, "not JSON"),
        (None, "no-such-node", 2, "the current node 'no-such-node' is not in the flow"),
        (None, NODE, 1, "Connection refused"),
    ],
)
def test_failures_exit_non_zero(tmp_path, content, node, status, message):
    flow = FLOW
    if content is not None:
        flow = tmp_path / "flows.json"
        flow.write_text(content)
    run = sweep("--flow", str(flow), "--node", node, "--redis", f"redis://127.0.0.1:{free_port()}")
    assert run.returncode == status
    assert "error: " in run.stderr and message in run.stderr



@pytest.mark.parametrize(
    "records, reason",
    [
        ('{"id": "det"}, {"id": "cam_2"}', "keys of nodes outside it: 'cam_2' (under 'cam')"),
        ('{"id": "det*"}', "glob characters"),
    ],
)
def test_refuses_patterns_that_reach_other_nodes(redis_url, tmp_path, records, reason):
    flow = tmp_path / "flows.json"
    target = "det*" if "det*" in records else "det"
    flow.write_text(f'[{{"id": "cam", "wires": [["{target}"]]}}, {records}]')
    client = redis.Redis.from_url(redis_url)
    client.mset({"redis_cam_0": 1, "redis_cam_2_0": 2, "redis_det_0": 3})
    run = sweep("--flow", str(flow), "--node", "cam", "--redis", redis_url)
    assert run.returncode == 2 and reason in run.stderr
    assert client.dbsize() == 3
