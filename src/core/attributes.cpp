// Remembered attribute reads.
#include "core/attributes.hpp"
#include "core/globals.hpp"

namespace nalo {
namespace {

// True when no class of `type`'s hierarchy has an attribute `name`, so that
// the generic lookup takes it from the instance dict. Exact str keys: the
// lookups run no Python code.
bool absent_from_classes(PyTypeObject *type, PyObject *name) {
    PyObject *mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        PyObject *dict = compat::type_dict(reinterpret_cast<PyTypeObject *>(base));
        if (dict == nullptr || PyDict_GetItemWithError(dict, name) != nullptr) {
            return false;
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Fills `cache` after `value` was read as obj.name, when the read is one
// that can be remembered; empties it otherwise.
void remember(CoreState &module, PyObject *obj, PyObject *name, PyObject *value,
              CachedAttribute &cache) {
    cache.value = nullptr;
    PyTypeObject *type = Py_TYPE(obj);
    PyObject **slot = compat::instance_dict_slot(obj);
    const unsigned version = compat::type_version(type);
    if (type->tp_getattro != PyObject_GenericGetAttr || slot == nullptr || version == 0 ||
        *slot == nullptr || !PyDict_CheckExact(*slot) || !PyUnicode_CheckExact(name)) {
        return;
    }
    PyObject *dict = *slot;
    if (!follow_changes(module, dict)) {
        return;
    }
    const uint64_t dict_version = compat::dict_version(dict);
    PyObject *found = PyDict_GetItemWithError(dict, name);
    if (found != value || !absent_from_classes(type, name) ||
        compat::dict_version(dict) != dict_version) {
        PyErr_Clear();
        return;
    }
    cache.type = type;
    cache.type_version = version;
    cache.dict = dict;
    cache.dict_version = dict_version;
    cache.value = value;
}

} // namespace

Ref read_attribute(CoreState &module, PyObject *obj, PyObject *name, CachedAttribute &cache) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (value) {
        remember(module, obj, name, value.get(), cache);
    }
    return value;
}

} // namespace nalo
