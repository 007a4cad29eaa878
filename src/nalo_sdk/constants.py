"""Constants of the kit: key prefixes and the identity of the running node.

``PREFIX``
    The key prefixes, read-only: ``PREFIX.MQTT.LOCAL`` ("mqtt_local") begins
    the local MQTT key of a node, ``PREFIX.REDIS`` ("redis") the Redis keys of
    a node's outputs.
``NODE_ID``
    The id of the running node: the environment variable ``NALO_NODE_ID``,
    or "unknown" when it is not set.
``NODE_TYPE``
    The type of the running node: the environment variable
    ``NALO_NODE_TYPE``, or "unknown" when it is not set.

The node's id and type are read once, when this module is first imported.
"""

from __future__ import annotations

import os
import types

# True for type checkers only: this module does without importing typing.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Protocol

    class _MqttPrefixes(Protocol):
        @property
        def LOCAL(self) -> str:
            ...

    class _Prefixes(Protocol):
        @property
        def MQTT(self) -> _MqttPrefixes:
            ...

        @property
        def REDIS(self) -> str:
            ...


class _Constants(types.SimpleNamespace):
    """A namespace whose attributes cannot be rebound or deleted."""

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"constant {name!r} cannot be changed")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"constant {name!r} cannot be deleted")


PREFIX: _Prefixes = _Constants(
    MQTT=_Constants(LOCAL="mqtt_local"),
    REDIS="redis",
)

NODE_ID: str = os.environ.get("NALO_NODE_ID", "unknown")
NODE_TYPE: str = os.environ.get("NALO_NODE_TYPE", "unknown")
