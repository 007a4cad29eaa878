// Module globals, and dict entries remembered by version tag.
#include "core/globals.hpp"

namespace nalo {

int set_global(PyObject *module, const char *name, PyObject *value) {
    return PyModule_AddObjectRef(module, name, value);
}

Ref get_global(const CoreState &module, PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(module.globals, name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    PyObject *builtins = PyEval_GetBuiltins();
    value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

bool follow_changes(CoreState &module, PyObject *dict) {
    if (module.dict_watcher == CoreState::no_dict_watcher_yet) {
        module.dict_watcher = compat::add_dict_watcher();
    }
    return compat::watch_dict(module.dict_watcher, dict);
}

PyObject *cached_lookup(CoreState &module, PyObject *dict, PyObject *key, CachedEntry &cache) {
    const uint64_t version = compat::dict_version(dict);
    if (cache.value != nullptr && cache.dict == dict && cache.version == version) {
        return cache.value;
    }
    cache.value = nullptr;
    const bool followed = follow_changes(module, dict);
    const uint64_t before = compat::dict_version(dict);
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        return nullptr;
    }
    // A key's __eq__ run by the lookup may have changed the dict meanwhile;
    // then the value is not remembered.
    if (followed && compat::dict_version(dict) == before) {
        cache.dict = dict;
        cache.value = value;
        cache.version = before;
    }
    return value;
}

Ref read_global(CoreState &module, PyObject *name, CachedEntry &cache) {
    PyObject *value = cached_lookup(module, module.globals, name, cache);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    return PyErr_Occurred() ? nullptr : get_global(module, name);
}

} // namespace nalo
