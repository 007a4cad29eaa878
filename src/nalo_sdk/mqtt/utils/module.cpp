// The module frame: the signatures of both functions and the statements the
// module executes at import. The module, its class and its functions carry
// no docstrings and no annotations.
#include "core/classes.hpp"
#include "core/imports.hpp"
#include "utils.hpp"

#include <cstring>

namespace mqtt_utils {
namespace {

using nalo::FunctionDef;
using nalo::Param;

constexpr Param key_params[] = {{"node_id", nullptr}};
constexpr FunctionDef key_def = {
    "gen_mqtt_key_local", nullptr, nullptr, key_params, nullptr, {}, gen_mqtt_key_local,
};

constexpr Param payload_params[] = {
    {"source_name", nullptr}, {"source_id", nullptr}, {"source_idx", nullptr},
    {"result", nullptr},      {"node_id", nullptr},   {"node_type", nullptr},
    {"infer_t", nullptr},     {"category", nullptr},
};
constexpr FunctionDef payload_def = {
    "meta_info_to_publish", nullptr, nullptr, payload_params, nullptr, {}, meta_info_to_publish,
};

// What the functions need besides the module globals: the built-in round
// and its digits argument.
int init_names_and_round(State &st) {
    if (st.names.init(name_table) < 0) {
        return -1;
    }
    Ref builtins = nalo::import_module("builtins");
    if (!builtins) {
        return -1;
    }
    st.round = PyObject_GetAttrString(builtins.get(), "round");
    st.four = PyLong_FromLong(4);
    return st.round == nullptr || st.four == nullptr ? -1 : 0;
}

// The clock may be read directly only while `time.time` is the interpreter's
// own function; one replaced before this module was loaded (a test double) is
// always called. Read from the module's dict, which runs no Python code.
int remember_clock(State &st) {
    if (Py_TYPE(st.time_module) != &PyModule_Type) {
        return 0;
    }
    PyObject *clock = PyDict_GetItemWithError(PyModule_GetDict(st.time_module), st[Name::time]);
    if (clock == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (PyCFunction_Check(clock) && PyCFunction_GET_SELF(clock) == st.time_module &&
        std::strcmp(reinterpret_cast<PyCFunctionObject *>(clock)->m_ml->ml_name, "time") == 0) {
        st.time_time = nalo::new_ref(clock);
    }
    return 0;
}

int exec_module(PyObject *module) {
    if (nalo::init_state<State>(module) < 0) {
        return -1;
    }
    State &st = nalo::module_state<State>(module);
    if (init_names_and_round(st) < 0) {
        return -1;
    }

    // import time
    Ref time = nalo::import_module("time");
    if (!time || nalo::set_global(module, "time", time.get()) < 0) {
        return -1;
    }
    st.time_module = time.release();
    if (remember_clock(st) < 0) {
        return -1;
    }
    // from nalo_sdk.constants import PREFIX
    // from nalo_sdk.constants import NODE_ID, NODE_TYPE
    constexpr const char *prefix_names[] = {"PREFIX"};
    constexpr const char *node_names[] = {"NODE_ID", "NODE_TYPE"};
    if (nalo::import_names(module, "nalo_sdk.constants", prefix_names) < 0 ||
        nalo::import_names(module, "nalo_sdk.constants", node_names) < 0) {
        return -1;
    }

    const nalo::ClassAttr category_attrs[] = {
        {"info", st[Name::info]},
        {"error", st[Name::error]},
        {"warning", st[Name::warning]},
    };
    Ref category = nalo::make_class(module, "Category", nullptr, {}, category_attrs);
    if (!category || nalo::set_global(module, "Category", category.get()) < 0) {
        return -1;
    }

    if (nalo::add_function(module, key_def, nullptr) < 0) {
        return -1;
    }

    // The defaults are evaluated now, from the globals as they are at this
    // moment; later rebinding of NODE_ID or NODE_TYPE does not reach them.
    Ref node_id = nalo::get_global(nalo::core_state(module), st[Name::NODE_ID]);
    if (!node_id) {
        return -1;
    }
    Ref node_type = nalo::get_global(nalo::core_state(module), st[Name::NODE_TYPE]);
    if (!node_type) {
        return -1;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) {
        return -1;
    }
    Ref defaults = Ref::steal(PyTuple_Pack(6, zero.get(), Py_None, node_id.get(), node_type.get(),
                                           zero.get(), st[Name::info]));
    if (!defaults || init_payload_template(st, zero.get(), node_id.get(), node_type.get()) < 0) {
        return -1;
    }
    return nalo::add_function(module, payload_def, defaults.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def =
    nalo::module_definition<State>("nalo_sdk.mqtt.utils", nullptr, module_slots);

} // namespace
} // namespace mqtt_utils

PyMODINIT_FUNC PyInit_utils() {
    return PyModuleDef_Init(&mqtt_utils::module_def);
}
