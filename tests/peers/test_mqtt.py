import json
import threading
import time

import numpy as np
import paho.mqtt.client as mqtt
import pytest

from nalo_sdk.mqtt import NaloPublisher, PublishError, publish_result
from nalo_sdk.mqtt.utils import gen_mqtt_key_local, meta_info_to_publish
from devkit.peers import ThrowawayMosquitto


class Subscriber:
    def __init__(self, broker, topic):
        self.messages = []
        self._arrived = threading.Condition()
        client_id = f"test-sub-{time.monotonic_ns()}"
        # paho 2 names the callback signatures (on_message's is the same in
        # both generations); paho 1 has no such argument.
        version = getattr(mqtt, "CallbackAPIVersion", None)
        options = {"callback_api_version": version.VERSION2} if version else {}
        self.client = mqtt.Client(client_id=client_id, **options)
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        self.client.subscribe(topic, qos=1)
        # This client's own subscription: the topic's earlier subscribers
        # are in the broker's log too.
        broker.wait_for_subscription(topic, client_id)

    def _on_message(self, client, userdata, message):
        with self._arrived:
            self.messages.append(message)
            self._arrived.notify_all()

    def wait_for(self, count, timeout=10):
        with self._arrived:
            self._arrived.wait_for(lambda: len(self.messages) >= count, timeout)
            return list(self.messages)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


@pytest.fixture
def subscribe(mosquitto):
    made = []

    def subscribe(topic):
        made.append(Subscriber(mosquitto, topic))
        return made[-1]

    yield subscribe
    for subscriber in made:
        subscriber.close()


# (result as a node holds it, the same result as JSON gives it back)
RESULTS = {
    "numpy scalars and arrays": (
        [{
            "score": np.float32(0.75),
            "class_id": np.int64(3),
            "box": np.array([1.5, 2, 3, 4], dtype=np.float32),
            "mask": np.array([[0, 1], [1, 0]], dtype=np.uint8),
            "kept": np.bool_(True),
            "area": np.float64(12.25),
        }],
        [{"score": 0.75, "class_id": 3, "box": [1.5, 2.0, 3.0, 4.0], "mask": [[0, 1], [1, 0]],
          "kept": True, "area": 12.25}],
    ),
    "text beyond ASCII": (
        [{"label": "chien 🐕", "zone": "Café 入口"}],
        [{"label": "chien 🐕", "zone": "Café 入口"}],
    ),
}  # fmt: skip


@pytest.mark.parametrize("case", RESULTS)
def test_payload_arrives_at_a_subscriber(mosquitto, subscribe, case):
    result, expected = RESULTS[case]
    topic = gen_mqtt_key_local("cam-node.1")
    subscriber = subscribe(topic)
    payload = meta_info_to_publish(
        "Front gate",
        "cam1",
        7,
        result,
        node_id="cam-node.1",
        node_type="detector",
        infer_t=0.123456,
    )

    assert publish_result(payload, url=mosquitto.url) == topic

    (message,) = subscriber.wait_for(1)
    assert message.topic == topic
    got = json.loads(message.payload)
    assert list(got) == list(payload)
    assert got == dict(payload, result=expected)


@pytest.mark.parametrize("qos", [0, 1])
def test_a_kept_connection_delivers_in_order(mosquitto, subscribe, qos):
    subscriber = subscribe("results/ordered")
    sent = [meta_info_to_publish("cam", "c", i, [i * 0.5]) for i in range(50)]
    with NaloPublisher(mosquitto.url, qos=qos) as publisher:
        for payload in sent:
            assert publisher.publish(payload, topic="results/ordered") == "results/ordered"
    got = [json.loads(m.payload) for m in subscriber.wait_for(len(sent))]
    assert got == sent


def test_payload_reaches_a_node_red_flow(node_red, mosquitto, tmp_path):
    topic = gen_mqtt_key_local("951c6365.64e4d8")
    out = tmp_path / "received.jsonl"
    flow = [
        {"id": "nalo.tab", "type": "tab", "label": "mqtt to file"},
        {"id": "nalo.broker", "type": "mqtt-broker", "name": "throwaway",
         "broker": "127.0.0.1", "port": str(mosquitto.port), "clientid": "nalo-node-red-in",
         "autoConnect": True, "usetls": False, "protocolVersion": "4", "keepalive": "60",
         "cleansession": True},
        {"id": "nalo.in", "type": "mqtt in", "z": "nalo.tab", "topic": topic, "qos": "1",
         "datatype": "utf8", "broker": "nalo.broker", "nl": False, "rap": True, "rh": 0,
         "inputs": 0, "wires": [["nalo.file"]]},
        {"id": "nalo.file", "type": "file", "z": "nalo.tab", "filename": str(out),
         "filenameType": "str", "appendNewline": True, "createDir": False,
         "overwriteFile": "false", "encoding": "utf8", "wires": [[]]},
    ]  # fmt: skip
    node_red.deploy(flow)
    # The mqtt in node subscribes once its broker connection is up.
    mosquitto.wait_for_subscription(topic, "nalo-node-red-in", timeout=20)

    result, expected = RESULTS["numpy scalars and arrays"]
    payload = meta_info_to_publish(
        "Front gate",
        "cam1",
        3,
        result,
        node_id="951c6365.64e4d8",
        node_type="detector",
        infer_t=0.05,
    )
    publish_result(payload, url=mosquitto.url)

    deadline = time.monotonic() + 20
    while not (out.exists() and out.read_text().endswith("\n")) and time.monotonic() < deadline:
        time.sleep(0.02)
    lines = out.read_text().splitlines() if out.exists() else []
    assert len(lines) == 1, node_red.log_tail(10)
    assert json.loads(lines[0]) == dict(payload, result=expected)


def test_broker_gone_is_an_error_not_a_hang():
    with ThrowawayMosquitto() as broker:
        publisher = NaloPublisher(broker.url, timeout=1).connect()
        publisher.publish({"id": "n"})
        broker.stop()
        try:
            with pytest.raises(PublishError, match=f"MQTT broker at {broker.url}: "):
                publisher.publish({"id": "n"})
        finally:
            publisher.close()


def test_threads_publishing_first_at_once_share_one_connection(mosquitto, subscribe):
    subscriber = subscribe("results/shared")
    before = set(threading.enumerate())
    publisher = NaloPublisher(mosquitto.url)
    start = threading.Barrier(6)
    errors = []

    def publish(number):
        start.wait()
        try:
            publisher.publish({"n": number}, topic="results/shared")
        except Exception as error:  # kept for the assertion below
            errors.append(error)

    threads = [threading.Thread(target=publish, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    publisher.close()
    assert errors == []
    assert set(threading.enumerate()) == before  # no network thread left behind
    # One connection, so no client took over another's session.
    log = mosquitto.log_text()
    assert log.count(f" as {publisher.client_id} ") == 1
    assert f"Client {publisher.client_id} already connected" not in log

    publisher.publish({"n": 6}, topic="results/shared")  # connects again after close()
    publisher.close()
    got = sorted(json.loads(m.payload)["n"] for m in subscriber.wait_for(7))
    assert got == list(range(7))


@pytest.mark.parametrize("qos", [0, 1])
def test_a_connection_lost_unnoticed_before_the_send_costs_no_message(mosquitto, subscribe, qos):
    """The broker dropped the connection and the network thread has not told
    yet: paho refuses the message as not connected. It goes once the
    connection is back, once."""
    subscriber = subscribe("results/unnoticed")
    with NaloPublisher(mosquitto.url, qos=qos) as publisher:
        client = publisher._client
        sends = client.publish

        def refused_once(*args, **kwargs):
            client.publish = sends
            info = mqtt.MQTTMessageInfo(0)
            info.rc = mqtt.MQTT_ERR_NO_CONN
            return info

        client.publish = refused_once
        publisher.publish({"n": 1}, topic="results/unnoticed")
        publisher.publish({"n": 2}, topic="results/unnoticed")
    subscriber.wait_for(2)
    time.sleep(0.2)  # a copy sent twice would be here by now
    assert [json.loads(m.payload) for m in subscriber.messages] == [{"n": 1}, {"n": 2}]


LIMIT = 2000  # bytes of a packet the broker below takes


class LimitedMosquitto(ThrowawayMosquitto):
    """A broker that takes packets of at most ``LIMIT`` bytes: over MQTT 5 it
    says so in CONNACK, over 3.1.1 it closes the connection of a client that
    sends more."""

    def _prepare(self):
        super()._prepare()
        with open(self.config_path, "a", encoding="utf-8") as config:
            config.write(f"max_packet_size {LIMIT}\n")


@pytest.fixture(scope="module")
def limited_broker():
    with LimitedMosquitto() as broker:
        yield broker


# Bytes of the packet of {"blob": ""} on "results/big" with QoS 1: fixed
# header 3 (a remaining length of two bytes), topic 2 + 11, packet id 2,
# JSON 11, and over MQTT 5 an empty property list, 1.
OVERHEAD = {"3.1.1": 29, "5": 30}


@pytest.mark.parametrize(
    "options, excess, problem",
    [
        ({"protocol": "5"}, 1, f"a packet of {LIMIT + 1} bytes, larger than the {LIMIT} bytes"),
        ({"max_packet_size": LIMIT}, 1, f"a packet of {LIMIT + 1} bytes, larger than the {LIMIT}"),
        # Over 3.1.1 without the limit given the broker drops the connection
        # (mosquitto 2.0 lets 3.1.1 packets a few bytes over its limit pass).
        ({}, 100, r"within 3.0 s \(the broker closed the connection meanwhile: is the packet"),
    ],
)
def test_an_oversize_payload_does_not_poison_the_publisher(
    limited_broker, options, excess, problem
):
    subscriber = Subscriber(limited_broker, "results/big")
    fits = LIMIT - OVERHEAD[options.get("protocol", "3.1.1")]
    try:
        with NaloPublisher(limited_broker.url, timeout=3, **options) as publisher:
            publisher.publish({"blob": "x" * fits}, topic="results/big")
            with pytest.raises(PublishError, match=problem):
                publisher.publish({"blob": "x" * (fits + excess)}, topic="results/big")
            for number in range(3):
                publisher.publish({"n": number}, topic="results/big")
        got = [json.loads(m.payload) for m in subscriber.wait_for(4)]
    finally:
        subscriber.close()
    assert got == [{"blob": "x" * fits}, {"n": 0}, {"n": 1}, {"n": 2}]
