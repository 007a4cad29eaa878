// Attribute reads remembered while nothing they depend on has changed.
//
// `obj.name` where obj's type uses the generic attribute lookup, no class of
// its hierarchy has an attribute `name`, and obj keeps its attributes in a
// plain instance dict: the value is that dict's entry, and stays so while the
// type's version tag and the dict's version are unchanged (what the
// interpreter's own attribute caches rely on). Reading it again then costs
// a few comparisons instead of a lookup through the class hierarchy. Any
// other attribute goes through PyObject_GetAttr every time.
#pragma once

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

// obj.name (`name` an exact, interned str), from `cache` while it holds.
Ref get_attribute(CoreState &module, PyObject *obj, PyObject *name, CachedAttribute &cache);

} // namespace nalo
