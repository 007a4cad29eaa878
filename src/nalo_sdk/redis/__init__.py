"""Redis services of the kit: the connection wrapper ``NaloRedis`` and the
stream cleanup ``clear_stream_redis_keys``.

Both names are loaded on first use. The cleanup is a compiled module that
itself imports ``nalo_sdk.redis.utils`` while it loads, and the key builder
in that module needs neither redis-py nor the compiled module; loading them
lazily keeps ``import nalo_sdk.redis.utils`` light and free of import cycles.
"""

import importlib

_EXPORTS = {
    "NaloRedis": "nalo_sdk.redis.client",
    "clear_stream_redis_keys": "nalo_sdk.redis.flowsweep",
    "FlowsweepManager": "nalo_sdk.redis.flowsweep",
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
