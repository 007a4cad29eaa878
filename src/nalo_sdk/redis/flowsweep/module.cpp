// The module frame: names, signatures and docstrings of every callable, and
// the statements the module executes at import.
#include "core/classes.hpp"
#include "core/imports.hpp"
#include "flowsweep.hpp"

namespace flowsweep {
namespace {

using nalo::Check;
using nalo::FunctionDef;
using nalo::Param;

constexpr const char *module_doc =
    "Redis stream cleanup utilities for clearing KV stores across Node-RED flows.\n"
    "\n"
    "This module discovers and clears the Redis keys that belong to Node-RED\n"
    "streams, including the keys of every node downstream of the current node\n"
    "in the flow graph.\n";

constexpr const char *class_doc =
    "Manages Redis key cleanup for Node-RED streams.\n"
    "\n"
    "    Discovers all downstream nodes in a Node-RED flow and clears their\n"
    "    associated Redis keys.\n"
    "\n"
    "    Args:\n"
    "        redis_wrapper: RedisWrapper instance\n"
    "        nodered_flow: NaloFlow instance holding the flow graph\n"
    "        node_config: Current node configuration dictionary\n"
    "        redis_out_key: Primary Redis output key of the current node\n"
    "    ";

constexpr Param init_params[] = {
    {"self", nullptr},
    {"redis_wrapper", "Any"},
    {"nodered_flow", "Any"},
    {"node_config", "Dict[str, Any]", Check::exact_dict},
    {"redis_out_key", "str", Check::exact_str},
};
constexpr FunctionDef init_def = {
    "__init__",
    "FlowsweepManager.__init__",
    "Initialize the FlowsweepManager.\n"
    "\n"
    "        Args:\n"
    "            redis_wrapper: RedisWrapper instance\n"
    "            nodered_flow: NaloFlow instance with a _nodes attribute\n"
    "            node_config: Node configuration dictionary with 'id' and 'wires'\n"
    "            redis_out_key: Primary Redis output key to clear\n"
    "        ",
    init_params,
    nullptr,
    {},
    manager_init,
};

constexpr Param discover_params[] = {
    {"self", nullptr},
    {"node", "Dict[str, Any]", Check::exact_dict},
    {"visited", "Set[str]", Check::exact_set},
};
constexpr const char *discover_locals[] = {
    "downstream", "node_id", "wires", "port_idx", "next_node_ids", "next_node_id", "next_node",
};
constexpr FunctionDef discover_def = {
    "_discover_downstream_nodes",
    "FlowsweepManager._discover_downstream_nodes",
    "Recursively discover all downstream nodes from a given node.\n"
    "\n"
    "        Args:\n"
    "            node: Current node to explore\n"
    "            visited: Set of already visited node IDs (to avoid cycles)\n"
    "\n"
    "        Returns:\n"
    "            List of dictionaries with keys:\n"
    "                - 'node': node configuration dictionary\n"
    "                - 'port': port index connecting to this node\n"
    "                - 'node_id': node ID string\n"
    "        ",
    discover_params,
    "List[Dict[str, Any]]",
    discover_locals,
    discover_downstream_nodes,
};

constexpr Param self_only[] = {{"self", nullptr}};
constexpr const char *collect_locals[] = {
    "redis_keys", "node_ids", "current_node_id", "downstream_nodes",
    "node_info",  "node_id",  "matched",         "n",
};
constexpr FunctionDef collect_def = {
    "_collect_stream_redis_keys",
    "FlowsweepManager._collect_stream_redis_keys",
    "Collect all existing Redis keys related to this stream.\n"
    "\n"
    "        Uses one Redis SCAN per node ID with the pattern ``redis_{node_id}_*``,\n"
    "        so only keys that actually exist are returned, regardless of how\n"
    "        many ports a node has.\n"
    "\n"
    "        Returns:\n"
    "            Deduplicated list of existing Redis keys to delete\n"
    "        ",
    self_only,
    "List[str]",
    collect_locals,
    collect_stream_redis_keys,
};

constexpr Param clear_params[] = {
    {"self", nullptr},
    {"max_ports", "int", Check::exact_int},
};
constexpr const char *clear_locals[] = {"redis_keys", "deleted", "e"};
constexpr FunctionDef clear_def = {
    "clear_stream_keys",
    "FlowsweepManager.clear_stream_keys",
    "Clear all Redis KV stores related to this stream.\n"
    "\n"
    "        Args:\n"
    "            max_ports: Maximum number of ports to check per node (default: 10)\n"
    "\n"
    "        Returns:\n"
    "            True if cleanup was successful, False otherwise\n"
    "        ",
    clear_params,
    "bool",
    clear_locals,
    clear_stream_keys,
};

constexpr FunctionDef reset_def = {
    "reset_cleanup_flag",
    "FlowsweepManager.reset_cleanup_flag",
    "Reset the cleanup flag to allow re-running cleanup.",
    self_only,
    "None",
    {},
    reset_cleanup_flag,
};

constexpr Param one_shot_params[] = {
    {"redis_wrapper", "Any"},
    {"nodered_flow", "Any"},
    {"node_config", "Dict[str, Any]", Check::exact_dict},
    {"redis_out_key", "str", Check::exact_str},
    {"max_ports", "int", Check::exact_int},
};
constexpr const char *one_shot_locals[] = {"manager"};
constexpr FunctionDef one_shot_def = {
    "clear_stream_redis_keys",
    nullptr,
    "Convenience function to clear Redis keys for a Node-RED stream.\n"
    "\n"
    "    This is a simplified interface for one-time cleanup operations.\n"
    "\n"
    "    Args:\n"
    "        redis_wrapper: RedisWrapper instance with a _redis_client attribute\n"
    "        nodered_flow: NaloFlow instance with a _nodes attribute\n"
    "        node_config: Node configuration dictionary with 'id' and 'wires'\n"
    "        redis_out_key: Primary Redis output key to clear\n"
    "        max_ports: Maximum number of ports to check per node (default: 10)\n"
    "\n"
    "    Returns:\n"
    "        True if cleanup was successful, False otherwise\n"
    "\n"
    "    Example:\n"
    "        >>> from nalo_sdk.redis import NaloRedis, clear_stream_redis_keys\n"
    "        >>> from nalo_sdk.nodered import NaloFlow\n"
    "        >>> redis_wrapper = NaloRedis()\n"
    "        >>> nodered_flow = NaloFlow()\n"
    "        >>> flow = nodered_flow.parse_flow()\n"
    "        >>> clear_stream_redis_keys(\n"
    "        ...     redis_wrapper=redis_wrapper,\n"
    "        ...     nodered_flow=nodered_flow,\n"
    "        ...     node_config=flow['cur_node'],\n"
    "        ...     redis_out_key='redis_cam1_0',\n"
    "        ... )\n"
    "        True\n"
    "    ",
    one_shot_params,
    "bool",
    one_shot_locals,
    clear_stream_redis_keys,
};

int exec_module(PyObject *module) {
    if (nalo::init_state<State>(module) < 0) {
        return -1;
    }
    State &st = nalo::module_state<State>(module);
    if (st.names.init(name_table) < 0) {
        return -1;
    }
    st.kw_pattern = nalo::names_tuple({"pattern"}).release();
    st.kw_manager =
        nalo::names_tuple({"redis_wrapper", "nodered_flow", "node_config", "redis_out_key"})
            .release();
    st.kw_max_ports = nalo::names_tuple({"max_ports"}).release();
    if (!st.kw_pattern || !st.kw_manager || !st.kw_max_ports) {
        return -1;
    }

    constexpr const char *typing_names[] = {"Any", "Dict", "Set", "List"};
    constexpr const char *logging_names[] = {"get_logger"};
    constexpr const char *utils_names[] = {"gen_redis_key_local"};
    if (nalo::import_names(module, "typing", typing_names) < 0 ||
        nalo::import_names(module, "nalo_sdk.logging", logging_names) < 0 ||
        nalo::import_names(module, "nalo_sdk.redis.utils", utils_names) < 0) {
        return -1;
    }

    // logger = get_logger("REDIS_FLOWSWEEP")
    Ref get_logger_name = Ref::steal(PyUnicode_InternFromString("get_logger"));
    Ref get_logger = get_logger_name
                         ? nalo::get_global(nalo::core_state(module), get_logger_name.get())
                         : nullptr;
    Ref logger_name = Ref::steal(PyUnicode_FromString("REDIS_FLOWSWEEP"));
    if (!get_logger || !logger_name) {
        return -1;
    }
    Ref logger = Ref::steal(PyObject_CallOneArg(get_logger.get(), logger_name.get()));
    if (!logger || nalo::set_global(module, "logger", logger.get()) < 0) {
        return -1;
    }

    Ref ten = Ref::steal(Py_BuildValue("(i)", 10));
    if (!ten) {
        return -1;
    }
    const nalo::Method methods[] = {
        {&init_def, nullptr},    {&discover_def, nullptr}, {&collect_def, nullptr},
        {&clear_def, ten.get()}, {&reset_def, nullptr},
    };
    Ref manager = nalo::make_class(module, "FlowsweepManager", class_doc, methods);
    if (!manager || nalo::set_global(module, "FlowsweepManager", manager.get()) < 0) {
        return -1;
    }
    return nalo::add_function(module, one_shot_def, ten.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def =
    nalo::module_definition<State>("nalo_sdk.redis.flowsweep", module_doc, module_slots);

} // namespace
} // namespace flowsweep

PyMODINIT_FUNC PyInit_flowsweep() {
    return PyModuleDef_Init(&flowsweep::module_def);
}
