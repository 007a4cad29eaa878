"""The kit's Redis wrapper: key listing and bulk deletion over redis-py."""

import os

import redis

URL_ENV = "NALO_REDIS_URL"
DEFAULT_URL = "redis://127.0.0.1:6379/0"
DEFAULT_SCAN_COUNT = 1000
DEFAULT_DELETE_BATCH = 1000
# Without a connect timeout an unreachable host (not a refused port) would
# hang the node's first request for minutes.
DEFAULT_CONNECT_TIMEOUT = 5.0


def default_url():
    """The server URL from ``NALO_REDIS_URL``, else the local default."""
    return os.environ.get(URL_ENV) or DEFAULT_URL


def key_text(name):
    """A key name as ``str``.

    Key names are binary in Redis. Names that are not UTF-8 are decoded with
    surrogate escapes, so that ``key_bytes`` gives back the very name (and
    delete_many deletes that key instead of failing or naming another)."""
    if isinstance(name, bytes):
        return name.decode("utf-8", "surrogateescape")
    return name


def key_bytes(name):
    """A key name as the bytes Redis knows it by (``key_text`` undone)."""
    if isinstance(name, str):
        return name.encode("utf-8", "surrogateescape")
    return name


def _positive_int(value, what):
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{what} must be a positive int, not {value!r}")
    return value


class NaloRedis:
    """A Redis connection of the kit.

    Built from a server URL (``redis://host:port/db``, ``rediss://...`` for
    TLS, ``unix:///path/to/socket``) or from an existing redis-py client.
    Without either, the URL comes from ``NALO_REDIS_URL``, else
    ``redis://127.0.0.1:6379/0``. The redis-py client is ``_redis_client``;
    it returns values as bytes, so binary values are safe.

    Errors from the server or the connection are raised to the caller as
    redis-py exceptions; nothing is retried or swallowed here.
    """

    def __init__(
        self,
        url=None,
        *,
        client=None,
        scan_count=DEFAULT_SCAN_COUNT,
        delete_batch=DEFAULT_DELETE_BATCH,
        **client_options,
    ):
        """``url``: the server URL; ``client``: an existing redis-py client
        to use instead (not both). ``scan_count``: the COUNT hint of each SCAN
        request; ``delete_batch``: the number of keys per UNLINK request.
        Further keyword arguments go to ``redis.Redis.from_url``."""
        self.scan_count = _positive_int(scan_count, "scan_count")
        self.delete_batch = _positive_int(delete_batch, "delete_batch")
        if client is not None:
            if url is not None or client_options:
                raise ValueError("give either a client or a URL with options, not both")
            self._redis_client = client
            self.url = None
            return
        self.url = url if url is not None else default_url()
        if not isinstance(self.url, str):
            raise TypeError(f"url must be a str, not {type(self.url).__name__}")
        if not self.url.startswith("unix:"):
            # redis-py's Unix socket connections take no connect timeout.
            client_options.setdefault("socket_connect_timeout", DEFAULT_CONNECT_TIMEOUT)
        self._redis_client = redis.Redis.from_url(self.url, **client_options)

    def __repr__(self):
        where = self.url if self.url is not None else repr(self._redis_client)
        return f"NaloRedis({where})"

    def ping(self):
        """Ask the server for a reply; True, or a redis-py exception."""
        return bool(self._redis_client.ping())

    def scan_keys(self, pattern="*", count=None):
        """Return the names (``str``) of the keys that match the glob
        ``pattern``, each once.

        One full SCAN pass with MATCH ``pattern`` and COUNT ``count`` (default
        ``scan_count``). SCAN may report a key more than once while the key
        space is being resized; the duplicates are dropped. Keys created or
        deleted during the pass may or may not be listed.
        """
        count = self.scan_count if count is None else _positive_int(count, "count")
        names = {}
        for name in self._redis_client.scan_iter(match=pattern, count=count):
            names[key_text(name)] = None
        return list(names)

    def delete_many(self, keys):
        """Delete the keys named in ``keys`` and return how many existed.

        The distinct names are sent in UNLINK requests of at most
        ``delete_batch`` keys, all in one pipelined round trip (not a
        transaction, so the server is never blocked for the whole list).
        Missing keys are not counted; an empty list makes no request.
        """
        if isinstance(keys, (str, bytes)):
            # A single name would otherwise be taken letter by letter.
            raise TypeError("delete_many takes a list of key names, not a single name")
        names = list(dict.fromkeys(key_bytes(key) for key in keys))
        if not names:
            return 0
        step = self.delete_batch
        pipe = self._redis_client.pipeline(transaction=False)
        for start in range(0, len(names), step):
            pipe.unlink(*names[start : start + step])
        return sum(pipe.execute())

    def close(self):
        """Close the client's connections."""
        self._redis_client.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
