"""MQTT services of the kit: the local key and result payload
(``nalo_sdk.mqtt.utils``) and publishing payloads over a broker
(``NaloPublisher``, ``publish_result``, ``encode_payload``).

The publishing names are loaded on first use, so that importing
``nalo_sdk.mqtt.utils`` never imports the MQTT client library.
"""

from typing import TYPE_CHECKING

from nalo_sdk import _lazy_exports

if TYPE_CHECKING:  # what the names resolve to, for type checkers and editors
    from nalo_sdk.mqtt.publish import (  # noqa: F401
        NaloPublisher as NaloPublisher,
        PublishError as PublishError,
        encode_payload as encode_payload,
        publish_result as publish_result,
    )

__getattr__, __dir__ = _lazy_exports(
    __name__,
    {
        "NaloPublisher": "nalo_sdk.mqtt.publish",
        "PublishError": "nalo_sdk.mqtt.publish",
        "publish_result": "nalo_sdk.mqtt.publish",
        "encode_payload": "nalo_sdk.mqtt.publish",
    },
)
