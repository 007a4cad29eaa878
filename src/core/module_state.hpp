// Module state and the module definition shared by every extension module.
//
// Each module's state type derives from CoreState and lists every reference
// it owns in `for_each_ref`; from that one list the garbage collector's
// traverse and clear slots and the teardown are generated, so a reference
// cannot be owned without being visited and released. A state that owns
// something the collector must not see (so that nothing reaches it from
// Python) releases it in `clear_unvisited()`, called at clear and teardown.
#pragma once

#include "core/ref.hpp"

#include <new>

namespace nalo {

// The part of every module's state that the core itself uses.
struct CoreState {
    PyTypeObject *function_type = nullptr; // owned; null once the module is torn down
    PyObject *globals = nullptr;           // owned: the module's dict
    // The interpreter's watcher that lets dict reads be remembered
    // (compat::add_dict_watcher), registered at the first such read.
    static constexpr int no_dict_watcher_yet = -2;
    int dict_watcher = no_dict_watcher_yet;

    template <class F> void for_each_ref(F &&f) {
        PyObject *type = reinterpret_cast<PyObject *>(function_type);
        f(type);
        function_type = reinterpret_cast<PyTypeObject *>(type);
        f(globals);
    }
};

inline CoreState &core_state(PyObject *module) noexcept {
    return *static_cast<CoreState *>(PyModule_GetState(module));
}

template <class State> State &module_state(PyObject *module) noexcept {
    return *static_cast<State *>(static_cast<CoreState *>(PyModule_GetState(module)));
}

// Prepares the core part of a new module's state (see init_state).
int init_core(PyObject *module);

// Constructs the state of a new module and prepares its core part; the
// first step of every module's execution. -1 with an exception set.
template <class State> int init_state(PyObject *module) {
    new (PyModule_GetState(module)) State();
    return init_core(module);
}

// Garbage-collector and teardown slots for a module whose state is `State`.
template <class State> int module_traverse(PyObject *module, visitproc visit, void *arg) {
    auto *raw = PyModule_GetState(module);
    if (raw == nullptr) {
        return 0;
    }
    int result = 0;
    static_cast<State *>(static_cast<CoreState *>(raw))->for_each_ref([&](PyObject *&obj) {
        if (result == 0 && obj != nullptr) {
            result = visit(obj, arg);
        }
    });
    return result;
}

template <class State> int module_clear(PyObject *module) {
    auto *raw = PyModule_GetState(module);
    if (raw != nullptr) {
        auto &state = *static_cast<State *>(static_cast<CoreState *>(raw));
        if constexpr (requires { state.clear_unvisited(); }) {
            state.clear_unvisited();
        }
        state.for_each_ref([](PyObject *&obj) { Py_CLEAR(obj); });
    }
    return 0;
}

// Releases what the core part of a state holds outside the references.
void free_core(CoreState &state) noexcept;

template <class State> void module_free(void *module) {
    auto *raw = PyModule_GetState(static_cast<PyObject *>(module));
    module_clear<State>(static_cast<PyObject *>(module));
    if (raw != nullptr) {
        free_core(*static_cast<CoreState *>(raw));
        static_cast<State *>(static_cast<CoreState *>(raw))->~State();
    }
}

// The definition of a module whose state is `State` and whose execution is
// `slots`.
template <class State>
constexpr PyModuleDef module_definition(const char *name, const char *doc,
                                        PyModuleDef_Slot *slots) {
    return {PyModuleDef_HEAD_INIT,
            name,
            doc,
            sizeof(State),
            nullptr,
            slots,
            module_traverse<State>,
            module_clear<State>,
            module_free<State>};
}

} // namespace nalo
