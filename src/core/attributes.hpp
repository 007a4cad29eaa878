// Attribute reads remembered while nothing they depend on has changed.
//
// `obj.name` where obj's type uses the generic attribute lookup, no class of
// its hierarchy has an attribute `name`, and obj keeps its attributes in an
// instance dict (its own, or the one the interpreter manages for instances
// of a class statement's class, made when first needed: compat.hpp): the
// value is that dict's entry, and stays so while the
// type's version tag and the dict's version are unchanged (what the
// interpreter's own attribute caches rely on). Reading it again then costs
// a few comparisons instead of a lookup through the class hierarchy. Any
// other attribute goes through PyObject_GetAttr every time.
#pragma once

#include "core/compat.hpp"
#include "core/module_state.hpp"

#include <cstdint>

namespace nalo {

struct CachedAttribute {
    PyTypeObject *type = nullptr; // compared, never dereferenced
    unsigned type_version = 0;
    PyObject *dict = nullptr; // compared, never dereferenced
    uint64_t dict_version = 0;
    PyObject *value = nullptr; // borrowed; valid only while both tags match
};

// obj.name read through PyObject_GetAttr, remembered in `cache` when the
// read is one that can be.
Ref read_attribute(CoreState &module, PyObject *obj, PyObject *name, CachedAttribute &cache);

// obj.name (`name` an exact, interned str), from `cache` while it holds. The
// check is inline: on the usual path a read costs a few loads and compares,
// not a call.
inline Ref get_attribute(CoreState &module, PyObject *obj, PyObject *name, CachedAttribute &cache) {
    if (cache.value != nullptr && Py_TYPE(obj) == cache.type) {
        PyObject **slot = compat::instance_dict_slot(obj);
        if (slot != nullptr && *slot == cache.dict &&
            compat::type_version(cache.type) == cache.type_version &&
            compat::dict_version(cache.dict) == cache.dict_version) {
            return Ref::borrow(cache.value);
        }
    }
    return read_attribute(module, obj, name, cache);
}

} // namespace nalo
