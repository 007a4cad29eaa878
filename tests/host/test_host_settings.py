"""What the host hands the kit for a node (nalo_sdk.settings) and the node's
stream keys in Redis, the worker driven as Node.js drives it."""

import math

import numpy as np
import pytest
import redis

from nalo_sdk import settings
from nalo_sdk.host.stream import payload_bytes, port_messages
from nalo_sdk.mqtt.publish import NaloPublisher, topic_for
from nalo_sdk.nodered import NaloFlow
from nalo_sdk.redis.client import NaloRedis

HOSTED = settings.NodeSettings(
    node_id="cam",
    redis_url="redis://10.0.0.1:6379/2",
    redis_password="r-secret",
    mqtt_url="mqtt://10.0.0.2:1883",
    mqtt_username="u",
    mqtt_password="m-secret",
    flows=lambda: ([{"id": "cam", "wires": []}], "rev1"),
)


def kit_view():
    """What the kit's defaults resolve to here."""
    r, p, f = NaloRedis(), NaloPublisher(), NaloFlow()
    return (
        r.url,
        r._redis_client.connection_pool.connection_kwargs.get("password"),
        (p.url, p._username, p._password),
        topic_for({}),
        (f.rev, f.parse_flow()["node_id"]),
    )


def test_the_kit_takes_the_hosts_settings_before_the_environment(monkeypatch, tmp_path):
    flows = tmp_path / "flows.json"
    flows.write_text('[{"id": "env-node", "wires": []}]')
    monkeypatch.setenv("NALO_REDIS_URL", "redis://env:1/0")
    monkeypatch.setenv("NALO_MQTT_URL", "mqtt://env:1")
    monkeypatch.setenv("NALO_FLOWS_FILE", str(flows))
    monkeypatch.setenv("NALO_NODE_ID", "env-node")
    monkeypatch.setattr("nalo_sdk.constants.NODE_ID", "env-node")
    unhosted = kit_view()
    assert unhosted == (
        "redis://env:1/0",
        None,
        ("mqtt://env:1", None, None),
        "mqtt_local_env-node",
        (None, "env-node"),
    )
    hosted = (
        "redis://10.0.0.1:6379/2",
        "r-secret",
        ("mqtt://10.0.0.2:1883", "u", "m-secret"),
        "mqtt_local_cam",
        ("rev1", "cam"),
    )
    try:
        settings.install(HOSTED)
        assert kit_view() == hosted
        with settings.applied(settings.NodeSettings(node_id="env-node")):
            assert kit_view()[0] == "redis://env:1/0"  # a node of a shared worker without one
        assert NaloRedis("redis://given:1/0").url == "redis://given:1/0"  # an argument wins
    finally:
        settings.install(None)
    assert kit_view() == unhosted
    assert "secret" not in repr(HOSTED) and "flows=<<lambda>()>" in repr(HOSTED)


def test_a_login_in_the_url_and_apart_is_refused():
    with pytest.raises(ValueError, match=r"login in the URL and username or password given apart"):
        NaloPublisher("mqtt://a:b@h", username="u")


PAYLOADS = [
    ("bytes", b"\x00\xff", b"\x00\xff"),
    ("a NumPy array", np.arange(3, dtype=np.uint8), b"\x00\x01\x02"),
    ("text", "café", "café".encode()),
    ("None", None, b"null"),
    ("NaN", math.nan, b"null"),
    ("data", {"n": np.float32(0.5), "x": [math.inf], "b": b"\x01"},
     b'{"n":0.5,"x":[null],"b":{"type":"Buffer","data":[1]}}'),
]  # fmt: skip


@pytest.mark.parametrize("payload, stored", [p[1:] for p in PAYLOADS], ids=[p[0] for p in PAYLOADS])
def test_what_a_payload_is_stored_as(payload, stored):
    assert bytes(payload_bytes(payload)) == stored


SENT = [
    ({"payload": 1}, 2, {0: 1}),
    ([None, {"payload": 2}], 2, {1: 2}),
    ([[{"payload": 1}, {"payload": 3}, {"topic": "no payload"}]], 1, {0: 3}),
    ([{"payload": 1}, {"payload": 2}], 1, {0: 1}),  # no port 1
    ("not a message", 1, {}),
]


@pytest.mark.parametrize("sent, outputs, ports", SENT)
def test_which_message_each_port_stores(sent, outputs, ports):
    found = port_messages(sent, outputs)
    assert {port: msg["payload"] for port, msg in found.items()} == ports


# A tab: py → down → end, and a node beside them.
FLOWS = [
    {"id": "tab", "type": "tab"},
    {"id": "py", "type": "nalo-python", "z": "tab", "wires": [["down"]]},
    {"id": "down", "type": "nalo-python", "z": "tab", "wires": [["end"]]},
    {"id": "end", "type": "debug", "z": "tab", "wires": []},
    {"id": "beside", "type": "debug", "z": "tab", "wires": []},
]
STREAM = {b"redis_py_0", b"redis_down_0", b"redis_end_3"}


def open_node(worker, code, redis_url, password=None, **config):
    """Opens node ``py`` with a Redis server, answering the worker's requests
    for the deployed flows; returns the frames up to opened/open_failed."""
    hosted = {"redis": {"url": redis_url, "password": password}, "flows": True}
    worker.send({"t": "open"}, dict(id="py", type="nalo-python", outputs=1, settings=hosted,
                                    source={"code": code}, **config))  # fmt: skip
    return answered(worker, {"opened", "open_failed"})


def answered(worker, kinds):
    """The frames up to one of ``kinds``, the requests for the flows answered."""
    seen = []
    while seen == [] or seen[-1]["t"] not in kinds:
        seen.append(worker.next())
        if seen[-1]["t"] == "flows":
            worker.send({"t": "reply", "req": seen[-1]["req"]}, {"flows": FLOWS, "rev": "r1"})
    return seen


def texts(frames, kind):
    return [f.get("text") for f in frames if f["t"] == kind]


def test_stream_keys_are_written_cleared_at_start_and_at_removal(worker, redis_url):
    client = redis.Redis.from_url(redis_url)
    client.mset({key: b"old" for key in STREAM | {b"redis_beside_0"}})
    code = (
        "from nalo_sdk.nodered import NaloFlow\n"
        "def on_input(msg, node):\n"
        "    node.send({'payload': b'sent'})\n"
        "    return {'payload': NaloFlow().rev + node.redis_key()}\n"
    )
    opened = open_node(worker, code, redis_url, clearStream=True)
    assert "Stream cleanup complete: 3/3 keys deleted" in texts(opened, "log")
    assert client.keys() == [b"redis_beside_0"]

    worker.send({"t": "msg", "node": "py", "seq": 1}, {"payload": 1})
    frames = answered(worker, {"done", "error"})
    assert frames[-1]["v"] == {"payload": "r1redis_py_0"}
    assert client.get("redis_py_0") == b"r1redis_py_0"

    client.set("redis_down_0", b"x")
    worker.send({"t": "close", "node": "py", "removed": True})
    closing = worker.until({"closed"})
    assert "Stream cleanup complete: 2/2 keys deleted" in texts(closing, "log")
    assert client.keys() == [b"redis_beside_0"]


def test_a_restarted_worker_does_not_clear(worker, redis_url):
    redis.Redis.from_url(redis_url).set("redis_py_0", b"kept")
    open_node(worker, "", redis_url, clearStream=True, restart=True)
    assert redis.Redis.from_url(redis_url).get("redis_py_0") == b"kept"


def test_a_wrong_password_is_told_without_the_password_and_the_message_goes_on(
    worker, redis_server, redis_url
):
    admin = redis.Redis.from_url(redis_url)
    admin.config_set("requirepass", "right-pw")
    try:
        opened = open_node(worker, "def on_input(msg, node):\n    return msg\n", redis_url,
                           password="wrong-pw", clearStream=True)  # fmt: skip
        frames = worker.message({"payload": "a"}, node_id="py", seq=5)
    finally:
        redis.Redis.from_url(redis_url, password="right-pw").config_set("requirepass", "")
    told = [f for f in opened + frames if f["t"] == "stream"]
    assert [(f["ok"], f["seq"], f["text"].split(":")[0]) for f in told] == [
        (False, None, "stream keys not cleared"),
        (False, 5, "stream keys not stored"),
    ]
    assert "invalid username-password pair" in told[1]["text"]
    assert frames[-1] == {"t": "done", "node": "py", "seq": 5, "v": {"payload": "a"}}
    assert "wrong-pw" not in repr(opened + frames)
