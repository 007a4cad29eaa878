"""A Python node's stream in a real Node-RED with a real Redis and broker:
keys, cleanup, MQTT, and what the node says when Redis or the broker fail."""

import json
import pathlib
import re
import sys
import time

import pytest
import redis

import test_node_red_python as python_node

red = python_node.red  # the Node-RED with the node package installed
SECRET = "wr0ng-Secret-pw"

SOURCE = """
from nalo_sdk.mqtt import publish_result
from nalo_sdk.mqtt.utils import meta_info_to_publish
def on_input(msg, node):
    text = msg['payload']['text']
    node.send({'payload': 'frame-' + text})
    publish_result(meta_info_to_publish('cam', 'cam1', result=[text]))
"""
UPPER = "def on_input(msg, node):\n    return {'payload': [msg['payload'].upper()]}\n"
ECHO = "def on_input(msg, node):\n    return msg\n"


@pytest.fixture
def broker(mosquitto):
    mosquitto.keep_port = True  # a broker stopped comes back where the flow expects it
    yield mosquitto
    mosquitto.start()  # for the tests after, whatever this one did


def stream_flow(redis_url, broker, password=None, source=True):
    """http in GET /frame → py-src → py-down → http response; MQTT in on
    py-src's topic → py-sink; Catch and Status to the log."""

    def python(node_id, code, wires, **more):
        return dict(id=node_id, type="nalo-python", z="t", code=code, redis="rs",
                    interpreter=sys.executable, outputs=1, wires=[wires], **more)  # fmt: skip

    first = "py-src" if source else "py-down"
    records = [
        {"id": "t", "type": "tab"},
        {"id": "rs", "type": "nalo-redis-server", "url": redis_url,
         "credentials": {"password": password or ""}},
        {"id": "mb", "type": "nalo-mqtt-broker", "url": broker.url},
        {"id": "cb", "type": "mqtt-broker", "broker": "127.0.0.1", "port": str(broker.port),
         "protocolVersion": 4, "keepalive": 5, "cleansession": True, "autoConnect": True},
        {"id": "in", "type": "http in", "z": "t", "url": "/frame", "method": "get",
         "wires": [[first]]},
        python("py-down", UPPER, ["out"]),
        {"id": "out", "type": "http response", "z": "t", "wires": []},
        {"id": "hear", "type": "mqtt in", "z": "t", "topic": "mqtt_local_py-src", "qos": "1",
         "datatype": "json", "broker": "cb", "wires": [["py-sink"]]},
        python("py-sink", ECHO, []),
        {"id": "catcher", "type": "catch", "z": "t", "scope": None, "wires": [["said"]]},
        {"id": "watcher", "type": "status", "z": "t", "scope": None, "wires": [["said"]]},
        {"id": "said", "type": "debug", "z": "t", "active": True, "tosidebar": False,
         "console": True, "complete": "true", "wires": []},
    ]  # fmt: skip
    if source:
        records.append(python("py-src", SOURCE, ["py-down"], broker="mb", clearStream=True))
    # A place on the tab, as the editor gives: Node-RED rewires only nodes that have one.
    return [dict(r, x=100, y=100) if "z" in r else r for r in records]


def within(predicate, log=None, seconds=30.0):
    """Waits for ``predicate``; ``log``: a peer whose log tells why not."""
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, log.log_text()[-3000:] if log else "not in time"
        time.sleep(0.05)


def keys(client):
    return {name.decode() for name in client.keys()}


def heard(client, text, red):
    """The payload py-sink got over MQTT for ``text``, once there."""
    within(lambda: text in (client.get("redis_py-sink_0") or b"").decode(), red)
    return json.loads(client.get("redis_py-sink_0"))


def test_stream_keys_mqtt_and_cleanup(red, redis_url, broker):
    client = redis.Redis.from_url(redis_url)
    red.deploy(stream_flow(redis_url, broker))
    broker.wait_for_subscription("mqtt_local_py-src")
    assert red.get("/frame?text=a") == ["FRAME-A"]
    payload = heard(client, '"a"', red)
    assert (payload["id"], payload["type"], payload["result"]) == ("py-src", "nalo-python", ["a"])
    assert client.get("redis_py-src_0") == b"frame-a"
    assert client.get("redis_py-down_0") == b'["FRAME-A"]'

    # A redeploy starts py-src anew: its stream's keys go, py-sink's stays.
    red.deploy(stream_flow(redis_url, broker))
    within(lambda: keys(client) == {"redis_py-sink_0"})
    # The worker tells of the cleanup after Redis has done it: its line may come later.
    within(lambda: "Stream cleanup complete: 2/2 keys deleted" in red.log_text(), red)

    # Removal: py-src clears with the flow it read at its start.
    red.get("/frame?text=b")
    assert {"redis_py-src_0", "redis_py-down_0"} <= keys(client)
    red.deploy_as(stream_flow(redis_url, broker, source=False), "nodes")
    within(lambda: keys(client) == {"redis_py-sink_0"})


def test_a_wrong_password_is_a_red_status_and_a_catch_without_the_password(
    red, redis_server, redis_url, broker
):
    admin = redis.Redis.from_url(redis_url)
    admin.config_set("requirepass", "the-right-one")
    try:
        red.deploy(stream_flow(redis_url, broker, password=SECRET))
        broker.wait_for_subscription("mqtt_local_py-src")
        assert red.get("/frame?text=c") == ["FRAME-C"]  # the message went on
        told = "'stream keys not stored: Redis at " + redis_url
        caught = re.compile(r"error: \{\s+message: " + re.escape(told))
        shown = re.compile(r"fill: 'red',\s+shape: 'ring',\s+text: " + re.escape(told))
        within(lambda: caught.search(red.log_text()) and shown.search(red.log_text()), red)
        assert "stream keys not cleared: Redis at " + redis_url in red.log_text()
        workers = python_node.children(red.process.pid)
        seen = [pathlib.Path(f"/proc/{pid}/{part}").read_bytes() for pid in workers
                for part in ("environ", "cmdline")]  # fmt: skip
        assert workers and not any(SECRET.encode() in text for text in seen)
        assert SECRET not in json.dumps(red.request("GET", "/flows")) + red.log_text()
    finally:
        redis.Redis.from_url(redis_url, password="the-right-one").config_set("requirepass", "")


def test_a_broker_that_goes_away_and_comes_back(red, redis_url, broker):
    client = redis.Redis.from_url(redis_url)
    red.deploy(stream_flow(redis_url, broker))
    broker.wait_for_subscription("mqtt_local_py-src")
    broker.stop()
    assert red.get("/frame?text=gone") == ["FRAME-GONE"]
    within(lambda: "PublishError: MQTT broker at " + broker.url in red.log_text())
    before = len(broker.log_text())
    broker.start()
    within(lambda: "mqtt_local_py-src" in broker.log_text()[before:])  # subscribed again
    red.get("/frame?text=back")
    assert heard(client, '"back"', red)["result"] == ["back"]
