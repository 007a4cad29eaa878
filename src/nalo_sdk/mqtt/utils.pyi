"""A node's local MQTT key and the result payload it publishes."""

from types import ModuleType
from typing import Any, Dict, Optional, SupportsRound

from nalo_sdk.constants import NODE_ID as NODE_ID
from nalo_sdk.constants import NODE_TYPE as NODE_TYPE
from nalo_sdk.constants import PREFIX as PREFIX

time: ModuleType

class Category:
    """The categories of a published result (``category`` of the payload)."""

    info: str
    error: str
    warning: str

def gen_mqtt_key_local(node_id: object) -> str:
    """The local MQTT key of the node ``node_id``: ``PREFIX.MQTT.LOCAL``, "_",
    the node id as text."""

def meta_info_to_publish(
    source_name: Any,
    source_id: Any,
    source_idx: Any = 0,
    result: Optional[Any] = None,
    node_id: Any = ...,
    node_type: Any = ...,
    infer_t: SupportsRound[Any] = 0,
    category: str = "info",
) -> Dict[str, Any]:
    """The payload of one result: a new dict with the keys "source_id",
    "source_name", "source_key" (source id "_" source index), "source_idx",
    "ts" (``time.time()``), "id" (``node_id``, default ``NODE_ID``), "type"
    (``node_type``, default ``NODE_TYPE``), "result" (a new empty list for
    None), "inference time(sec)" (``infer_t`` rounded to 4 places) and
    "category" (a ``Category`` value)."""
