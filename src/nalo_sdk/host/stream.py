"""A node's stream keys: what its output ports send, kept in Redis, and the
cleanup of its stream.

When the node has a Redis server, every message that leaves output port P
(returned by ``on_input`` or given to ``node.send``) has its ``payload``
stored under ``gen_redis_key_local(node id, P)`` ("redis_<id>_<P>") before
the message goes on, so that a node downstream that reads the key finds
the payload of the message it was sent (or a later one). What is stored is
the payload as the next node gets it:

- a Buffer (``bytes``, ``bytearray``, ``memoryview``, a NumPy array): its
  bytes, as they are;
- a string: its UTF-8 bytes;
- anything else: its JSON text (UTF-8), as ``JSON.stringify`` writes the
  payload in Node.js: NaN and infinities as ``null``, a Buffer inside it as
  ``{"type": "Buffer", "data": [...]}``.

A message without a payload stores nothing; of several messages on one
port, the last is stored. A store that fails does not hold the message
back: the error goes to Catch nodes and the node's status, and the keys of
the next messages are not tried for a while (1 s, doubling up to 30 s), so
that a Redis server that has gone away does not hold every message for a
timeout (2 s for the connection and for each answer).

The cleanup is the kit's ``clear_stream_redis_keys`` over the flows as
deployed, with port 0's key as the output key; its log lines (logger
``REDIS_FLOWSWEEP``) become the node's log lines.
"""

import json
import logging
import threading
import time

from nalo_sdk.host import frames
from nalo_sdk.redis.utils import gen_redis_key_local
from nalo_sdk.urls import shown

RETRY_FIRST = 1.0
RETRY_MAX = 30.0
CONNECT_TIMEOUT = 2.0
READ_TIMEOUT = 2.0
_LEVELS = {"DEBUG": "debug", "INFO": "info", "WARNING": "warn"}


def payload_bytes(payload):
    """The bytes stored for ``payload`` (see the module's text)."""
    if isinstance(payload, str):
        return payload.encode("utf-8", "replace")
    extras, buffers = [], []
    plain = frames._plain(payload, [], extras, buffers, 0)
    if extras and extras[0][0] == []:  # the payload itself is a buffer, NaN or infinity
        return buffers[0] if buffers else b"null"
    views = iter(buffers)
    for path, kind, *_ in extras:
        place = {"type": "Buffer", "data": list(next(views))} if kind == "b" else None
        plain = frames._place(plain, path, place)
    return json.dumps(plain, ensure_ascii=False, separators=(",", ":")).encode("utf-8", "replace")


def port_messages(sent, outputs):
    """``{port: message}`` of what a node sends: a message (port 0), or a
    list with an entry per port, each a message, None or a list of
    messages (the last one counts). Ports from ``outputs`` on send nothing."""
    if isinstance(sent, dict):
        sent = [sent]
    if not isinstance(sent, (list, tuple)):
        return {}
    found = {}
    for port, item in enumerate(sent[:outputs]):
        if isinstance(item, (list, tuple)):
            item = next((m for m in reversed(item) if isinstance(m, dict) and "payload" in m), None)
        if isinstance(item, dict) and "payload" in item:
            found[port] = item
    return found


class _Forward(logging.Filter):
    """Takes the records of one thread off a logger, handing them to ``into``."""

    def __init__(self, into):
        super().__init__()
        self.thread = threading.get_ident()
        self.into = into

    def filter(self, record):
        if threading.get_ident() != self.thread:
            return True
        self.into.append((record.levelname, record.getMessage()))
        return False


class Stream:
    """The stream keys of one node. ``tell(fields, seq=None)`` sends the
    node a ``stream`` frame (``ok``, ``text``, ``status``); ``log(level,
    text)`` a log line."""

    def __init__(self, node, settings, tell, log):
        self.node = node
        self.settings = settings
        self._tell = tell
        self._log = log
        self._redis = None
        self._lock = threading.Lock()
        self._failing = False
        self._retry_at = 0.0
        self._delay = RETRY_FIRST
        self._skipped = 0

    @property
    def configured(self):
        return self.settings is not None and self.settings.redis_url is not None

    def _named(self, text):
        """``text`` with the server in front, unless it names it already
        (redis-py's errors of the server itself do not)."""
        where = f"Redis at {shown(self.settings.redis_url)}"
        return text if text.startswith(where) else f"{where}: {text}"

    def redis(self):
        """The node's Redis connection, made on first use."""
        with self._lock:
            if self._redis is None:
                from nalo_sdk.redis.client import NaloRedis

                url, password = self.settings.redis_url, self.settings.redis_password
                # A store on a server that works takes well under a millisecond.
                options = {"socket_timeout": READ_TIMEOUT}
                if not url.startswith("unix:"):
                    options["socket_connect_timeout"] = CONNECT_TIMEOUT
                if password is not None:
                    options["password"] = password
                self._redis = NaloRedis(url, **options)
            return self._redis

    def store(self, sent, seq=None):
        """Stores the payloads that ``sent`` (what the node sends) carries;
        ``seq``: the message being handled, which a failure is told with."""
        if not self.configured:
            return
        messages = port_messages(sent, self.node.outputs)
        if not messages:
            return
        with self._lock:
            if self._failing and time.monotonic() < self._retry_at:
                self._skipped += 1
                return
        values = {
            gen_redis_key_local(self.node.id, port): payload_bytes(msg["payload"])
            for port, msg in messages.items()
        }
        try:
            self.redis().set_many(values)
        except Exception as error:
            with self._lock:
                self._failing = True
                self._retry_at = time.monotonic() + self._delay
                self._delay = min(self._delay * 2, RETRY_MAX)
            text = f"stream keys not stored: {self._named(str(error))}"
            self._tell({"ok": False, "text": text, "status": text}, seq)
            return
        except BaseException:
            self.close()  # an interrupt may leave a reply unread on the connection
            raise
        if self._failing:
            with self._lock:
                skipped, self._skipped = self._skipped, 0
                self._failing = False
                self._delay = RETRY_FIRST
            self._tell({"ok": True, "text": f"stream keys stored again ({skipped} not stored)"})

    def clear(self, flow, record):
        """The cleanup of the node's stream over ``flow`` (a ``NaloFlow``),
        ``record`` the node's record there; True when it succeeded."""
        from nalo_sdk.redis.flowsweep import clear_stream_redis_keys, logger

        lines = []
        forward = _Forward(lines)
        logger.addFilter(forward)
        try:
            done = clear_stream_redis_keys(
                self.redis(), flow, record, gen_redis_key_local(self.node.id, 0)
            )
        except Exception as error:
            done = False
            lines.append(("ERROR", str(error)))
        finally:
            logger.removeFilter(forward)
        errors = [text for level, text in lines if level not in _LEVELS]
        for level, text in lines:
            if level in _LEVELS:
                self._log(_LEVELS[level], text)
        if not done:
            self.fail_clear(self._named("; ".join(errors) or "the cleanup failed"))
        return done

    def fail_clear(self, why):
        text = f"stream keys not cleared: {why}"
        self._tell({"ok": False, "text": text, "status": text})

    def close(self):
        with self._lock:
            redis, self._redis = self._redis, None
        if redis is not None:
            try:
                redis.close()
            except Exception:
                pass
