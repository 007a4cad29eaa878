// Module assembly helpers: the statements a module executes at import.
#include "module.hpp"

namespace nalo {

int init_core(PyObject *module) {
    CoreState &state = core_state(module);
    state.function_type = make_function_type(module);
    return state.function_type && watch_interpreter_exit() == 0 ? 0 : -1;
}

Ref import_module(const char *name) {
    return Ref::steal(PyImport_ImportModuleLevel(name, nullptr, nullptr, nullptr, 0));
}

Ref import_from(PyObject *from, PyObject *name) {
    Ref value = Ref::steal(PyObject_GetAttr(from, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    // A submodule that is imported already counts, as in the import statement.
    Ref package = Ref::steal(PyObject_GetAttrString(from, "__name__"));
    if (package && PyUnicode_Check(package.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full) {
            return nullptr;
        }
        value = Ref::steal(PyImport_GetModule(full.get()));
        if (value || PyErr_Occurred()) {
            return value;
        }
    } else if (!package && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return nullptr;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

int import_names(PyObject *module, const char *module_name, std::span<const char *const> names) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) {
        return -1;
    }
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            return -1;
        }
        PyTuple_SET_ITEM(fromlist.get(), i++, text);
    }
    Ref from = Ref::steal(PyImport_ImportModuleLevel(module_name, PyModule_GetDict(module), nullptr,
                                                     fromlist.get(), 0));
    if (!from) {
        return -1;
    }
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject *name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = import_from(from.get(), name);
        if (!value || PyModule_AddObjectRef(module, PyUnicode_AsUTF8(name), value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int set_global(PyObject *module, const char *name, PyObject *value) {
    return PyModule_AddObjectRef(module, name, value);
}

Ref get_global(PyObject *module, PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
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

PyObject *cached_lookup(PyObject *dict, PyObject *key, CachedEntry &cache) {
    const uint64_t version = compat::dict_version(dict);
    if (cache.value != nullptr && cache.version == version) {
        return cache.value;
    }
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        return nullptr;
    }
    // A key's __eq__ run by the lookup may have changed the dict meanwhile;
    // then the value is not remembered.
    if (compat::dict_version(dict) == version) {
        cache.value = value;
        cache.version = version;
    }
    return value;
}

Ref get_global(PyObject *module, PyObject *name, CachedEntry &cache) {
    PyObject *value = cached_lookup(PyModule_GetDict(module), name, cache);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    return PyErr_Occurred() ? nullptr : get_global(module, name);
}

Ref make_class(PyObject *module, const char *name, const char *doc, std::span<const Method> methods,
               std::span<const ClassAttr> attrs) {
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!ns || !module_name || !qualname ||
        PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) {
        return nullptr;
    }
    if (doc != nullptr) {
        Ref docstring = Ref::steal(PyUnicode_FromString(doc));
        if (!docstring || PyDict_SetItemString(ns.get(), "__doc__", docstring.get()) < 0) {
            return nullptr;
        }
    }
    for (const ClassAttr &attr : attrs) {
        if (PyDict_SetItemString(ns.get(), attr.name, attr.value) < 0) {
            return nullptr;
        }
    }
    for (const Method &method : methods) {
        Ref fn = make_function(module, *method.def, method.defaults);
        if (!fn || PyDict_SetItemString(ns.get(), method.def->name, fn.get()) < 0) {
            return nullptr;
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return nullptr;
    }
    PyObject *args[] = {qualname.get(), bases.get(), ns.get()};
    return Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyType_Type), args, 3, nullptr));
}

PyObject *names_tuple(std::initializer_list<const char *> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), i++, text);
    }
    return tuple.release();
}

int add_function(PyObject *module, const FunctionDef &def, PyObject *defaults) {
    Ref fn = make_function(module, def, defaults);
    return fn ? set_global(module, def.name, fn.get()) : -1;
}

} // namespace nalo
