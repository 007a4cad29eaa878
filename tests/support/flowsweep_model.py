"""A plain-Python model of the stream cleanup, step by step, to hold the
compiled module against. It has the module's surface (FlowsweepManager,
clear_stream_redis_keys, a rebindable `logger`), so the same scenario can be
run on either. It follows the compiled module's one deliberate departure:
glob metacharacters in node ids are escaped in the SCAN pattern, so that an
id can only ever match its own keys."""

import sys

from fakes import FakeLogger


logger = FakeLogger(keep=False)


HEAPTYPE = 1 << 9


def tp_name(cls):
    """The C-level type name that the type-test message shows: the plain name
    for classes made at run time and builtins, module.name for other types
    implemented in C."""
    if cls.__flags__ & HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def _type_error(name, expected, value):
    return TypeError(
        f"Argument '{name}' has incorrect type (expected {expected}, got {tp_name(type(value))})"
    )


def escape_glob(text):
    return "".join("\\" + c if c in "\\*?[]" else c for c in text)


def _module_global(name):
    try:
        return globals()[name]
    except KeyError:
        raise NameError(f"name '{name}' is not defined") from None


class FlowsweepManager:
    def __init__(self, redis_wrapper, nodered_flow, node_config, redis_out_key):
        if type(node_config) is not dict:
            raise _type_error("node_config", "dict", node_config)
        if type(redis_out_key) is not str:
            raise _type_error("redis_out_key", "str", redis_out_key)
        self.redis_wrapper = redis_wrapper
        self.nodered_flow = nodered_flow
        self.node_config = node_config
        self.redis_out_key = redis_out_key
        self._keys_cleared = False

    def _discover_downstream_nodes(self, node, visited):
        if type(node) is not dict:
            raise _type_error("node", "dict", node)
        if type(visited) is not set:
            raise _type_error("visited", "set", visited)
        downstream = []
        node_id = node.get("id")
        if node_id in visited:
            return downstream
        visited.add(node_id)
        wires = node.get("wires", [])
        for port_idx, next_node_ids in enumerate(wires):
            for next_node_id in next_node_ids:
                if next_node_id not in self.nodered_flow._nodes:
                    continue
                next_node = self.nodered_flow._nodes[next_node_id]
                downstream.append({"node": next_node, "port": port_idx, "node_id": next_node_id})
                downstream.extend(self._discover_downstream_nodes(next_node, visited))
        return downstream

    def _collect_stream_redis_keys(self):
        redis_keys = set()
        node_ids = set()
        current_node_id = self.node_config.get("id")
        _module_global("logger").info(f"[flowsweep] current_node_id={current_node_id!r}")
        if current_node_id:
            node_ids.add(current_node_id)
        else:
            _module_global("logger").warning(
                "[flowsweep] node_config has no 'id' \u2014 current node keys will not be collected"
            )
        downstream_nodes = self._discover_downstream_nodes(self.node_config, set())
        shown = str([n["node_id"] for n in downstream_nodes])
        _module_global("logger").info(f"[flowsweep] downstream nodes found: {shown}")
        for node_info in downstream_nodes:
            node_ids.add(node_info["node_id"])
        redis_keys.add(self.redis_out_key)
        for node_id in node_ids:
            pattern = "redis_" + escape_glob(str(node_id)) + "_*"
            matched = self.redis_wrapper.scan_keys(pattern=pattern)
            redis_keys.update(matched)
        shown = str(sorted(redis_keys))
        _module_global("logger").info(f"[flowsweep] found {len(redis_keys)} existing keys: {shown}")
        return list(redis_keys)

    def clear_stream_keys(self, max_ports=10):
        if type(max_ports) is not int:
            raise _type_error("max_ports", "int", max_ports)
        if self._keys_cleared:
            _module_global("logger").debug("Redis keys already cleared, skipping")
            return True
        _module_global("logger").info("Clearing all Redis KV stores for this stream")
        try:
            redis_keys = self._collect_stream_redis_keys()
            deleted = self.redis_wrapper.delete_many(redis_keys)
            _module_global("logger").info(
                "Stream cleanup complete: " + str(deleted) + f"/{len(redis_keys)} keys deleted"
            )
            self._keys_cleared = True
            return True
        except Exception as e:
            _module_global("logger").error("Failed to clear Redis keys: " + str(e))
            return False

    def reset_cleanup_flag(self):
        self._keys_cleared = False


def clear_stream_redis_keys(redis_wrapper, nodered_flow, node_config, redis_out_key, max_ports=10):
    if type(node_config) is not dict:
        raise _type_error("node_config", "dict", node_config)
    if type(redis_out_key) is not str:
        raise _type_error("redis_out_key", "str", redis_out_key)
    if type(max_ports) is not int:
        raise _type_error("max_ports", "int", max_ports)
    manager = _module_global("FlowsweepManager")(
        redis_wrapper=redis_wrapper,
        nodered_flow=nodered_flow,
        node_config=node_config,
        redis_out_key=redis_out_key,
    )
    return manager.clear_stream_keys(max_ports=max_ports)


model = sys.modules[__name__]
