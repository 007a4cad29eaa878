// The import statements a module executes at load.
#include "core/imports.hpp"

namespace nalo {

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

} // namespace nalo
