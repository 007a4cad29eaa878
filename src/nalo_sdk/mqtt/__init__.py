"""MQTT services of the kit: the local key and result payload
(``nalo_sdk.mqtt.utils``) and publishing payloads over a broker
(``NaloPublisher``, ``publish_result``, ``encode_payload``).

The publishing names are loaded on first use, so that importing
``nalo_sdk.mqtt.utils`` never imports the MQTT client library.
"""

import importlib

_EXPORTS = {
    "NaloPublisher": "nalo_sdk.mqtt.publish",
    "PublishError": "nalo_sdk.mqtt.publish",
    "publish_result": "nalo_sdk.mqtt.publish",
    "encode_payload": "nalo_sdk.mqtt.publish",
}


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
