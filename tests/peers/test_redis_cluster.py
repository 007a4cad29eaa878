import pytest
import redis
import redis.cluster
from redis.crc import key_slot

from nalo_sdk.nodered import NaloFlow
from nalo_sdk.redis import NaloRedis, clear_stream_redis_keys
from nalo_sdk.redis import sweep
from devkit.processes import free_port
from peer_support import CLEANUP_CASES, FLOWS, flow_keys, load_records, stream_ids, write_keys


def node_clients(redis_cluster):
    return [redis.Redis(host="127.0.0.1", port=port) for port in redis_cluster.ports]


def keys_per_node(redis_cluster):
    return [{k.decode() for k in client.keys()} for client in node_clients(redis_cluster)]


@pytest.fixture
def store(cluster_url):
    with NaloRedis(cluster_url, delete_batch=50) as wrapper:
        yield wrapper


@pytest.mark.parametrize(
    "pattern, count, expected",
    [
        ("redis_cam*_0", None, {f"redis_cam{i}_0" for i in range(3000)}),
        ("redis_cam1_*", 7, {"redis_cam1_0", "redis_cam1_1"}),
        ("redis_cam12?_0", 100, {f"redis_cam12{i}_0" for i in range(10)}),
        ("redis_none_*", None, set()),
    ],
)
def test_scan_keys_covers_every_primary(redis_cluster, store, pattern, count, expected):
    names = [f"redis_cam{i}_0" for i in range(3000)] + ["redis_cam1_1", "other_cam1_0"]
    write_keys(store._redis_client, names)
    assert all(len(on_node) > 500 for on_node in keys_per_node(redis_cluster))

    found = store.scan_keys(pattern=pattern, count=count)
    assert all(type(name) is str for name in found)
    assert len(found) == len(set(found)) and set(found) == expected


def test_binary_names_across_slots(store):
    names = [b"redis_n_\xff\xfe", "redis_n_é".encode(), b"redis_n_\x00"]
    write_keys(store._redis_client, names)
    found = store.scan_keys(pattern="redis_n_*")
    assert len(found) == 3
    assert store.delete_many(found) == 3
    assert store.scan_keys() == []


def unlink_calls(redis_cluster):
    total = 0
    for client in node_clients(redis_cluster):
        total += client.info("commandstats").get("cmdstat_unlink", {}).get("calls", 0)
        client.config_resetstat()
    return total


@pytest.mark.parametrize(
    "present, request_, removed",
    [
        (0, [], 0),
        (3, ["k0", "k1", "k2", "missing", "gone"], 3),
        (2000, [f"k{i}" for i in range(2100)], 2000),  # many slots on every node
        (2000, [f"k{i}" for i in range(2000)] * 2, 2000),  # each name twice
        (120, [f"{{tag}}k{i}" for i in range(120)], 120),  # one slot: 3 batches of 50
    ],
)
def test_delete_many_counts_what_it_removed(redis_cluster, store, present, request_, removed):
    write_keys(store._redis_client, list(dict.fromkeys(request_))[:present] + ["keep"])
    unlink_calls(redis_cluster)
    assert store.delete_many(request_) == removed
    assert store.scan_keys() == ["keep"]
    slots = {key_slot(name.encode()) for name in request_}
    if slots == {key_slot(b"{tag}")}:
        assert unlink_calls(redis_cluster) == 3


def test_a_cluster_client_given_directly(redis_cluster):
    client = redis.cluster.RedisCluster(host="127.0.0.1", port=redis_cluster.ports[1])
    write_keys(client, [f"redis_x{i}_0" for i in range(500)] + ["keep"])
    with NaloRedis(client=client) as wrapper:
        assert wrapper.cluster
        names = wrapper.scan_keys(pattern="redis_x*_0")
        assert len(names) == 500
        assert wrapper.delete_many(names) == 500
    assert {k.decode() for node in node_clients(redis_cluster) for k in node.keys()} == {"keep"}


def test_a_dead_seed_before_a_live_one(redis_cluster, cluster_url):
    port = redis_cluster.ports[2]
    url = f"redis+cluster://127.0.0.1:{free_port()},localhost:{port}"
    with NaloRedis(url) as wrapper:
        wrapper._redis_client.set("a", 1)
        assert wrapper.scan_keys() == ["a"]


# The flows whose streams are big enough to have keys on every primary.
@pytest.mark.parametrize("flow_file, start", CLEANUP_CASES[1:])
@pytest.mark.parametrize("delete_batch", [1, 1000])
def test_cleanup_removes_exactly_the_streams_keys(
    redis_cluster, cluster_url, flow_file, start, delete_batch
):
    flow = NaloFlow(FLOWS / flow_file, node_id=start)
    node = flow.parse_flow()["cur_node"]
    mine, others = flow_keys(flow._nodes, stream_ids(flow._nodes, start))
    out_key = "frames:latest"
    wrapper = NaloRedis(cluster_url, delete_batch=delete_batch)
    write_keys(wrapper._redis_client, mine | others | {out_key})
    spread = keys_per_node(redis_cluster)
    assert all(on_node & mine for on_node in spread), "the stream should span every primary"

    assert clear_stream_redis_keys(wrapper, flow, node, out_key) is True
    left = set().union(*keys_per_node(redis_cluster))
    assert left == others


@pytest.mark.parametrize("dry_run", [True, False])
def test_sweep_command_on_a_cluster(redis_cluster, cluster_url, capsys, dry_run):
    start = "951c6365.64e4d8"
    records = load_records("ha-45sixty-flows.json")
    nodes = {r["id"]: r for r in records}
    mine, others = flow_keys(nodes, stream_ids(nodes, start))
    write_keys(NaloRedis(cluster_url)._redis_client, mine | others)
    args = ["--flow", str(FLOWS / "ha-45sixty-flows.json"), "--node", start, "--redis", cluster_url]
    status = sweep.main(args + (["--dry-run"] if dry_run else []))
    assert status == 0
    listed = set(capsys.readouterr().out.split())
    left = set().union(*keys_per_node(redis_cluster))
    if dry_run:
        assert listed == mine and left == mine | others
    else:
        assert left == others
