"""Node-RED flows as the kit sees them.

``NaloFlow`` loads a flow export: the JSON file that Node-RED keeps its flows
in (``flows.json``), or a list already parsed from one. Such a file is a JSON
array of records, one per tab, node, group, subflow or config node; flow
nodes carry an ``id`` and ``wires``, a list of output ports, each a list of
the ids of the nodes it feeds.

The flow file is read from, in this order: the path given to ``NaloFlow``,
the environment variable ``NALO_FLOWS_FILE``, ``~/.node-red/flows.json``
(Node-RED's own default). The running node is the one given as ``node_id``,
else ``nalo_sdk.constants.NODE_ID`` (the variable ``NALO_NODE_ID``).
"""

import json
import os

import nalo_sdk.constants

FLOWS_ENV = "NALO_FLOWS_FILE"
NODE_ID_ENV = "NALO_NODE_ID"
DEFAULT_FLOWS_FILE = "~/.node-red/flows.json"


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
    """

    def __init__(self, flow=None, node_id=None):
        """``flow``: a path to a flows JSON file or an already parsed list of
        records (default: ``NALO_FLOWS_FILE``, else
        ``~/.node-red/flows.json``). ``node_id``: the running node (default:
        ``NODE_ID`` from ``nalo_sdk.constants``)."""
        if flow is None:
            flow = default_flows_file()
        if isinstance(flow, (str, os.PathLike)):
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
