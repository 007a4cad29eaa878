// nalo_sdk.redis.flowsweep: clears the Redis keys of a Node-RED stream.
//
// Shared declarations of the module's files: the module state with its
// interned names, and the implementations of the Python-visible callables.
#pragma once

#include "module.hpp"

namespace flowsweep {

using nalo::Args;
using nalo::FunctionObject;
using nalo::Ref;

enum class Name : size_t {
    logger,
    debug,
    info,
    warning,
    error,
    get,
    id,
    wires,
    node,
    port,
    node_id,
    nodered_flow,
    nodes,
    node_config,
    redis_out_key,
    redis_wrapper,
    keys_cleared,
    scan_keys,
    update,
    delete_many,
    discover,
    collect,
    clear_stream_keys,
    manager_class,
    // Fixed log lines, built once.
    no_id_warning,
    already_cleared,
    clearing,
    count_
};

struct State : nalo::CoreState {
    nalo::Names<static_cast<size_t>(Name::count_)> names;
    PyObject *kw_pattern = nullptr;   // ("pattern",)
    PyObject *kw_manager = nullptr;   // the manager's four keyword names
    PyObject *kw_max_ports = nullptr; // ("max_ports",)

    template <class F> void for_each_ref(F &&f) {
        CoreState::for_each_ref(f);
        names.for_each_ref(f);
        f(kw_pattern);
        f(kw_manager);
        f(kw_max_ports);
    }
    PyObject *operator[](Name n) const noexcept { return names[n]; }
};

inline State &state_of(const FunctionObject &fn) {
    return nalo::module_state<State>(fn);
}

// Writes one finished line through the module global `logger`, looked up now.
int log_line(const FunctionObject &fn, Name level, PyObject *text);

// FlowsweepManager methods and the module function.
PyObject *manager_init(FunctionObject &fn, const Args &args);
PyObject *discover_downstream_nodes(FunctionObject &fn, const Args &args);
PyObject *collect_stream_redis_keys(FunctionObject &fn, const Args &args);
PyObject *clear_stream_keys(FunctionObject &fn, const Args &args);
PyObject *reset_cleanup_flag(FunctionObject &fn, const Args &args);
PyObject *clear_stream_redis_keys(FunctionObject &fn, const Args &args);

} // namespace flowsweep
