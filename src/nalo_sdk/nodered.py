"""Node-RED flows as the kit sees them.

``NaloFlow`` loads a flow export: the JSON file that Node-RED keeps its flows
in (``flows.json``), a list already parsed from one, or the flows deployed in
a running Node-RED, read through its admin HTTP API. Such a file is a JSON
array of records, one per tab, node, group, subflow or config node; flow
nodes carry an ``id`` and ``wires``, a list of output ports, each a list of
the ids of the nodes it feeds.

The flow is read from, in this order: the source given to ``NaloFlow``, the
environment variable ``NALO_FLOWS_FILE``, ``~/.node-red/flows.json``
(Node-RED's own default). A source that begins with ``http://`` or
``https://`` is the base URL of a running Node-RED (its ``httpAdminRoot``,
for example ``http://127.0.0.1:1880``): the deployed flows are fetched with
``GET <base>/flows``. When the admin API asks for a login, the bearer token
comes from ``token`` or the variable ``NALO_NODE_RED_TOKEN``. The running
node is the one given as ``node_id``, else ``nalo_sdk.constants.NODE_ID``
(the variable ``NALO_NODE_ID``).
"""

import http.client
import json
import os
import socket
import urllib.error
import urllib.parse
import urllib.request

import nalo_sdk.constants

FLOWS_ENV = "NALO_FLOWS_FILE"
NODE_ID_ENV = "NALO_NODE_ID"
TOKEN_ENV = "NALO_NODE_RED_TOKEN"
DEFAULT_FLOWS_FILE = "~/.node-red/flows.json"
# Long enough for a busy Node-RED on a small board, short enough that a node
# does not wait for minutes on an address that swallows its packets.
DEFAULT_HTTP_TIMEOUT = 10.0
URL_SCHEMES = ("http://", "https://")


class FlowError(ValueError):
    """A flow that cannot be used; the message names its source and why."""


def default_flows_file():
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


def is_flow_url(source):
    """Whether a flow source is the URL of a running Node-RED."""
    return isinstance(source, str) and source[:8].lower().startswith(URL_SCHEMES)


def flows_url(base_url):
    """The admin API's flows URL for a Node-RED base URL: ``<base>/flows``.
    A URL that already ends in ``/flows`` is taken as it is."""
    parts = urllib.parse.urlsplit(base_url)
    path = parts.path.rstrip("/")
    if not path.endswith("/flows"):
        path += "/flows"
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, path, parts.query, ""))


def _shown(url):
    """A URL for messages: without a password it may hold."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    netloc = f"{parts.username}:***@{parts.netloc.rpartition('@')[2]}"
    return urllib.parse.urlunsplit(parts._replace(netloc=netloc))


def fetch_deployed_flows(base_url, token=None, timeout=DEFAULT_HTTP_TIMEOUT):
    """Return ``(records, rev)``: the flows deployed in the Node-RED at
    ``base_url`` and their revision (None from a Node-RED that answers in
    the first form of the API).

    Asks for the second form of the answer (``Node-RED-API-Version: v2``,
    an object with ``flows`` and ``rev``) and takes the first (a bare array
    of records) as well. Any failure raises ``FlowError`` naming the URL:
    no connection, no answer within ``timeout`` seconds, an HTTP error
    status, an answer that is not JSON or has no list of records.
    """
    url = flows_url(base_url)
    where = f"Node-RED flows at {_shown(url)!r}"
    if token is None:
        token = os.environ.get(TOKEN_ENV) or None
    headers = {"Accept": "application/json", "Node-RED-API-Version": "v2"}
    if token:
        headers["Authorization"] = f"Bearer {token}"
    request = urllib.request.Request(url, headers=headers, method="GET")
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            content_type = answer.headers.get("Content-Type", "")
            body = answer.read()
    except urllib.error.HTTPError as error:
        hint = ""
        if error.code == 401:
            hint = f" (the admin API wants a login: pass token or set {TOKEN_ENV})"
        elif error.code == 404:
            hint = " (is this the Node-RED base URL, its httpAdminRoot?)"
        raise FlowError(f"{where}: HTTP {error.code} {error.reason}{hint}") from error
    except (TimeoutError, socket.timeout) as error:
        raise FlowError(f"{where}: no answer within {timeout} s") from error
    except urllib.error.URLError as error:
        reason = error.reason
        if isinstance(reason, (TimeoutError, socket.timeout)):
            raise FlowError(f"{where}: no answer within {timeout} s") from error
        text = getattr(reason, "strerror", None) or reason
        raise FlowError(f"{where}: cannot be reached: {text}") from error
    except (OSError, http.client.HTTPException, ValueError) as error:
        # A connection dropped half-way, a reply that is not HTTP, a URL that
        # urllib cannot use.
        raise FlowError(f"{where}: the request failed: {error!r}") from error
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
    if isinstance(data, dict):
        if not isinstance(data.get("flows"), list):
            raise FlowError(
                f"{where}: the answer is an object without a 'flows' list "
                f"(keys: {sorted(map(str, data))[:5]})"
            )
        return data["flows"], data.get("rev")
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

    def __init__(self, flow=None, node_id=None, *, token=None, timeout=DEFAULT_HTTP_TIMEOUT):
        """``flow``: a path to a flows JSON file, the base URL of a running
        Node-RED (``http://...``, ``https://...``), or an already parsed list
        of records (default: ``NALO_FLOWS_FILE``, else
        ``~/.node-red/flows.json``). ``node_id``: the running node (default:
        ``NODE_ID`` from ``nalo_sdk.constants``). ``token`` and ``timeout``
        apply to a URL only: the admin API's bearer token (default:
        ``NALO_NODE_RED_TOKEN``) and the seconds to wait for its answer."""
        if flow is None:
            flow = default_flows_file()
        self.rev = None
        if is_flow_url(flow):
            self.source = flow
            records, self.rev = fetch_deployed_flows(flow, token=token, timeout=timeout)
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
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            raise FlowError(f"{where}: cannot be read: {error.strerror or error}") from error
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

    def current_node_id(self):
        """The running node's id: the one given, else ``NODE_ID``."""
        if self.node_id is not None:
            return self.node_id
        return nalo_sdk.constants.NODE_ID

    def parse_flow(self):
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

    def __repr__(self):
        return f"NaloFlow({self._where}, {len(self._nodes)} nodes)"
