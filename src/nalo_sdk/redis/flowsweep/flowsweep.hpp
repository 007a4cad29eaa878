// nalo_sdk.redis.flowsweep: clears the Redis keys of a Node-RED stream.
//
// Shared declarations of the module's files: the module state with its
// interned names, and the implementations of the Python-visible callables.
#pragma once

#include "core/attributes.hpp"
#include "core/function.hpp"
#include "core/globals.hpp"
#include "core/module_state.hpp"
#include "core/names.hpp"

namespace flowsweep {

using nalo::Args;
using nalo::FunctionObject;
using nalo::Ref;

// The module's interned names: attribute, key and global names, and the
// fixed log lines. Where the text is a Python identifier the id is the text.
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
    _nodes,
    node_config,
    redis_out_key,
    redis_wrapper,
    _keys_cleared,
    scan_keys,
    update,
    delete_many,
    _discover_downstream_nodes,
    _collect_stream_redis_keys,
    clear_stream_keys,
    FlowsweepManager,
    no_id_warning,
    already_cleared,
    clearing,
    count_
};

inline constexpr std::array<nalo::NameText<Name>, static_cast<size_t>(Name::count_)> name_table{{
    {Name::logger, "logger"},
    {Name::debug, "debug"},
    {Name::info, "info"},
    {Name::warning, "warning"},
    {Name::error, "error"},
    {Name::get, "get"},
    {Name::id, "id"},
    {Name::wires, "wires"},
    {Name::node, "node"},
    {Name::port, "port"},
    {Name::node_id, "node_id"},
    {Name::nodered_flow, "nodered_flow"},
    {Name::_nodes, "_nodes"},
    {Name::node_config, "node_config"},
    {Name::redis_out_key, "redis_out_key"},
    {Name::redis_wrapper, "redis_wrapper"},
    {Name::_keys_cleared, "_keys_cleared"},
    {Name::scan_keys, "scan_keys"},
    {Name::update, "update"},
    {Name::delete_many, "delete_many"},
    {Name::_discover_downstream_nodes, "_discover_downstream_nodes"},
    {Name::_collect_stream_redis_keys, "_collect_stream_redis_keys"},
    {Name::clear_stream_keys, "clear_stream_keys"},
    {Name::FlowsweepManager, "FlowsweepManager"},
    {Name::no_id_warning,
     "[flowsweep] node_config has no 'id' \xe2\x80\x94 current node keys will not be collected"},
    {Name::already_cleared, "Redis keys already cleared, skipping"},
    {Name::clearing, "Clearing all Redis KV stores for this stream"},
}};
static_assert(nalo::in_id_order(name_table));

struct State : nalo::CoreState {
    nalo::Names<Name> names;
    PyObject *kw_pattern = nullptr;   // ("pattern",)
    PyObject *kw_manager = nullptr;   // the manager's four keyword names
    PyObject *kw_max_ports = nullptr; // ("max_ports",)

    // The discovery's reads of self.nodered_flow and its _nodes, twice per
    // wire target, remembered while nothing they depend on has changed.
    nalo::CachedAttribute manager_flow;
    nalo::CachedAttribute flow_nodes;

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
Ref manager_init(FunctionObject &fn, const Args &args);
Ref discover_downstream_nodes(FunctionObject &fn, const Args &args);
Ref collect_stream_redis_keys(FunctionObject &fn, const Args &args);
Ref clear_stream_keys(FunctionObject &fn, const Args &args);
Ref reset_cleanup_flag(FunctionObject &fn, const Args &args);
Ref clear_stream_redis_keys(FunctionObject &fn, const Args &args);

} // namespace flowsweep
