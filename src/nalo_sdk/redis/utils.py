"""Redis key names of the kit."""

from nalo_sdk.constants import PREFIX


def gen_redis_key_local(node_id: object, port: object) -> str:
    """Return the Redis key of output ``port`` of the node ``node_id``.

    The key is "redis_" + node id + "_" + port (for example ``redis_cam1_0``),
    the shape that the stream cleanup finds with the pattern
    ``redis_<node id>_*``.
    """
    return f"{PREFIX.REDIS}_{node_id}_{port}"
