"""Publishing a node's results over MQTT.

``NaloPublisher`` keeps one connection to a broker and publishes result
payloads (the dictionaries of ``meta_info_to_publish``) as JSON, each on the
node's local MQTT key (``gen_mqtt_key_local(node_id)``) or on a topic given.
``publish_result`` does the same once: connect, publish, disconnect.
``encode_payload`` is the JSON encoding alone.

The broker is given as a URL, ``mqtt://[user[:password]@]host[:port]``
(port 1883 by default), else taken from the environment variable
``NALO_MQTT_URL``, else ``mqtt://127.0.0.1:1883``.

The client is paho-mqtt (Debian's python3-paho-mqtt); it is imported on the
first connection, so that the encoding works without it.
"""

import math
import os
import threading
import urllib.parse
import uuid

import nalo_sdk.constants
from nalo_sdk import urls
from nalo_sdk.urls import shown as _shown

URL_ENV = "NALO_MQTT_URL"
DEFAULT_URL = "mqtt://127.0.0.1:1883"
DEFAULT_PORT = 1883
# Seconds to wait for the TCP connection, the broker's CONNACK and the
# acknowledgement of one message: a broker that does not answer must not
# hold a node's pipeline for minutes.
DEFAULT_TIMEOUT = 5.0
DEFAULT_KEEPALIVE = 60


class PublishError(ConnectionError):
    """A payload could not be handed to the broker; the message names the
    broker's URL and why."""


def default_url():
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


def to_plain(value, path=()):
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


def encode_payload(payload):
    """Return the payload as the bytes of a compact JSON text.

    ``payload`` is usually the dictionary of ``meta_info_to_publish``; its
    "result" may hold floats, lists, nested lists of numbers, NumPy scalars
    and arrays (see ``to_plain``). The text is ASCII (other characters are
    escaped), so that any string, even one with lone surrogates, encodes."""
    import json

    return json.dumps(to_plain(payload), separators=(",", ":"), allow_nan=False).encode("ascii")


def parse_url(url):
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


def _paho():
    try:
        import paho.mqtt.client as mqtt
    except ImportError as error:
        raise ImportError(
            "publishing needs paho-mqtt: install the Debian package python3-paho-mqtt"
        ) from error
    return mqtt


def topic_for(payload, node_id=None, topic=None):
    """The topic of a payload: ``topic`` when given, else the local MQTT key
    of ``node_id``, else of the payload's "id", else of the running node."""
    if topic is not None:
        return topic
    if node_id is None:
        node_id = nalo_sdk.constants.NODE_ID
        if isinstance(payload, dict):
            node_id = payload.get("id", node_id)
    from nalo_sdk.mqtt.utils import gen_mqtt_key_local

    return gen_mqtt_key_local(node_id)


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

    def __init__(
        self,
        url=None,
        *,
        timeout=DEFAULT_TIMEOUT,
        qos=1,
        keepalive=DEFAULT_KEEPALIVE,
        client_id=None,
    ):
        """``url``: the broker (default: ``NALO_MQTT_URL``, else
        ``mqtt://127.0.0.1:1883``). ``timeout``: seconds for connecting and
        for each acknowledgement. ``qos``: 0 (sent, unacknowledged) or 1
        (``publish`` returns once the broker has it). ``client_id``: the MQTT
        client id (default: a new unique one)."""
        self.url = url if url is not None else default_url()
        if not isinstance(self.url, str):
            raise TypeError(f"url must be a str, not {type(self.url).__name__}")
        self.host, self.port, self._username, self._password = parse_url(self.url)
        if qos not in (0, 1, 2) or isinstance(qos, bool):
            raise ValueError(f"qos must be 0, 1 or 2, not {qos!r}")
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self.timeout = float(timeout)
        self.qos = qos
        self.keepalive = keepalive
        self.client_id = client_id if client_id is not None else f"nalo-{uuid.uuid4().hex[:16]}"
        self._client = None
        # The client being connected or connected: callbacks of any other
        # (one closed meanwhile) change nothing.
        self._current = None
        self._lock = threading.Lock()
        self._connected = threading.Event()
        self._answered = threading.Event()
        self._refused = None

    def __repr__(self):
        state = "connected" if self._connected.is_set() else "not connected"
        return f"NaloPublisher({_shown(self.url)}, {state})"

    def _fail(self, why):
        return PublishError(f"MQTT broker at {_shown(self.url)}: {why}")

    def _make_client(self, mqtt):
        options = {"client_id": self.client_id, "clean_session": True}
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

    # paho 1: CONNACK's return code, an int.
    def _on_connect(self, client, userdata, flags, rc, properties=None):
        if client is not self._current:
            return
        if rc == 0:
            self._refused = None
            self._connected.set()
        else:
            self._refused = rc
        self._answered.set()

    def _on_disconnect(self, client, userdata, rc, properties=None):
        if client is self._current:
            self._connected.clear()

    # paho 2: a reason code object. A refusal over MQTT 3.1.1 keeps its
    # CONNACK return code, so that the message names it as paho 1 does.
    def _on_connect_reason(self, client, userdata, flags, reason, properties):
        rc = 0
        if reason.is_failure:
            rc = _CONNACK_CODES.get(reason.value, reason)
        self._on_connect(client, userdata, flags, rc)

    def _on_disconnect_reason(self, client, userdata, flags, reason, properties):
        self._on_disconnect(client, userdata, reason)

    def connect(self):
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
            raise self._fail(f"connection refused: {mqtt.connack_string(refused)}")
        return client

    def publish(self, payload, node_id=None, *, topic=None, retain=False):
        """Publish ``payload`` as JSON and return the topic used.

        The topic is ``topic`` when given, else ``gen_mqtt_key_local`` of
        ``node_id``, else of the payload's "id". With ``qos`` 1 or 2 this
        returns once the broker has acknowledged the message; with 0 once it
        is written to the connection. Raises ``PublishError`` when that does
        not happen within ``timeout`` seconds, and ``TypeError`` or
        ``ValueError`` for a payload that has no JSON form (nothing is sent
        then). A message whose acknowledgement timed out stays queued in the
        client and may still reach the broker while the connection lives."""
        data = encode_payload(payload)
        topic = topic_for(payload, node_id, topic)
        client = self._connection()
        if not self._connected.wait(self.timeout):
            raise self._fail(f"connection lost and not back within {self.timeout} s")
        info = client.publish(topic, data, qos=self.qos, retain=retain)
        try:
            info.wait_for_publish(self.timeout)
        except (RuntimeError, ValueError) as error:
            raise self._fail(f"publishing on {topic!r} failed: {error}") from error
        if not info.is_published():
            raise self._fail(
                f"no acknowledgement of the message on {topic!r} within {self.timeout} s"
            )
        return topic

    @staticmethod
    def _shut(client):
        try:
            client.disconnect()
        finally:
            client.loop_stop()

    def close(self):
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

    def __enter__(self):
        return self.connect()

    def __exit__(self, *exc):
        self.close()


def publish_result(
    payload, node_id=None, *, topic=None, url=None, timeout=DEFAULT_TIMEOUT, qos=1, retain=False
):
    """Publish one payload on its own connection (connect, publish,
    disconnect) and return the topic used. The arguments are those of
    ``NaloPublisher`` and its ``publish``."""
    # Refuse a payload without a JSON form before connecting at all.
    encode_payload(payload)
    with NaloPublisher(url, timeout=timeout, qos=qos) as publisher:
        return publisher.publish(payload, node_id, topic=topic, retain=retain)
