import pytest
import redis

from nalo_sdk.nodered import FlowError, NaloFlow
from nalo_sdk.redis import NaloRedis, clear_stream_redis_keys
from nalo_sdk.redis.utils import gen_redis_key_local
from peer_support import CLEANUP_CASES, flow_keys, load_records, stream_ids, write_keys


@pytest.mark.parametrize("flow_file, start", CLEANUP_CASES)
def test_cleanup_of_a_deployed_flow(node_red, redis_url, flow_file, start):
    records = load_records(flow_file)
    rev = node_red.deploy(records)

    flow = NaloFlow(node_red.url, node_id=start)
    assert flow._records == records and flow.rev == rev
    node = flow.parse_flow()["cur_node"]

    nodes = {r["id"]: r for r in records if "id" in r}
    mine, others = flow_keys(nodes, stream_ids(nodes, start))
    client = redis.Redis.from_url(redis_url)
    write_keys(client, mine | others)

    wrapper = NaloRedis(redis_url, delete_batch=5)
    out_key = gen_redis_key_local(start, 0)
    assert clear_stream_redis_keys(wrapper, flow, node, out_key) is True
    assert {name.decode() for name in client.keys()} == others


@pytest.mark.parametrize("suffix", ["", "/", "/flows", "/flows/"])
def test_base_url_forms(node_red, suffix):
    records = load_records("soundweb-ex-gain-junction.json")
    node_red.deploy(records)
    flow = NaloFlow(node_red.url + suffix, node_id="da5a13a5d9ceb079")
    assert flow._records == records
    assert flow.source == node_red.url + suffix


def test_a_redeploy_is_seen_on_the_next_load(node_red):
    first = load_records("nr-example-link-call.json")
    second = load_records("nr-example-link-across-tabs.json")
    node_red.deploy(first)
    before = NaloFlow(node_red.url)
    node_red.deploy(second)
    after = NaloFlow(node_red.url)
    assert before._records == first and after._records == second
    assert before.rev != after.rev


def test_wrong_path_names_the_url(node_red):
    problem = r"HTTP 404 Not Found \(is this the Node-RED base URL"
    with pytest.raises(FlowError, match=problem) as caught:
        NaloFlow(node_red.url + "/nope")
    assert str(caught.value).startswith(f"Node-RED flows at '{node_red.url}/nope/flows': ")
