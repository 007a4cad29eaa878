"""Redis key names of the kit."""


def gen_redis_key_local(node_id, port):
    """Return the Redis key of output ``port`` of the node ``node_id``."""
    return f"redis_{node_id}_{port}"
