"""Redis services of the kit: the connection wrapper ``NaloRedis`` and the
stream cleanup ``clear_stream_redis_keys``.

Both names are loaded on first use. The cleanup is a compiled module that
itself imports ``nalo_sdk.redis.utils`` while it loads, and the key builder
in that module needs neither redis-py nor the compiled module; loading them
lazily keeps ``import nalo_sdk.redis.utils`` light and free of import cycles.
"""

from typing import TYPE_CHECKING

from nalo_sdk import _lazy_exports

if TYPE_CHECKING:  # what the names resolve to, for type checkers and editors
    from nalo_sdk.redis.client import NaloRedis as NaloRedis  # noqa: F401
    from nalo_sdk.redis.flowsweep import (  # noqa: F401
        FlowsweepManager as FlowsweepManager,
        clear_stream_redis_keys as clear_stream_redis_keys,
    )

__getattr__, __dir__ = _lazy_exports(
    __name__,
    {
        "NaloRedis": "nalo_sdk.redis.client",
        "clear_stream_redis_keys": "nalo_sdk.redis.flowsweep",
        "FlowsweepManager": "nalo_sdk.redis.flowsweep",
    },
)
