"""Node-RED flows as the kit sees them.

``NaloFlow`` loads a flow export: the JSON file that Node-RED keeps its flows
in (``flows.json``), a list already parsed from one, or the flows deployed in
a running Node-RED, read through its admin HTTP API. Such a file is a JSON
array of records, one per tab, node, group, subflow or config node; flow
nodes carry an ``id`` and ``wires``, a list of output ports, each a list of
the ids of the nodes it feeds.

The flow is read from, in this order: the source given to ``NaloFlow``, the
flows of the host that runs the node (``nalo_sdk.settings``: in a Node-RED
node, the flows deployed there), the environment variable
``NALO_FLOWS_FILE``, ``~/.node-red/flows.json`` (Node-RED's own default).
A source that begins with ``http://`` or
``https://`` is the base URL of a running Node-RED (its ``httpAdminRoot``,
for example ``http://127.0.0.1:1880``): the deployed flows are fetched with
``GET <base>/flows``. When the admin API asks for a login, the bearer token
comes from ``token``, the host's, or the variable ``NALO_NODE_RED_TOKEN``.
The running node is the one given as ``node_id``, else the host's, else
``nalo_sdk.constants.NODE_ID`` (the variable ``NALO_NODE_ID``).

A flows file must be a regular file of at most ``MAX_FLOWS_BYTES`` (64 MiB);
an answer of the admin API the same size at most, complete within
``DEFAULT_HTTP_MAX_TIME`` (30 s). Node-RED's own flows of even a large
installation are well below 10 MB: more is not a flow export, and a device,
a FIFO or a peer that never ends its answer would otherwise hold the node or
fill its memory.
"""

from __future__ import annotations

import http.client
import json
import os
import socket
import stat
import threading
import urllib.error
import urllib.parse
import urllib.request

import nalo_sdk.constants
from nalo_sdk import settings, urls
from nalo_sdk.urls import shown as _shown

# True for type checkers only: this module does without importing typing.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, TypedDict, TypeGuard

    # A host's reader of its deployed flows: () -> (records, rev).
    FlowReader = Callable[[], "tuple[list[Any], Any]"]

    class ParsedFlow(TypedDict):
        """What ``NaloFlow.parse_flow`` returns (for type checkers only)."""

        cur_node: dict[str, Any]
        node_id: str
        nodes: dict[str, dict[str, Any]]
        records: list[dict[str, Any]]


FLOWS_ENV = "NALO_FLOWS_FILE"
NODE_ID_ENV = "NALO_NODE_ID"
TOKEN_ENV = "NALO_NODE_RED_TOKEN"
DEFAULT_FLOWS_FILE = "~/.node-red/flows.json"
# Long enough for a busy Node-RED on a small board, short enough that a node
# does not wait for minutes on an address that swallows its packets.
DEFAULT_HTTP_TIMEOUT = 10.0
# The whole exchange with the admin API, however the peer paces its bytes: a
# flows export comes from a Node-RED on the same host or network in well
# under a second; 30 s leaves a slow board room.
DEFAULT_HTTP_MAX_TIME = 30.0
# The largest flows file or admin API answer taken (see above).
MAX_FLOWS_BYTES = 64 * 1024 * 1024
READ_CHUNK = 64 * 1024
URL_SCHEMES = ("http://", "https://")
DEFAULT_PORTS = {"http": 80, "https": 443}
# Redirects followed within the Node-RED named (a proxy's added or dropped
# slash, an admin root moved): more is a loop or a misconfiguration.
MAX_REDIRECTS = 3


class FlowError(ValueError):
    """A flow that cannot be used; the message names its source and why."""


def default_flows_file() -> str:
    """The flows file from ``NALO_FLOWS_FILE``, else Node-RED's default."""
    return os.path.expanduser(os.environ.get(FLOWS_ENV) or DEFAULT_FLOWS_FILE)


def _kind(value):
    """What a JSON value is, in JSON's words, for error messages."""
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    return f"a {type(value).__name__}"


def is_flow_url(source: object) -> TypeGuard[str]:
    """Whether a flow source is the URL of a running Node-RED."""
    return isinstance(source, str) and source[:8].lower().startswith(URL_SCHEMES)


def flows_url(base_url: str) -> str:
    """The admin API's flows URL for a Node-RED base URL: ``<base>/flows``.
    A URL that already ends in ``/flows`` is taken as it is."""
    parts = urls.split(base_url)
    path = parts.path.rstrip("/")
    if not path.endswith("/flows"):
        path += "/flows"
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, path, parts.query, ""))


def _size(count):
    return f"{count / (1024 * 1024):g} MiB" if count >= 1024 * 1024 else f"{count} bytes"


def _too_large(count=None):
    of = f" ({_size(count)})" if count is not None else ""
    return f"larger than the {_size(MAX_FLOWS_BYTES)} a flows file may hold{of}"


def _file_kind(mode):
    for test, kind in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return kind
    return "not a file"


def _json_problem(error):
    """What a ValueError of ``json.loads`` other than a syntax error says: a
    number too long for Python to read. Its advice to raise the limit is for
    programmers, not for whoever reads this message."""
    return str(error).split(";")[0]


class _TimeLimit:
    """Shuts down the connections of one request when its time is up.

    A socket timeout bounds each read, not the exchange: a peer that sends a
    byte now and then keeps every read short. When ``seconds`` have passed,
    the connection opened for the request is shut down, which ends a read
    that waits, in the headers or the body alike; ``expired`` then says so.
    (A TLS handshake is bounded by the socket timeout alone.)
    """

    def __init__(self, seconds):
        self.seconds = seconds
        self.expired = False
        self._sockets = []
        self._lock = threading.Lock()
        self._timer = threading.Timer(seconds, self._expire)
        self._timer.daemon = True

    def watch(self, sock):
        with self._lock:
            self._sockets.append(sock)
            if self.expired:
                self._shut(sock)

    @staticmethod
    def _shut(sock):
        try:
            # socket.socket's own shutdown, also for a TLS socket: the read
            # of the other thread sees the end of the connection, and the
            # TLS object it reads with is left as it is.
            socket.socket.shutdown(sock, socket.SHUT_RDWR)
        except OSError:
            pass  # closed already

    def _expire(self):
        with self._lock:
            self.expired = True
            for sock in self._sockets:
                self._shut(sock)

    def opener(self, *handlers):
        """An opener like ``urlopen``'s whose connections are watched, with
        ``handlers`` in place of the default ones of their kind."""
        limit = self

        def watched(connection_class):
            class Watched(connection_class):
                def connect(self):
                    super().connect()
                    limit.watch(self.sock)

            return Watched

        class HTTPHandler(urllib.request.HTTPHandler):
            def http_open(self, req):
                return self.do_open(watched(http.client.HTTPConnection), req)

        class HTTPSHandler(urllib.request.HTTPSHandler):
            def https_open(self, req):
                return self.do_open(
                    watched(http.client.HTTPSConnection),
                    req,
                    context=self._context,
                    check_hostname=self._check_hostname,
                )

        return urllib.request.build_opener(HTTPHandler, HTTPSHandler, *handlers)

    def __enter__(self):
        self._timer.start()
        return self

    def __exit__(self, *exc):
        self._timer.cancel()


def _read_answer(answer, where):
    """The body of ``answer``, read in chunks, at most ``MAX_FLOWS_BYTES``."""
    if answer.length is not None and answer.length > MAX_FLOWS_BYTES:  # its Content-Length
        raise FlowError(f"{where}: the answer is {_too_large(answer.length)}")
    chunks = []
    size = 0
    while True:
        chunk = answer.read(READ_CHUNK)
        if not chunk:
            break
        size += len(chunk)
        if size > MAX_FLOWS_BYTES:
            raise FlowError(f"{where}: the answer is {_too_large()}")
        chunks.append(chunk)
    if answer.length:
        # http.client ends a read of a shortened answer quietly.
        raise FlowError(f"{where}: the connection closed {answer.length} bytes before the end")
    return b"".join(chunks)


def _origin(url):
    """``(scheme, host, port)`` of a URL, the port made explicit; None for a
    URL whose host part cannot be read."""
    try:
        parts = urls.split(url)
        scheme = parts.scheme.lower()
        return scheme, (parts.hostname or "").lower(), urls.port(parts, DEFAULT_PORTS.get(scheme))
    except ValueError:
        return None


class _SameOrigin(urllib.request.HTTPRedirectHandler):
    """Follows a redirect only within the origin (scheme, host, port) of the
    URL asked for, and only ``MAX_REDIRECTS`` times: the bearer token goes
    with every request, and must reach no other server. Anything else is a
    ``FlowError`` that names both URLs."""

    def __init__(self, url, where):
        self.where = where
        self.origin = _origin(url)

    def _refuse(self, fp, why):
        fp.close()  # the redirect's own answer, unread
        raise FlowError(f"{self.where}: {why}; not followed")

    def http_error_302(self, req, fp, code, msg, headers):
        location = headers.get("location") or headers.get("uri")
        if location:
            target = urllib.parse.urljoin(req.full_url, location.strip())
            to = f"redirected ({code}) to {_shown(target)!r}"
            if not is_flow_url(target):
                self._refuse(fp, f"{to}, which is not http or https")
            if _origin(target) != self.origin:
                self._refuse(fp, f"{to}, another origin than the one named")
            if len(getattr(req, "redirect_dict", ())) >= MAX_REDIRECTS:
                self._refuse(fp, f"{to}, after {MAX_REDIRECTS} redirects already")
        return super().http_error_302(req, fp, code, msg, headers)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


def fetch_deployed_flows(
    base_url: str,
    token: str | None = None,
    timeout: float = DEFAULT_HTTP_TIMEOUT,
    max_time: float = DEFAULT_HTTP_MAX_TIME,
) -> tuple[list[Any], Any]:
    """Return ``(records, rev)``: the flows deployed in the Node-RED at
    ``base_url`` and their revision (None from a Node-RED that answers in
    the first form of the API).

    Asks for the second form of the answer (``Node-RED-API-Version: v2``,
    an object with ``flows`` and ``rev``) and takes the first (a bare array
    of records) as well. Any failure raises ``FlowError`` naming the URL:
    no connection, no answer within ``timeout`` seconds (for the connection
    and for each read), an answer not complete within ``max_time`` seconds
    or larger than ``MAX_FLOWS_BYTES``, an HTTP error status, an answer that
    is not JSON or has no list of records.
    """
    try:
        url = flows_url(base_url)
    except ValueError as error:
        raise FlowError(f"Node-RED flows at {_shown(base_url)!r}: {error}") from None
    where = f"Node-RED flows at {_shown(url)!r}"
    if "@" in urllib.parse.urlsplit(url).netloc:
        # urllib would take it for part of the host name, and send it on.
        raise FlowError(
            f"{where}: a user part is not used: the admin API takes a bearer token "
            f"(token, or {TOKEN_ENV})"
        )
    if token is None:
        token = os.environ.get(TOKEN_ENV) or None
    headers = {"Accept": "application/json", "Node-RED-API-Version": "v2"}
    if token:
        headers["Authorization"] = f"Bearer {token}"
    request = urllib.request.Request(url, headers=headers, method="GET")
    limit = _TimeLimit(max_time)
    too_long = f"{where}: no complete answer within {max_time} s"
    try:
        opener = limit.opener(_SameOrigin(url, where))
        with limit, opener.open(request, timeout=timeout) as answer:
            content_type = answer.headers.get("Content-Type", "")
            body = _read_answer(answer, where)
    except FlowError as error:
        if limit.expired:
            raise FlowError(too_long) from error
        raise
    except urllib.error.HTTPError as error:
        hint = ""
        if error.code == 401:
            hint = f" (the admin API wants a login: pass token or set {TOKEN_ENV})"
        elif error.code == 404:
            hint = " (is this the Node-RED base URL, its httpAdminRoot?)"
        raise FlowError(f"{where}: HTTP {error.code} {error.reason}{hint}") from error
    except (OSError, http.client.HTTPException, ValueError) as error:
        if limit.expired:
            # The connection was shut down under a read.
            raise FlowError(too_long) from error
        reason = error.reason if isinstance(error, urllib.error.URLError) else error
        if isinstance(reason, (TimeoutError, socket.timeout)):
            raise FlowError(f"{where}: no answer within {timeout} s") from error
        if isinstance(error, urllib.error.URLError):
            text = getattr(reason, "strerror", None) or reason
            raise FlowError(f"{where}: cannot be reached: {text}") from error
        # A connection dropped half-way, a reply that is not HTTP, a URL that
        # urllib cannot use.
        raise FlowError(f"{where}: the request failed: {error!r}") from error
    if limit.expired:
        # The shutdown may also look like the end of the answer.
        raise FlowError(too_long)
    try:
        data = json.loads(body)
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        start = body[:60].decode("utf-8", "replace").strip()
        raise FlowError(
            f"{where}: the answer is not JSON ({content_type or 'no Content-Type'}, "
            f"{len(body)} bytes, begins {start!r})"
        ) from error
    except RecursionError as error:
        raise FlowError(f"{where}: the answer is not usable JSON: nested too deeply") from error
    except ValueError as error:
        problem = _json_problem(error)
        raise FlowError(f"{where}: the answer is not usable JSON: {problem}") from error
    if isinstance(data, dict):
        if not isinstance(data.get("flows"), list):
            raise FlowError(
                f"{where}: the answer is an object without a 'flows' list "
                f"(keys: {sorted(map(str, data))[:5]})"
            )
        return data["flows"], data.get("rev")
    if not isinstance(data, list):
        raise FlowError(f"{where}: the top level is {_kind(data)}, not a list of records")
    return data, None


def _describe(record):
    parts = [f"id {record['id']!r}"]
    for field in ("type", "name"):
        if record.get(field):
            parts.append(f"{field} {record[field]!r}")
    return ", ".join(parts)


class NaloFlow:
    """The records of one Node-RED flow export, indexed by node id.

    ``_records`` is the list of records as loaded, ``_nodes`` maps the id of
    every record that has one to that very record (a plain ``dict``).
    Loading checks what the kit relies on: a JSON array of objects, string
    ids that are unique, and ``wires`` (where present) as a list of ports
    that are lists of id strings. Anything else raises ``FlowError``.
    Nothing is ever written back.

    ``source`` is the file path or URL the flow came from (None for a list),
    ``rev`` the revision that Node-RED reported for its deployed flows (None
    for other sources).
    """

    source: str | None
    rev: Any
    node_id: str | None
    _records: list[dict[str, Any]]
    _nodes: dict[str, dict[str, Any]]

    def __init__(
        self,
        flow: str | os.PathLike[str] | list[Any] | FlowReader | None = None,
        node_id: str | None = None,
        *,
        token: str | None = None,
        timeout: float = DEFAULT_HTTP_TIMEOUT,
        max_time: float = DEFAULT_HTTP_MAX_TIME,
    ) -> None:
        """``flow``: a path to a flows JSON file, the base URL of a running
        Node-RED (``http://...``, ``https://...``), an already parsed list
        of records, or a function that returns ``(records, rev)`` (default:
        the host's flows, else ``NALO_FLOWS_FILE``, else
        ``~/.node-red/flows.json``). ``node_id``: the running node (default:
        the host's, else ``NODE_ID`` from ``nalo_sdk.constants``). ``token``,
        ``timeout`` and ``max_time`` apply to a URL only: the admin API's
        bearer token (default: the host's, else ``NALO_NODE_RED_TOKEN``), the
        seconds to wait for the connection and for each read, and the
        seconds the whole answer may take."""
        hosted = settings.current()
        if hosted is not None:
            if node_id is None:
                node_id = hosted.node_id
            if flow is None and hosted.flows is not None:
                flow = hosted.flows
                if token is None:
                    token = hosted.flows_token
        if flow is None:
            flow = default_flows_file()
        self.rev = None
        if callable(flow):
            # The host's own reader of its deployed flows.
            self.source = None
            records, self.rev = flow()
            self._where = "the deployed flows"
        elif is_flow_url(flow):
            self.source = flow
            records, self.rev = fetch_deployed_flows(
                flow, token=token, timeout=timeout, max_time=max_time
            )
            self._where = f"Node-RED flows at {_shown(flows_url(flow))!r}"
        elif isinstance(flow, (str, os.PathLike)):
            self.source = os.fspath(flow)
            records = self._read(self.source)
            self._where = f"flows file {self.source!r}"
        else:
            self.source = None
            records = flow
            self._where = "flow data"
        self.node_id = node_id
        self._records = self._check_records(records)
        self._nodes = self._index(self._records)

    def _read(self, path):
        where = f"flows file {path!r}"
        try:
            # Non-blocking, so that opening a FIFO does not wait for a writer;
            # what is opened is then checked, not the path (which may change).
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as error:
            raise FlowError(f"{where}: cannot be read: {error.strerror or error}") from error
        try:
            status = os.fstat(fd)
            if not stat.S_ISREG(status.st_mode):
                raise FlowError(f"{where}: not a regular file ({_file_kind(status.st_mode)})")
            if status.st_size > MAX_FLOWS_BYTES:
                raise FlowError(f"{where}: {_too_large(status.st_size)}")
            with open(fd, "rb", closefd=False) as file:
                # One byte more than allowed: a file that grew since is seen.
                data = file.read(MAX_FLOWS_BYTES + 1)
        except OSError as error:
            raise FlowError(f"{where}: cannot be read: {error.strerror or error}") from error
        finally:
            os.close(fd)
        if len(data) > MAX_FLOWS_BYTES:
            raise FlowError(f"{where}: {_too_large()}")
        if not data.strip():
            raise FlowError(f"{where}: is empty, not JSON")
        try:
            return json.loads(data)
        except json.JSONDecodeError as error:
            raise FlowError(
                f"{where}: not JSON: {error.msg} at line {error.lineno} column {error.colno}"
            ) from error
        except UnicodeDecodeError as error:
            raise FlowError(f"{where}: not JSON: not UTF-8 text ({error.reason})") from error
        except RecursionError as error:
            raise FlowError(f"{where}: not usable JSON: nested too deeply") from error
        except ValueError as error:
            raise FlowError(f"{where}: not usable JSON: {_json_problem(error)}") from error

    def _check_records(self, records):
        if not isinstance(records, list):
            hint = ""
            if isinstance(records, dict) and isinstance(records.get("flows"), list):
                hint = " (it looks like an admin API answer: pass its 'flows' list)"
            raise FlowError(
                f"{self._where}: the top level is {_kind(records)}, not a list of records{hint}"
            )
        for position, record in enumerate(records):
            # Exactly dict: the stream cleanup walks records with an exact
            # type test and would fail half-way on a subclass.
            if type(record) is not dict:
                raise FlowError(
                    f"{self._where}: record {position} is {_kind(record)}, not an object"
                )
            if "id" in record and not isinstance(record["id"], str):
                raise FlowError(
                    f"{self._where}: record {position} has an id that is "
                    f"{_kind(record['id'])}, not a string"
                )
            if "wires" in record:
                self._check_wires(position, record)
        return records

    def _check_wires(self, position, record):
        # A port that is a string would be walked letter by letter, each
        # letter taken for a node id: refuse it rather than clear the keys
        # of whatever single-letter ids exist.
        wires = record["wires"]
        problem = None
        if not isinstance(wires, list):
            problem = f"'wires' is {_kind(wires)}, not an array of ports"
        else:
            for port, targets in enumerate(wires):
                if not isinstance(targets, list):
                    problem = f"output port {port} is {_kind(targets)}, not an array of node ids"
                elif not all(isinstance(target, str) for target in targets):
                    problem = f"output port {port} holds a node id that is not a string"
                if problem:
                    break
        if problem:
            raise FlowError(f"{self._where}: record {position} ({_describe(record)}): {problem}")

    def _index(self, records):
        nodes = {}
        positions = {}
        for position, record in enumerate(records):
            if "id" not in record:
                continue
            node_id = record["id"]
            if node_id in nodes:
                raise FlowError(
                    f"{self._where}: duplicate id {node_id!r} in records "
                    f"{positions[node_id]} and {position}"
                )
            nodes[node_id] = record
            positions[node_id] = position
        return nodes

    def current_node_id(self) -> str:
        """The running node's id: the one given, else ``NODE_ID``."""
        if self.node_id is not None:
            return self.node_id
        return nalo_sdk.constants.NODE_ID

    def parse_flow(self) -> ParsedFlow:
        """Return the flow as a dict:

        - ``cur_node``: the record of the running node (the very dict held in
          ``_nodes``);
        - ``node_id``: its id;
        - ``nodes``: ``_nodes``, id to record;
        - ``records``: every record, in file order.

        Raises ``FlowError`` when no running node is known or the flow has
        no record with its id.
        """
        node_id = self.current_node_id()
        record = self._nodes.get(node_id) if node_id else None
        if record is None:
            if not node_id or (self.node_id is None and NODE_ID_ENV not in os.environ):
                raise FlowError(
                    f"{self._where}: no current node: pass node_id or set {NODE_ID_ENV}"
                )
            raise FlowError(f"{self._where}: the current node {node_id!r} is not in the flow")
        return {
            "cur_node": record,
            "node_id": node_id,
            "nodes": self._nodes,
            "records": self._records,
        }

    def __repr__(self) -> str:
        return f"NaloFlow({self._where}, {len(self._nodes)} nodes)"
