"""Publishing a node's results over MQTT.

``NaloPublisher`` keeps one connection to a broker and publishes result
payloads (the dictionaries of ``meta_info_to_publish``) as JSON, each on the
node's local MQTT key (``gen_mqtt_key_local(node_id)``) or on a topic given.
``publish_result`` does the same once: connect, publish, disconnect.
``encode_payload`` is the JSON encoding alone.

The broker is given as a URL, ``mqtt://[user[:password]@]host[:port]``
(port 1883 by default), with the user name and password there or given
apart; else it is the broker of the running node that the host names
(``nalo_sdk.settings``, with its user name and password), else the URL in
the environment variable ``NALO_MQTT_URL``, else ``mqtt://127.0.0.1:1883``.

The client is paho-mqtt (Debian's python3-paho-mqtt); it is imported on the
first connection, so that the encoding works without it.
"""

from __future__ import annotations

import math
import os
import threading
import time
import urllib.parse
import uuid
from typing import TYPE_CHECKING, Any

import nalo_sdk.constants
from nalo_sdk import settings, urls
from nalo_sdk.urls import shown as _shown

if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import Self

URL_ENV = "NALO_MQTT_URL"
DEFAULT_URL = "mqtt://127.0.0.1:1883"
DEFAULT_PORT = 1883
# Seconds to wait for the TCP connection, the broker's CONNACK and the
# acknowledgement of one message: a broker that does not answer must not
# hold a node's pipeline for minutes.
DEFAULT_TIMEOUT = 5.0
# The longest wait taken: a day is beyond any sensible bound on a publish,
# and well within what the thread and socket waits can hold.
MAX_TIMEOUT = 86400.0
DEFAULT_KEEPALIVE = 60
# CONNECT carries the keepalive in two bytes; 0 turns it off.
MAX_KEEPALIVE = 65535
# The protocol versions a publisher speaks. Over MQTT 5 the broker tells
# its maximum packet size in CONNACK; over 3.1.1 it says nothing and just
# closes the connection on a larger packet.
PROTOCOLS = ("3.1.1", "5")
DEFAULT_PROTOCOL = "3.1.1"
# The largest PUBLISH packet MQTT can encode (a remaining length of at most
# 268,435,455 bytes, after a fixed header of at most 5). A broker that takes
# less and does not say so (MQTT 3.1.1) must be told through max_packet_size.
MQTT_MAX_PACKET_SIZE = 268_435_455 + 5
# A topic to publish on: 1 to 65535 bytes of UTF-8, without the wildcards of
# subscriptions and without NUL, which MQTT forbids in any string.
MAX_TOPIC_BYTES = 65535
TOPIC_FORBIDDEN = ("+", "#", "\0")


class PublishError(ConnectionError):
    """A payload could not be handed to the broker; the message names the
    broker's URL and why."""


def default_url() -> str:
    """The broker URL from ``NALO_MQTT_URL``, else the local default."""
    return os.environ.get(URL_ENV) or DEFAULT_URL


_NOT_NUMPY = object()


def _numpy_plain(value):
    """A NumPy scalar or array as plain Python numbers and lists, or
    ``_NOT_NUMPY`` when ``value`` is neither (NumPy is not imported for
    that)."""
    module = type(value).__module__
    if module != "numpy" and not module.startswith("numpy."):
        return _NOT_NUMPY
    if hasattr(value, "tolist"):
        # Arrays of any shape become nested lists of Python scalars; scalars
        # (float32, int64, bool_) their Python value.
        return value.tolist()
    return _NOT_NUMPY


def _where(path):
    return "payload" + "".join(path)


def to_plain(value: object, path: Iterable[str] = ()) -> Any:
    """Return ``value`` as JSON-ready Python data: dicts, lists, str, int,
    float, bool and None.

    Tuples and NumPy arrays become lists, NumPy scalars their Python value;
    floats that are not finite (NaN, infinities) become None, as JSON has no
    such numbers and a JSON parser at the other end would refuse the whole
    message. Mapping keys become text as ``json`` makes them. Anything else
    (bytes, sets, arbitrary objects), a container that holds itself and a
    mapping with two keys of the same text (1 and "1") raise ``TypeError``
    or ``ValueError`` naming where in the payload it is."""
    try:
        return _plain(value, list(path), set())
    except RecursionError:
        raise ValueError(f"{_where(path)} is nested too deeply for JSON") from None


def _plain(value, path, active):
    kind = type(value)
    if kind is str or kind is int or kind is bool or value is None:
        return value
    if kind is float:
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple, dict)):
        marker = id(value)
        if marker in active:
            raise ValueError(f"{_where(path)} holds itself: a circular reference is not JSON")
        active.add(marker)
        try:
            if isinstance(value, dict):
                plain = {}
                for key, item in value.items():
                    text = _key(key, path)
                    if text in plain:
                        # JSON would carry both and its reader keep one.
                        raise ValueError(f"{_where(path)} has two keys named {text!r} in JSON")
                    plain[text] = _plain(item, path + [f"[{key!r}]"], active)
                return plain
            return [_plain(item, path + [f"[{index}]"], active) for index, item in enumerate(value)]
        finally:
            active.discard(marker)
    # Subclasses (enumerations, NumPy's float64) keep their exact value.
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        number = float(value)
        return number if math.isfinite(number) else None
    if isinstance(value, str):
        return str.__str__(value)
    converted = _numpy_plain(value)
    if converted is not _NOT_NUMPY:
        return _plain(converted, path, active)
    raise TypeError(f"{_where(path)} is a {kind.__name__}, which has no JSON form")


def _key(key, path):
    """A mapping key as text, the way ``json`` turns keys into text."""
    if isinstance(key, str):
        return str.__str__(key)
    converted = _numpy_plain(key)
    if converted is not _NOT_NUMPY and not isinstance(converted, list):
        key = converted
    if isinstance(key, bool) or key is None:
        return "true" if key is True else "false" if key is False else "null"
    if isinstance(key, int):
        return str(int(key))
    if isinstance(key, float):
        number = float(key)
        if math.isnan(number):
            return "NaN"
        if math.isinf(number):
            return "Infinity" if number > 0 else "-Infinity"
        return repr(number)
    raise TypeError(
        f"{_where(path)} has a key of type {type(key).__name__}, which JSON cannot name"
    )


def encode_payload(payload: object) -> bytes:
    """Return the payload as the bytes of a compact JSON text.

    ``payload`` is usually the dictionary of ``meta_info_to_publish``; its
    "result" may hold floats, lists, nested lists of numbers, NumPy scalars
    and arrays (see ``to_plain``). The text is ASCII (other characters are
    escaped), so that any string, even one with lone surrogates, encodes."""
    import json

    return json.dumps(to_plain(payload), separators=(",", ":"), allow_nan=False).encode("ascii")


def parse_url(url: str) -> tuple[str, int, str | None, str | None]:
    """``(host, port, username, password)`` of an ``mqtt://`` URL."""
    bad = f"bad MQTT broker URL {_shown(url)!r}"
    try:
        parts = urls.split(url)
        port = urls.port(parts, DEFAULT_PORT)
    except ValueError as error:
        raise ValueError(f"{bad}: {error}") from None
    if parts.scheme.lower() != "mqtt":
        raise ValueError(f"{bad}: the scheme must be mqtt://")
    if not parts.hostname:
        raise ValueError(f"{bad}: no host")
    if parts.path not in ("", "/") or parts.query or "?" in url or "#" in url:
        raise ValueError(f"{bad}: nothing may follow host:port")
    unquote = urllib.parse.unquote
    username = unquote(parts.username) if parts.username is not None else None
    password = unquote(parts.password) if parts.password is not None else None
    return parts.hostname, port, username, password


# The MQTT 3.1.1 CONNACK return codes of the reason codes that paho 2 reports
# for them (MQTT 5 numbering).
_CONNACK_CODES = {132: 1, 133: 2, 136: 3, 134: 4, 135: 5}
# Filled in when paho is loaded: the states of a message waiting for its
# acknowledgement, and paho's code for a message not sent for want of a
# connection.
_IN_FLIGHT = ()
_NOT_CONNECTED = None
# How often a publish looks again for a connection that went unnoticed.
RECONNECT_POLL = 0.02


def _varint_length(value):
    """Bytes of MQTT's variable byte integer for ``value``."""
    length = 1
    while value >= 128:
        value //= 128
        length += 1
    return length


def packet_size(topic: str, data: bytes, qos: int, protocol: str = DEFAULT_PROTOCOL) -> int:
    """The size in bytes of the PUBLISH packet that carries ``data`` on
    ``topic``: fixed header, topic, packet id (QoS 1 and 2), the empty
    property list of MQTT 5, payload."""
    remaining = 2 + len(topic.encode("utf-8")) + (2 if qos else 0) + len(data)
    if protocol == "5":
        remaining += 1
    return 1 + _varint_length(remaining) + remaining


def check_topic(topic: str, what: str | None = None) -> str:
    """``topic``, or ``ValueError`` when it cannot be published on; ``what``
    says where it came from."""
    if not isinstance(topic, str):
        raise TypeError(f"topic must be a str, not {type(topic).__name__}")
    what = what or f"topic {topic!r}"
    try:
        size = len(topic.encode("utf-8"))
    except UnicodeEncodeError:
        size = None
    forbidden = [char for char in TOPIC_FORBIDDEN if char in topic]
    if size is None or not 0 < size <= MAX_TOPIC_BYTES or forbidden:
        raise ValueError(
            f"{what} cannot be published on: a topic is 1 to {MAX_TOPIC_BYTES} "
            "bytes of UTF-8 text without '+', '#' or NUL"
        )
    return topic


def _number_in(value, name, low, high, *, integer=False, low_open=False):
    """``value`` when it is a number in its range, else ``ValueError`` naming
    the setting and the range."""
    kinds = (int,) if integer else (int, float)
    shown_range = f"{'more than' if low_open else 'from'} {low:g} to {high:.15g}"
    if isinstance(value, bool) or not isinstance(value, kinds):
        raise ValueError(
            f"{name} must be {'an int' if integer else 'a number'} {shown_range}, " f"not {value!r}"
        )
    if not (low < value if low_open else low <= value) or not value <= high:
        raise ValueError(f"{name} must be {shown_range}, not {value!r}")
    return value


def _paho():
    global _IN_FLIGHT, _NOT_CONNECTED
    try:
        import paho.mqtt.client as mqtt
    except ImportError as error:
        raise ImportError(
            "publishing needs paho-mqtt: install the Debian package python3-paho-mqtt"
        ) from error
    # The states of a message sent and waiting for its acknowledgement.
    _IN_FLIGHT = (
        mqtt.mqtt_ms_wait_for_puback,
        mqtt.mqtt_ms_wait_for_pubrec,
        mqtt.mqtt_ms_wait_for_pubcomp,
    )
    _NOT_CONNECTED = mqtt.MQTT_ERR_NO_CONN
    return mqtt


def topic_for(payload: object, node_id: str | None = None, topic: str | None = None) -> str:
    """The topic of a payload: ``topic`` when given, else the local MQTT key
    of ``node_id``, else of the payload's "id", else of the running node
    (the host's, else ``NODE_ID``). ``ValueError`` for a topic that cannot
    be published on."""
    if topic is not None:
        return check_topic(topic)
    if node_id is None:
        node_id = settings.get("node_id") or nalo_sdk.constants.NODE_ID
        if isinstance(payload, dict):
            node_id = payload.get("id", node_id)
    from nalo_sdk.mqtt.utils import gen_mqtt_key_local

    topic = gen_mqtt_key_local(node_id)
    return check_topic(topic, f"the topic {topic!r} of node id {node_id!r}")


class NaloPublisher:
    """One connection to an MQTT broker, publishing result payloads.

    ``connect()`` (or entering a ``with`` block, or the first ``publish``)
    opens it: the TCP connection, then the broker's CONNACK, each within
    ``timeout`` seconds, else ``PublishError``. paho's network thread keeps
    the connection alive and reconnects after a loss; ``publish`` waits up to
    ``timeout`` for it to be back. ``close()`` disconnects and ends that
    thread.

    One publisher may be shared by threads: connecting and closing take a
    lock, so that threads that publish at once share one connection, and a
    publisher never has two clients (which, having one client id, would
    throw each other off the broker).
    """

    url: str
    host: str
    port: int
    timeout: float
    qos: int
    keepalive: int
    protocol: str
    max_packet_size: int
    client_id: str

    def __init__(
        self,
        url: str | None = None,
        *,
        timeout: float = DEFAULT_TIMEOUT,
        qos: int = 1,
        keepalive: int = DEFAULT_KEEPALIVE,
        client_id: str | None = None,
        protocol: str = DEFAULT_PROTOCOL,
        max_packet_size: int = MQTT_MAX_PACKET_SIZE,
        username: str | None = None,
        password: str | None = None,
    ) -> None:
        """``url``: the broker (default: the running node's broker as its
        host names it, else ``NALO_MQTT_URL``, else
        ``mqtt://127.0.0.1:1883``). ``username``, ``password``: the login,
        when the URL holds none (not both: ``ValueError``). ``timeout``: seconds for connecting and
        for each acknowledgement, more than 0 and at most a day. ``qos``: 0
        (sent, unacknowledged) or 1 (``publish`` returns once the broker has
        it). ``keepalive``: seconds between the client's pings, 0 (none) to
        65535. ``client_id``: the MQTT client id (default: a new unique
        one). ``protocol``: "3.1.1" or "5". ``max_packet_size``: the largest
        packet in bytes that the broker takes (default: the most MQTT can
        carry); over MQTT 5 the broker's own limit, when it states a smaller
        one, wins. A payload whose packet is larger is refused before it is
        sent."""
        if url is None and settings.get("mqtt_url") is not None:
            url = settings.get("mqtt_url")
            if username is None and password is None:
                username = settings.get("mqtt_username") or None
                password = settings.get("mqtt_password") or None
        self.url = url if url is not None else default_url()
        if not isinstance(self.url, str):
            raise TypeError(f"url must be a str, not {type(self.url).__name__}")
        self.host, self.port, self._username, self._password = parse_url(self.url)
        if username is not None or password is not None:
            if self._username is not None:
                raise ValueError(
                    f"MQTT broker at {_shown(self.url)}: a login in the URL and "
                    "username or password given apart: give one of them"
                )
            if username is None:
                raise ValueError("a password without a username: MQTT sends none such")
            self._username, self._password = username, password
        if qos not in (0, 1, 2) or isinstance(qos, bool):
            raise ValueError(f"qos must be 0, 1 or 2, not {qos!r}")
        self.timeout = float(_number_in(timeout, "timeout", 0, MAX_TIMEOUT, low_open=True))
        self.qos = qos
        self.keepalive = _number_in(keepalive, "keepalive", 0, MAX_KEEPALIVE, integer=True)
        if protocol not in PROTOCOLS:
            raise ValueError(f"protocol must be one of {', '.join(PROTOCOLS)}, not {protocol!r}")
        self.protocol = protocol
        self.max_packet_size = _number_in(
            max_packet_size, "max_packet_size", 1, MQTT_MAX_PACKET_SIZE, integer=True
        )
        # The broker's limit from its CONNACK (MQTT 5), else None.
        self._broker_max_packet_size = None
        # Connections lost so far, to tell a drop during a publish.
        self._losses = 0
        self.client_id = client_id if client_id is not None else f"nalo-{uuid.uuid4().hex[:16]}"
        self._client = None
        # The client being connected or connected: callbacks of any other
        # (one closed meanwhile) change nothing.
        self._current = None
        self._lock = threading.Lock()
        self._connected = threading.Event()
        self._answered = threading.Event()
        self._refused = None

    def __repr__(self) -> str:
        state = "connected" if self._connected.is_set() else "not connected"
        return f"NaloPublisher({_shown(self.url)}, {state})"

    def _fail(self, why):
        return PublishError(f"MQTT broker at {_shown(self.url)}: {why}")

    def _make_client(self, mqtt):
        options = {"client_id": self.client_id}
        if self.protocol == "5":
            # A clean start is paho's default there; it takes no clean_session.
            options["protocol"] = mqtt.MQTTv5
        else:
            options["clean_session"] = True
        version = getattr(mqtt, "CallbackAPIVersion", None)
        if version is not None:
            # paho 2 wants the callback signatures named; its first ones are
            # deprecated, so the current ones are used there.
            options["callback_api_version"] = version.VERSION2
        client = mqtt.Client(**options)
        if self._username is not None:
            client.username_pw_set(self._username, self._password)
        # paho 1.6 has no public setting for the TCP connect timeout (2.0
        # added connect_timeout); its default is 5 s whatever we are given.
        if hasattr(type(client), "connect_timeout"):
            client.connect_timeout = self.timeout
        else:
            client._connect_timeout = self.timeout
        if version is not None:
            client.on_connect = self._on_connect_reason
            client.on_disconnect = self._on_disconnect_reason
        else:
            client.on_connect = self._on_connect
            client.on_disconnect = self._on_disconnect
        return client

    # paho 1: CONNACK's return code, an int (a reason code object over MQTT 5).
    def _on_connect(self, client, userdata, flags, rc, properties=None):
        if client is not self._current:
            return
        if rc == 0:
            self._refused = None
            # Absent from CONNACK: no limit but the protocol's.
            self._broker_max_packet_size = getattr(properties, "MaximumPacketSize", None)
            self._connected.set()
        else:
            self._refused = rc
        self._answered.set()

    def _on_disconnect(self, client, userdata, rc, properties=None):
        if client is self._current:
            self._losses += 1
            self._connected.clear()

    # paho 2: a reason code object. A refusal over MQTT 3.1.1 keeps its
    # CONNACK return code, so that the message names it as paho 1 does.
    def _on_connect_reason(self, client, userdata, flags, reason, properties):
        rc = 0
        if reason.is_failure:
            rc = _CONNACK_CODES.get(reason.value, reason)
        self._on_connect(client, userdata, flags, rc, properties)

    def _on_disconnect_reason(self, client, userdata, flags, reason, properties):
        self._on_disconnect(client, userdata, reason)

    def connect(self) -> Self:
        """Connect to the broker, unless connected already; returns self."""
        self._connection()
        return self

    def _connection(self):
        """The connected client, connecting first when there is none."""
        with self._lock:
            if self._client is None:
                self._client = self._open()
            return self._client

    def _open(self):
        # Called with the lock held. A client that fails here is shut before
        # the error is raised: no network thread is left behind.
        mqtt = _paho()
        client = self._make_client(mqtt)
        self._current = client
        self._answered.clear()
        self._connected.clear()
        try:
            client.connect(self.host, self.port, keepalive=self.keepalive)
        except (TimeoutError, OSError) as error:
            reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
            if isinstance(error, TimeoutError):
                reason = f"no connection within {self.timeout} s"
            raise self._fail(f"unreachable: {reason}") from error
        client.loop_start()
        if not self._answered.wait(self.timeout):
            self._shut(client)
            raise self._fail(f"no CONNACK within {self.timeout} s")
        if self._refused is not None:
            refused = self._refused
            self._shut(client)
            why = mqtt.connack_string(refused) if isinstance(refused, int) else str(refused)
            raise self._fail(f"connection refused: {why}")
        return client

    def publish(
        self,
        payload: object,
        node_id: str | None = None,
        *,
        topic: str | None = None,
        retain: bool = False,
    ) -> str:
        """Publish ``payload`` as JSON and return the topic used.

        The topic is ``topic`` when given, else ``gen_mqtt_key_local`` of
        ``node_id``, else of the payload's "id". With ``qos`` 1 or 2 this
        returns once the broker has acknowledged the message; with 0 once it
        is written to the connection. Raises ``PublishError`` when that does
        not happen within ``timeout`` seconds or when the message's packet
        is larger than the broker takes (``max_packet_size``, or the limit
        the broker stated), and ``TypeError`` or ``ValueError`` for a payload
        that has no JSON form or a topic that cannot be published on (nothing
        is sent then, and no connection opened). A message that failed is
        taken out of the client's queue: it is never sent again, so that the
        messages after it go through."""
        data = encode_payload(payload)
        topic = topic_for(payload, node_id, topic)
        self._check_size(topic, data)
        client = self._connection()
        deadline = time.monotonic() + self.timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self._connected.wait(remaining):
                raise self._fail(f"connection lost and not back within {self.timeout} s")
            self._check_size(topic, data)  # against the limit of this connection's CONNACK
            losses = self._losses
            info = client.publish(topic, data, qos=self.qos, retain=retain)
            if info.rc != _NOT_CONNECTED:
                break
            # The connection went between the wait and the send, before the
            # network thread had told us: the message was not sent. It leaves
            # the client's queue, so that it is not sent twice, and goes again
            # once the connection is back.
            self._forget(client, info)
            time.sleep(RECONNECT_POLL)
        try:
            info.wait_for_publish(self.timeout)
        except (RuntimeError, ValueError) as error:
            self._forget(client, info)
            raise self._fail(f"publishing on {topic!r} failed: {error}") from error
        if not info.is_published():
            self._forget(client, info)
            lost = ""
            if self._losses != losses:
                lost = (
                    f" (the broker closed the connection meanwhile: is the packet of "
                    f"{packet_size(topic, data, self.qos, self.protocol)} bytes over its "
                    "maximum packet size? Give that as max_packet_size)"
                )
            raise self._fail(
                f"no acknowledgement of the message on {topic!r} within {self.timeout} s{lost}"
            )
        return topic

    def _packet_limit(self):
        broker = self._broker_max_packet_size
        return min(self.max_packet_size, broker) if broker else self.max_packet_size

    def _check_size(self, topic, data):
        size = packet_size(topic, data, self.qos, self.protocol)
        limit = self._packet_limit()
        if size > limit:
            raise self._fail(
                f"the message on {topic!r} is a packet of {size} bytes, larger than the "
                f"{limit} bytes the broker takes; not sent"
            )

    @staticmethod
    def _forget(client, info):
        """Take the message of ``info`` out of the client's queue, so that
        the client does not send it again after a reconnection (as it does
        with every message not acknowledged): a message the broker refuses
        would otherwise cost the connection again and again. paho has no
        call for this; both generations keep the queue in ``_out_messages``
        under ``_out_message_mutex``."""
        with client._out_message_mutex:
            message = client._out_messages.pop(info.mid, None)
            if message is not None and message.state in _IN_FLIGHT:
                # It held a place among the messages in flight; paho counts
                # them anew on reconnection only.
                client._inflight_messages = max(0, client._inflight_messages - 1)

    @staticmethod
    def _shut(client):
        try:
            client.disconnect()
        finally:
            client.loop_stop()

    def close(self) -> None:
        """Disconnect and end the network thread; a closed publisher
        connects again on the next ``publish``."""
        with self._lock:
            client, self._client = self._client, None
            self._current = None
            self._connected.clear()
            if client is not None:
                # Under the lock: the next connection, with the same client
                # id, opens only once this one is shut.
                self._shut(client)

    def __enter__(self) -> Self:
        return self.connect()

    def __exit__(self, *exc: object) -> None:
        self.close()


def publish_result(
    payload: object,
    node_id: str | None = None,
    *,
    topic: str | None = None,
    url: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
    qos: int = 1,
    retain: bool = False,
    username: str | None = None,
    password: str | None = None,
) -> str:
    """Publish one payload on its own connection (connect, publish,
    disconnect) and return the topic used. The arguments are those of
    ``NaloPublisher`` and its ``publish``."""
    # Refuse a payload without a JSON form, or a topic that cannot be
    # published on, before connecting at all.
    encode_payload(payload)
    topic_for(payload, node_id, topic)
    with NaloPublisher(
        url, timeout=timeout, qos=qos, username=username, password=password
    ) as publisher:
        return publisher.publish(payload, node_id, topic=topic, retain=retain)
