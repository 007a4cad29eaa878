"""MQTT services of the kit: the local key and result payload
(``nalo_sdk.mqtt.utils``) and publishing payloads over a broker
(``NaloPublisher``, ``publish_result``, ``encode_payload``).

The publishing names are loaded on first use, so that importing
``nalo_sdk.mqtt.utils`` never imports the MQTT client library.
"""

from nalo_sdk import _lazy_exports

__getattr__, __dir__ = _lazy_exports(
    __name__,
    {
        "NaloPublisher": "nalo_sdk.mqtt.publish",
        "PublishError": "nalo_sdk.mqtt.publish",
        "publish_result": "nalo_sdk.mqtt.publish",
        "encode_payload": "nalo_sdk.mqtt.publish",
    },
)
