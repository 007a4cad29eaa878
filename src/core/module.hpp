// Module assembly: module state, interned names, imports, global lookups
// and classes, shared by every extension module of the kit.
#pragma once

#include "function.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace nalo {

// Interned constant names of one module, built once at module execution.
// `Names<N>` is indexed by the module's own enum of names.
template <size_t N> struct Names {
    std::array<PyObject *, N> items{};

    int init(const std::array<const char *, N> &texts) {
        for (size_t i = 0; i < N; ++i) {
            items[i] = PyUnicode_InternFromString(texts[i]);
            if (items[i] == nullptr) {
                return -1;
            }
        }
        return 0;
    }
    template <class E> PyObject *operator[](E e) const noexcept {
        return items[static_cast<size_t>(e)];
    }
    template <class F> void for_each_ref(F &&f) {
        for (PyObject *&obj : items) {
            f(obj);
        }
    }
};

// The part of every module's state that the core itself uses. A module's
// state type derives from it and lists its own references in for_each_ref.
struct CoreState {
    PyTypeObject *function_type = nullptr;

    template <class F> void for_each_ref(F &&f) {
        PyObject *type = reinterpret_cast<PyObject *>(function_type);
        f(type);
        function_type = reinterpret_cast<PyTypeObject *>(type);
    }
};

inline CoreState &core_state(PyObject *module) noexcept {
    return *static_cast<CoreState *>(PyModule_GetState(module));
}

template <class State> State &module_state(PyObject *module) noexcept {
    return *static_cast<State *>(static_cast<CoreState *>(PyModule_GetState(module)));
}

// The state of the module that defined `fn`.
template <class State> State &module_state(const FunctionObject &fn) noexcept {
    return module_state<State>(fn.module);
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
        static_cast<State *>(static_cast<CoreState *>(raw))->for_each_ref([](PyObject *&obj) {
            Py_CLEAR(obj);
        });
    }
    return 0;
}

template <class State> void module_free(void *module) {
    module_clear<State>(static_cast<PyObject *>(module));
}

// Prepares the core part of a new module's state; the first step of every
// module's execution.
int init_core(PyObject *module);

// `import name` (absolute): the top-level module, as the statement binds it.
Ref import_module(const char *name);

// `from module import name`: the attribute, or an already imported submodule
// of that name; ImportError "cannot import name %S" otherwise.
Ref import_from(PyObject *from, PyObject *name);

// `from module_name import names...`, binding each name as a global of
// `module` in order.
int import_names(PyObject *module, const char *module_name, std::span<const char *const> names);

// Binds `value` (borrowed) as the global `name` of `module`.
int set_global(PyObject *module, const char *name, PyObject *value);

// A module global looked up at the moment of use: the module's dict, then the
// builtins; NameError "name '%U' is not defined" when absent.
Ref get_global(PyObject *module, PyObject *name);

// One entry of a dict remembered together with the dict's version tag. Every
// change to any dict gives it a new tag, unique in the process, so while the
// tag is the same the dict still holds the same value under the key. The
// value is borrowed: the dict keeps it alive for as long as the tag matches,
// and the cache keeps nothing alive after the dict lets go of it.
struct CachedEntry {
    uint64_t version = 0;
    PyObject *value = nullptr; // borrowed; valid only while the tag matches
};

// The value of the str `key` in the exact dict `dict` (borrowed), taken from
// `cache` while the dict is unchanged: null without exception when absent,
// null with an exception on a failed lookup.
PyObject *cached_lookup(PyObject *dict, PyObject *key, CachedEntry &cache);

// get_global for a global read on every call: a global of the module's own
// dict is remembered in `cache` until the dict changes; a builtin or a missing
// name goes through get_global each time.
Ref get_global(PyObject *module, PyObject *name, CachedEntry &cache);

struct Method {
    const FunctionDef *def;
    PyObject *defaults; // borrowed tuple, or null
};

// A plain class attribute, as `name = value` in a class body.
struct ClassAttr {
    const char *name;
    PyObject *value; // borrowed
};

// Creates a class as a class statement would: the metaclass `type` called
// with the name, no bases and a namespace holding __module__, __qualname__,
// __doc__, then the plain attributes and then the methods, in order. A null
// `doc` leaves __doc__ out of the namespace, so that the metaclass sets it to
// None after the other entries, as for a class statement without docstring.
Ref make_class(PyObject *module, const char *name, const char *doc, std::span<const Method> methods,
               std::span<const ClassAttr> attrs = {});

// A tuple of interned names (the keyword names of a call the module makes),
// built once at module execution; a new reference, or null on error.
PyObject *names_tuple(std::initializer_list<const char *> names);

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

// Creates a function and binds it as a global of `module`.
int add_function(PyObject *module, const FunctionDef &def, PyObject *defaults);

} // namespace nalo
