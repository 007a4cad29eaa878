import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, given

import flowsweep_cases as cases
from common import property_settings
import nalo_sdk.redis.flowsweep as fs
from nalo_sdk.redis.client import NaloRedis

# The stream: cam1 feeds ids with glob characters, a backslash, a non-ASCII
# letter and a cycle back to cam1.
NODES = cases.records(
    **{
        "cam1": [["det*"], ["tr[ab]", "a?c"]],
        "det*": [["x\\"]],
        "tr[ab]": [["caméra"]],
        "a?c": [],
        "x\\": [["cam1"]],
        "caméra": None,
        # Not downstream of cam1.
        "cam10": [["cam1"]],
        "cam": None,
        "detX": None,
    }
)
STREAM_IDS = ["cam1", "det*", "tr[ab]", "a?c", "x\\", "caméra"]
OUT_KEY = "frames:cam1"

STREAM_KEYS = {f"redis_{i}_{s}".encode() for i in STREAM_IDS for s in ("0", "1", "meta")} | {
    OUT_KEY.encode()
}
OTHER_KEYS = {
    # other ids sharing a prefix, or a stream id without its separator
    b"redis_cam10_0",
    b"redis_cam_1_0",
    b"redis_cam_0",
    b"redis_cam1",
    b"xredis_cam1_0",
    # what unescaped glob characters in the stream's ids would match
    b"redis_detX_0",
    b"redis_det_0",
    b"redis_tra_0",
    b"redis_trb_0",
    b"redis_abc_0",
    b"redis_x_0",
    b"redis_x\\\\_0",
    # names that are not UTF-8, and another node's non-ASCII twin
    b"redis_\xff_0",
    b"redis_cam\xe9ra_0",
    b"redis_camera_0",
    b"frames:cam10",
}


def seed(client):
    client.flushall()
    client.mset({k: b"v" for k in STREAM_KEYS | OTHER_KEYS})


def kill(server):
    server.process.kill()
    server.process.wait()


def make_wrapper(url, server, kill_on):
    class Dying(NaloRedis):
        requests = 0

        def _maybe_kill(self):
            self.requests += 1
            if self.requests == kill_on:
                kill(server)

        def scan_keys(self, pattern="*", count=None):
            self._maybe_kill()
            return super().scan_keys(pattern, count)

        def delete_many(self, keys):
            self._maybe_kill()
            return super().delete_many(keys)

    return Dying(url, socket_timeout=5)


@pytest.mark.parametrize("kill_on, what", [(7, "before the delete"), (3, "between two SCANs")])
def test_killed_server_then_back(redis_server, redis_url, log, kill_on, what):
    wrapper = make_wrapper(redis_url, redis_server, kill_on)
    client = wrapper._redis_client
    seed(client)
    mgr = fs.FlowsweepManager(wrapper, cases.FakeFlow(NODES), NODES["cam1"], OUT_KEY)
    try:
        assert mgr.clear_stream_keys() is False, what
        assert mgr._keys_cleared is False
        errors = [m for level, m in log.lines if level == "error"]
        assert len(errors) == 1 and errors[0].startswith("Failed to clear Redis keys: ")
        assert "onnect" in errors[0]  # refused / closed by server
        assert not any(m.startswith("Stream cleanup complete") for _, m in log.lines)

        redis_server.start()  # back on the same port, empty
        seed(client)
        log.lines.clear()
        assert mgr.clear_stream_keys() is True
        assert set(client.keys()) == OTHER_KEYS
        assert (
            "info",
            f"Stream cleanup complete: {len(STREAM_KEYS)}/{len(STREAM_KEYS)} keys deleted",
        ) in log.lines
        assert mgr._keys_cleared is True
        # Done once: a further call touches nothing.
        seed(client)
        assert mgr.clear_stream_keys() is True
        assert set(client.keys()) == STREAM_KEYS | OTHER_KEYS
    finally:
        redis_server.start()


# No id here extends another by "_": the key names cannot tell node "n"'s
# key "redis_n_1_0" from a key of node "n_1", so such ids share keys.
ID_POOL = ["n1", "n10", "n", "n*", "n?", "n[1]", "n\\", "ñ", "*", "?", "[", "]"]


@property_settings(HealthCheck.function_scoped_fixture, max_examples=200)
@given(
    stream=st.lists(st.sampled_from(ID_POOL), min_size=1, max_size=4, unique=True),
    others=st.lists(st.sampled_from(ID_POOL), max_size=6, unique=True),
)
def test_only_the_streams_keys_go(redis_url, stream, others):
    nodes = {i: {"id": i, "wires": [[nxt]]} for i, nxt in zip(stream, stream[1:])}
    nodes[stream[-1]] = {"id": stream[-1]}
    for other in others:
        nodes.setdefault(other, {"id": other})
    wrapper = NaloRedis(redis_url)
    client = wrapper._redis_client
    client.flushall()
    mine = {f"redis_{i}_{s}".encode() for i in stream for s in ("0", "x")}
    theirs = {f"redis_{i}_{s}".encode() for i in ID_POOL if i not in stream for s in ("0", "x")}
    client.mset({k: b"v" for k in mine | theirs | {b"out"}})
    saved, fs.logger = fs.logger, cases.FakeLogger(keep=False)
    try:
        assert (
            fs.clear_stream_redis_keys(wrapper, cases.FakeFlow(nodes), nodes[stream[0]], "out")
            is True
        )
    finally:
        fs.logger = saved
    assert set(client.keys()) == theirs
