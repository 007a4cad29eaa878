"""A node's local MQTT key and the result payload it publishes."""

from types import ModuleType
from typing import Any, Dict, Optional

from nalo_sdk.constants import NODE_ID as NODE_ID
from nalo_sdk.constants import NODE_TYPE as NODE_TYPE
from nalo_sdk.constants import PREFIX as PREFIX

time: ModuleType

class Category:
    info: str
    error: str
    warning: str

def gen_mqtt_key_local(node_id: object) -> str: ...
def meta_info_to_publish(
    source_name: Any,
    source_id: Any,
    source_idx: Any = 0,
    result: Optional[Any] = None,
    node_id: Any = ...,
    node_type: Any = ...,
    infer_t: Any = 0,
    category: Any = "info",
) -> Dict[str, Any]: ...
