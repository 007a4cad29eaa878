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
    node_id="cam", redis_url="redis://h:6379/2", redis_password="r-secret", mqtt_url="mqtt://h:1",
    mqtt_username="u", mqtt_password="m-secret", flows=lambda: ([{"id": "cam"}], "rev1"),
)  # fmt: skip
# What the kit's defaults resolve to: Redis URL and password, broker login, topic, flow.
WITH_HOST = ("redis://h:6379/2", "r-secret", ("mqtt://h:1", "u", "m-secret"), "cam", "rev1", "cam")
WITHOUT = ("redis://env:1/0", None, ("mqtt://env:1", None, None), "env", None, "env")


def kit_view():
    r, p, f = NaloRedis(), NaloPublisher(), NaloFlow()
    password = r._redis_client.connection_pool.connection_kwargs.get("password")
    topic = topic_for({})[len("mqtt_local_") :]
    return r.url, password, (p.url, p._username, p._password), topic, f.rev, f.current_node_id()


def test_the_kit_takes_the_hosts_settings_before_the_environment(monkeypatch, tmp_path):
    (tmp_path / "flows.json").write_text('[{"id": "env"}]')
    for name, value in [
        ("REDIS_URL", "redis://env:1/0"),
        ("MQTT_URL", "mqtt://env:1"),
        ("FLOWS_FILE", str(tmp_path / "flows.json")),
        ("NODE_ID", "env"),
    ]:
        monkeypatch.setenv("NALO_" + name, value)  # fmt: skip
    monkeypatch.setattr("nalo_sdk.constants.NODE_ID", "env")
    assert kit_view() == WITHOUT
    try:
        settings.install(HOSTED)
        assert kit_view() == WITH_HOST
        with settings.applied(settings.NodeSettings(node_id="env")):
            assert kit_view() == WITHOUT  # a node of a shared worker without any
        assert NaloRedis("redis://given:1/0").url == "redis://given:1/0"  # an argument wins
    finally:
        settings.install(None)
    assert kit_view() == WITHOUT
    assert "secret" not in repr(HOSTED)
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


def open_node(worker, code, redis_url, **config):
    """Opens node ``py`` with a Redis server; the frames up to opened."""
    hosted = {"redis": {"url": redis_url}, "flows": True}
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


def test_stream_keys_are_cleared_at_start_and_written(worker, redis_url):
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


def test_a_restarted_worker_does_not_clear(worker, redis_url):
    redis.Redis.from_url(redis_url).set("redis_py_0", b"kept")
    open_node(worker, "", redis_url, clearStream=True, restart=True)
    assert redis.Redis.from_url(redis_url).keys() == [b"redis_py_0"]
