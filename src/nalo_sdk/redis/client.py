"""The kit's Redis wrapper: key listing and bulk deletion over redis-py,
on one Redis server or on a Redis Cluster."""

from __future__ import annotations

import contextlib
import inspect
import os
import urllib.parse
from typing import TYPE_CHECKING, Any

import redis
import redis.cluster
from redis.backoff import NoBackoff
from redis.crc import key_slot
from redis.retry import Retry

from nalo_sdk import settings, urls
from nalo_sdk.urls import shown

if TYPE_CHECKING:
    from collections.abc import Iterable, Mapping
    from typing import Self, TypeVar

    # A key name as the caller gave it, str or bytes.
    _Key = TypeVar("_Key", bound="str | bytes")

URL_ENV = "NALO_REDIS_URL"
DEFAULT_URL = "redis://127.0.0.1:6379/0"
DEFAULT_SCAN_COUNT = 1000
DEFAULT_DELETE_BATCH = 1000
# Without a connect timeout an unreachable host (not a refused port) would
# hang the node's first request for minutes.
DEFAULT_CONNECT_TIMEOUT = 5.0
# Without a read timeout a server that stops answering (stopped, swapping,
# a listener that is not Redis, a TLS URL on a plain port) holds the cleanup
# for ever. No request of the kit takes the server long: a SCAN step (COUNT
# 1000) or an UNLINK of 1000 keys is a matter of milliseconds, even on a
# store of millions of keys (a whole SCAN pass over 1,000,000 keys takes
# about half a second on loopback). 10 s is twice Redis's own busy-script limit
# (busy-reply-threshold, 5 s), after which a busy server answers BUSY rather
# than nothing, and leaves room for a fork or a disk stall on a small board.
DEFAULT_READ_TIMEOUT = 10.0
# A connection idle for longer is checked with a PING before it carries a
# request, so that one the server or a firewall dropped meanwhile fails
# before a request is written into it. A node cleans up now and then, far
# apart: 30 s is well below the idle limits of firewalls and NAT (minutes),
# and costs one round trip only after such a pause.
DEFAULT_HEALTH_CHECK_INTERVAL = 30
# Retries, so that the read timeout bounds every request with any redis-py.
# One server: none (a request fails after one read timeout). A cluster tries
# a command three times in all, reloading the slot map after a connection
# error: redis-py 4 does so without a setting; from 5 on the cluster takes a
# retry policy, whose default would try four times with growing pauses.
SERVER_RETRIES = 0
CLUSTER_RETRIES = 2
_CLUSTER_TAKES_RETRY = "retry" in inspect.signature(redis.cluster.RedisCluster).parameters


def _take_connection(pool):
    """A connection of ``pool``: redis-py 4 wants the command's name, from
    5.3 on that argument is optional and deprecated."""
    name = inspect.signature(pool.get_connection).parameters.get("command_name")
    if name is not None and name.default is inspect.Parameter.empty:
        return pool.get_connection("SCAN")
    return pool.get_connection()


# redis-py's errors of the connection, which say the server's address at
# best: these are raised again with the server's URL in front.
NAMED_ERRORS = (
    redis.ConnectionError,
    redis.TimeoutError,
    redis.exceptions.RedisClusterException,
)
# The URL schemes of a Redis Cluster, and the scheme of each of its nodes.
CLUSTER_SCHEMES = {"redis+cluster": "redis", "rediss+cluster": "rediss"}
DEFAULT_PORT = 6379


def default_url() -> str:
    """The server URL from ``NALO_REDIS_URL``, else the local default."""
    return os.environ.get(URL_ENV) or DEFAULT_URL


def key_text(name: str | bytes) -> str:
    """A key name as ``str``.

    Key names are binary in Redis. Names that are not UTF-8 are decoded with
    surrogate escapes, so that ``key_bytes`` gives back the very name (and
    delete_many deletes that key instead of failing or naming another)."""
    if isinstance(name, bytes):
        return name.decode("utf-8", "surrogateescape")
    return name


def key_bytes(name: str | bytes) -> bytes:
    """A key name as the bytes Redis knows it by (``key_text`` undone)."""
    if isinstance(name, str):
        return name.encode("utf-8", "surrogateescape")
    return name


def is_cluster_url(url: object) -> bool:
    """Whether ``url`` names a Redis Cluster (``redis+cluster://``,
    ``rediss+cluster://``)."""
    return isinstance(url, str) and url.split("://", 1)[0].lower() in CLUSTER_SCHEMES


def _cluster_seeds(url):
    """The URL of the first seed node, as redis-py takes it, and the
    ``ClusterNode`` of every further seed.

    ``redis+cluster://[user:password@]host:port[,host:port...][/0][?options]``:
    the nodes listed are where the client first asks for the cluster's
    layout; it then finds every other node itself."""
    bad = f"bad Redis Cluster URL {shown(url)!r}"
    try:
        parts = urls.split(url)
        scheme = CLUSTER_SCHEMES[parts.scheme.lower()]
        userinfo, at, hosts = parts.netloc.rpartition("@")
        seeds = []
        for text in hosts.split(","):
            # Each host:port parsed on its own, so that [::1]:7000 works too.
            node = urls.split("//" + text.strip())
            seeds.append((node.hostname, urls.port(node, DEFAULT_PORT)))
    except ValueError as error:
        raise ValueError(f"{bad}: {error}") from None
    for host, _port in seeds:
        if not host:
            raise ValueError(f"{bad}: a node without a host")
    if parts.path not in ("", "/", "/0"):
        raise ValueError(f"{bad}: a cluster has only database 0, not {parts.path[1:]!r}")
    host, port = seeds[0]
    netloc = f"{userinfo}{at}[{host}]:{port}" if ":" in host else f"{userinfo}{at}{host}:{port}"
    first = urllib.parse.urlunsplit((scheme, netloc, "", parts.query, ""))
    return first, [redis.cluster.ClusterNode(host, port) for host, port in seeds[1:]]


def _check_server_url(url):
    """Refuse what redis-py would take silently or name with the password:
    a database path that is not a number (redis-py then uses database 0,
    and the cleanup would delete there), a port that is not a number."""
    bad = f"bad Redis URL {shown(url)!r}"
    try:
        parts = urls.split(url)
        if parts.scheme.lower() not in ("redis", "rediss"):
            return  # unix:// names its database in the query; redis-py refuses others
        urls.port(parts, DEFAULT_PORT)
    except ValueError as error:
        raise ValueError(f"{bad}: {error}") from None
    database = urllib.parse.unquote(parts.path)[1:]
    if database and not (database.isascii() and database.isdigit()):
        raise ValueError(f"{bad}: the database {database!r} is not a number")


def _check_options(client, url):
    """Refuse query fields that redis-py takes for options of the
    connection but the connection has no such option: it would fail with a
    TypeError naming the field only at the first request, and the field may
    be the rest of a password that holds "&". One connection object is made
    as the pool makes them (this opens no socket) and dropped."""
    pool = client.connection_pool
    try:
        pool.connection_class(**pool.connection_kwargs)
    except TypeError:
        raise ValueError(
            f"bad Redis URL {shown(url)!r}: a query field that is no option of a Redis "
            "connection (a password that holds '&' must write it %26)"
        ) from None


def _positive_int(value, what):
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{what} must be a positive int, not {value!r}")
    return value


class NaloRedis:
    """A Redis connection of the kit.

    Built from a server URL (``redis://host:port/db``, ``rediss://...`` for
    TLS, ``unix:///path/to/socket``), a Redis Cluster URL
    (``redis+cluster://host:port[,host:port...]``, ``rediss+cluster://...``
    for TLS; the nodes listed are seeds, the client finds the others) or
    from an existing redis-py client (``redis.Redis`` or
    ``redis.cluster.RedisCluster``). Without either, the URL comes from the
    host (``nalo_sdk.settings``: the Redis server of the running node, with
    its password), else ``NALO_REDIS_URL``, else
    ``redis://127.0.0.1:6379/0``. The redis-py
    client is ``_redis_client``; it returns values as bytes, so binary
    values are safe.

    On a cluster, ``scan_keys`` lists the keys of every primary and
    ``delete_many`` deletes keys of any hash slots, grouped by slot.

    Every request waits at most ``socket_connect_timeout`` (default 5 s) for
    the connection and ``socket_timeout`` (default 10 s) for each answer;
    an idle connection is checked with a PING before reuse after
    ``health_check_interval`` seconds (default 30). Each can be given as a
    keyword or in the URL's query (``?socket_timeout=2``), which wins.

    Errors from the server or the connection are raised to the caller as
    redis-py exceptions; nothing is swallowed here, and a request to one
    server is not retried, so that it ends within the two timeouts. A
    cluster client tries a command up to three times in all, reloading its
    slot map after a connection error or timeout (redis-py 4 does so by
    itself; later versions are set to). Those of the
    connection (``redis.ConnectionError``, ``redis.TimeoutError``, and
    ``RedisClusterException`` of a cluster that cannot be reached) are
    raised again as the same type, their text prefixed with "Redis at
    <URL>: " (the URL without its password) and chained to the original.
    No password is ever shown, in a repr or in a message.
    """

    url: str | None
    scan_count: int
    delete_batch: int
    # redis.Redis or redis.cluster.RedisCluster
    _redis_client: Any

    def __init__(
        self,
        url: str | None = None,
        *,
        client: redis.Redis | redis.cluster.RedisCluster | None = None,
        scan_count: int = DEFAULT_SCAN_COUNT,
        delete_batch: int = DEFAULT_DELETE_BATCH,
        **client_options: Any,
    ) -> None:
        """``url``: the server URL; ``client``: an existing redis-py client
        to use instead (not both). ``scan_count``: the COUNT hint of each SCAN
        request; ``delete_batch``: the number of keys per UNLINK request.
        Further keyword arguments go to ``redis.Redis.from_url`` (for a
        cluster URL, ``redis.cluster.RedisCluster.from_url``)."""
        self.scan_count = _positive_int(scan_count, "scan_count")
        self.delete_batch = _positive_int(delete_batch, "delete_batch")
        if client is not None:
            if url is not None or client_options:
                raise ValueError("give either a client or a URL with options, not both")
            self._redis_client = client
            self.url = None
            self._where = repr(client)
            return
        if url is None:
            url = settings.get("redis_url")
            password = settings.get("redis_password")
            if url is not None and password is not None:
                client_options.setdefault("password", password)
        self.url = url if url is not None else default_url()
        if not isinstance(self.url, str):
            raise TypeError(f"url must be a str, not {type(self.url).__name__}")
        self._where = shown(self.url)
        if not self.url.startswith("unix:"):
            # redis-py's Unix socket connections take no connect timeout.
            client_options.setdefault("socket_connect_timeout", DEFAULT_CONNECT_TIMEOUT)
        # Keywords: redis-py lets the URL's query win over them. (redis-py
        # 4.3 passes no health check interval to the nodes of a cluster.)
        client_options.setdefault("socket_timeout", DEFAULT_READ_TIMEOUT)
        client_options.setdefault("health_check_interval", DEFAULT_HEALTH_CHECK_INTERVAL)
        if is_cluster_url(self.url):
            if _CLUSTER_TAKES_RETRY:
                client_options.setdefault("retry", Retry(NoBackoff(), CLUSTER_RETRIES))
            first, others = _cluster_seeds(self.url)
            if others:
                client_options["startup_nodes"] = others + list(
                    client_options.get("startup_nodes") or []
                )
            # Connects at once, to learn which node serves which slots.
            with self._server_named():
                self._redis_client = redis.cluster.RedisCluster.from_url(first, **client_options)
        else:
            _check_server_url(self.url)
            client_options.setdefault("retry", Retry(NoBackoff(), SERVER_RETRIES))
            self._redis_client = redis.Redis.from_url(self.url, **client_options)
            _check_options(self._redis_client, self.url)

    @property
    def cluster(self) -> bool:
        """Whether the client is a Redis Cluster client."""
        return isinstance(self._redis_client, redis.cluster.RedisCluster)

    def __repr__(self) -> str:
        return f"NaloRedis({self._where})"

    @contextlib.contextmanager
    def _server_named(self):
        """Raise the connection errors of redis-py inside the block again,
        as the same type, naming the server."""
        try:
            yield
        except NAMED_ERRORS as error:
            where = f"Redis at {self._where}"
            text = str(error)
            if text.startswith(where):
                raise
            try:
                named = type(error)(f"{where}: {text}")
            except Exception:  # a type that wants other arguments: as it is
                named = None
            if named is None:
                raise
            raise named from error

    def ping(self) -> bool:
        """Ask the server for a reply; True, or a redis-py exception."""
        with self._server_named():
            return bool(self._redis_client.ping())

    def scan_keys(self, pattern: str = "*", count: int | None = None) -> list[str]:
        """Return the names (``str``) of the keys that match the glob
        ``pattern``, each once.

        One full SCAN pass with MATCH ``pattern`` and COUNT ``count`` (default
        ``scan_count``); on a cluster, one pass on every primary, the
        primaries scanning at the same time. SCAN may report a key more than
        once while the key space is being resized; the duplicates are
        dropped. Keys created or deleted during the pass may or may not be
        listed.
        """
        count = self.scan_count if count is None else _positive_int(count, "count")
        names: dict[str, None] = {}
        with self._server_named():
            if self.cluster:
                found = self._scan_cluster(pattern, count)
            else:
                found = self._redis_client.scan_iter(match=pattern, count=count)
            for name in found:
                names[key_text(name)] = None
        return list(names)

    def _scan_cluster(self, pattern, count):
        """The names matching ``pattern`` on every primary.

        The time of a pass is the servers' own (each walks its part of the
        key space), so the primaries are scanned in lockstep: each round
        sends the next SCAN to every primary still scanning before it reads
        any answer. One pass over N primaries then takes about as long as
        the largest part, not the sum of all."""
        taken = []
        found = []
        try:
            for node in self._redis_client.get_primaries():
                pool = node.redis_connection.connection_pool
                taken.append((pool, _take_connection(pool)))
            cursors = [0] * len(taken)
            active = list(range(len(taken)))
            while active:
                for index in active:
                    taken[index][1].send_command(
                        "SCAN", cursors[index], "MATCH", pattern, "COUNT", count
                    )
                for index in active:
                    cursor, names = taken[index][1].read_response()
                    cursors[index] = int(cursor)
                    found += names
                active = [index for index in active if cursors[index] != 0]
        except BaseException:
            # Answers may still be pending on these connections: never hand
            # them back to the pool as they are.
            for _, connection in taken:
                connection.disconnect()
            raise
        finally:
            for pool, connection in taken:
                pool.release(connection)
        return found

    def delete_many(self, keys: Iterable[str | bytes]) -> int:
        """Delete the keys named in ``keys`` and return how many existed.

        The distinct names are sent in UNLINK requests of at most
        ``delete_batch`` keys, all in one pipelined round trip (not a
        transaction, so the server is never blocked for the whole list).
        Missing keys are not counted; an empty list makes no request.

        On a cluster one UNLINK may only name keys of one hash slot: the
        names are grouped by slot, each group sent in requests of at most
        ``delete_batch`` keys, all in one cluster pipeline (a round trip per
        node).
        """
        if isinstance(keys, (str, bytes)):
            # A single name would otherwise be taken letter by letter.
            raise TypeError("delete_many takes a list of key names, not a single name")
        names = list(dict.fromkeys(key_bytes(key) for key in keys))
        if not names:
            return 0
        step = self.delete_batch
        with self._server_named():
            if self.cluster:
                return self._delete_many_cluster(names, step)
            pipe = self._redis_client.pipeline(transaction=False)
            for start in range(0, len(names), step):
                pipe.unlink(*names[start : start + step])
            return sum(pipe.execute())

    def set_many(self, values: Mapping[str | bytes, bytes | str]) -> None:
        """Set each key of ``values`` to its value (``str`` as UTF-8), in
        one pipelined round trip, not a transaction; on a cluster, a round
        trip per node. An empty mapping makes no request."""
        if not values:
            return
        with self._server_named():
            if len(values) == 1:
                ((key, value),) = values.items()
                self._redis_client.set(key_bytes(key), value)
                return
            if self.cluster:
                pipe = self._redis_client.pipeline()
            else:
                pipe = self._redis_client.pipeline(transaction=False)
            for key, value in values.items():
                pipe.set(key_bytes(key), value)
            pipe.execute()

    def existing(self, keys: Iterable[_Key]) -> list[_Key]:
        """The names in ``keys`` that exist, in the order given (one
        pipelined round trip)."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("existing takes a list of key names, not a single name")
        keys = list(keys)
        if not keys:
            return []
        with self._server_named():
            pipe = self._redis_client.pipeline(transaction=False)
            for key in keys:
                pipe.exists(key_bytes(key))
            found = pipe.execute()
        return [key for key, there in zip(keys, found) if there]

    def _delete_many_cluster(self, names, step):
        by_slot = {}
        for name in names:
            by_slot.setdefault(key_slot(name), []).append(name)
        pipe = self._redis_client.pipeline()
        for slot_names in by_slot.values():
            for start in range(0, len(slot_names), step):
                # execute_command queues the request: a cluster pipeline's own
                # unlink() would run at once, outside the pipeline, and its
                # count would be lost.
                pipe.execute_command("UNLINK", *slot_names[start : start + step])
        return sum(pipe.execute())

    def close(self) -> None:
        """Close the client's connections."""
        self._redis_client.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
