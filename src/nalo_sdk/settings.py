"""The settings that a host hands the kit for the node it runs.

A host (the Node-RED node ``nalo-python``, through ``nalo_sdk.host``) knows
what the node's code should talk to: the node's id and type, its Redis
server, its MQTT broker and the flows deployed with it. It puts them in a
``NodeSettings`` and the kit's defaults take them from there, before the
environment variables:

- ``NaloRedis()``: ``redis_url`` with ``redis_password``;
- ``NaloPublisher()``, ``publish_result(payload)``: ``mqtt_url`` with
  ``mqtt_username`` and ``mqtt_password``; the topic of ``node_id``;
- ``NaloFlow()``: ``flows`` (a flows file, the base URL of a running
  Node-RED with ``flows_token``, or a function that returns the deployed
  flows as ``(records, rev)``) and ``node_id``.

A setting left None falls back to what the kit does without a host
(``NALO_REDIS_URL``, ``NALO_MQTT_URL``, ``NALO_FLOWS_FILE``, ``NALO_NODE_ID``,
their defaults). An argument given to the kit always wins.

Which settings apply: those of ``applied(settings)`` in the code that runs
inside the block (a context variable: a host that runs several nodes in one
process applies each node's settings around that node's code), else those
of ``install(settings)`` for the whole process (a host that runs one node),
else none. A thread started inside such a block does not inherit it (Python
threads start with an empty context): objects made in the block keep what
they were given (a ``NaloRedis`` made in ``setup`` keeps its server), or run
the thread's function with ``contextvars.copy_context().run``.

Passwords never show: not in ``repr`` of the settings, and the kit's
clients mask them in every message.
"""

from __future__ import annotations

import contextlib
import contextvars

# True for type checkers only: this module does without importing typing.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any, Union

    FlowSource = Union[str, Callable[[], "tuple[list[Any], Any]"]]

FIELDS = (
    "node_id",
    "node_type",
    "redis_url",
    "redis_password",
    "mqtt_url",
    "mqtt_username",
    "mqtt_password",
    "flows",
    "flows_token",
)
SECRETS = frozenset({"redis_password", "mqtt_password", "flows_token"})


class NodeSettings:
    """What a host hands the kit for one node; every field may be None."""

    __slots__ = FIELDS

    node_id: str | None
    node_type: str | None
    redis_url: str | None
    redis_password: str | None
    mqtt_url: str | None
    mqtt_username: str | None
    mqtt_password: str | None
    flows: FlowSource | None
    flows_token: str | None

    def __init__(self, **fields: Any) -> None:
        unknown = sorted(set(fields) - set(FIELDS))
        if unknown:
            raise TypeError(f"NodeSettings got unknown fields: {', '.join(unknown)}")
        for name in FIELDS:
            object.__setattr__(self, name, fields.get(name))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("NodeSettings cannot be changed: make new ones")

    def __repr__(self) -> str:
        shown = []
        for name in FIELDS:
            value = getattr(self, name)
            if value is None:
                continue
            if name in SECRETS:
                value = "***"
            elif callable(value):
                value = f"<{getattr(value, '__qualname__', type(value).__name__)}()>"
            else:
                value = repr(value)
            shown.append(f"{name}={value}")
        return f"NodeSettings({', '.join(shown)})"


_process: NodeSettings | None = None
_applied: contextvars.ContextVar[NodeSettings | None] = contextvars.ContextVar(
    "nalo_sdk_node_settings", default=None
)


def current() -> NodeSettings | None:
    """The settings that apply here (see the module's text), or None."""
    return _applied.get() or _process


def install(settings: NodeSettings | None) -> None:
    """Make ``settings`` those of the whole process (None: no more)."""
    global _process
    if settings is not None and not isinstance(settings, NodeSettings):
        raise TypeError(f"settings must be NodeSettings or None, not {type(settings).__name__}")
    _process = settings


@contextlib.contextmanager
def applied(settings: NodeSettings | None) -> Iterator[NodeSettings | None]:
    """Apply ``settings`` to the code run inside the block (and in the
    coroutines and tasks it starts), over those of the process."""
    if settings is not None and not isinstance(settings, NodeSettings):
        raise TypeError(f"settings must be NodeSettings or None, not {type(settings).__name__}")
    token = _applied.set(settings)
    try:
        yield settings
    finally:
        _applied.reset(token)


def get(name: str) -> Any:
    """The field ``name`` of the settings that apply here, None without."""
    settings = current()
    return None if settings is None else getattr(settings, name)
