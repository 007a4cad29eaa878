// Classes built as class statements build them.
#include "core/classes.hpp"

namespace nalo {

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

} // namespace nalo
