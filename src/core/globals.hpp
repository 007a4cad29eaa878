// Module globals: bound at load, looked up by name at the moment of use, so
// that rebinding one changes the calls that follow.
#pragma once

#include "core/compat.hpp"
#include "core/module_state.hpp"

#include <cstdint>

namespace nalo {

// Binds `value` (borrowed) as the global `name` of `module`; -1 on error.
int set_global(PyObject *module, const char *name, PyObject *value);

// A module global looked up at the moment of use: the module's dict, then the
// builtins; NameError "name '%U' is not defined" when absent.
Ref get_global(const CoreState &module, PyObject *name);

// One entry of a dict remembered together with the dict and its version
// (compat::dict_version): while the same dict has the same version it still
// holds the same value under the key. The value is borrowed: the dict keeps
// it alive for as long as the version matches, and the cache keeps nothing
// alive after the dict lets go of it.
struct CachedEntry {
    PyObject *dict = nullptr; // compared, never dereferenced
    uint64_t version = 0;
    PyObject *value = nullptr; // borrowed; valid only while the version matches
};

// Whether values read from `dict` may be remembered: the dict's changes are
// followed (compat::watch_dict), through the module's watcher.
bool follow_changes(CoreState &module, PyObject *dict);

// The value of the str `key` in the exact dict `dict` (borrowed), taken from
// `cache` while the dict is unchanged: null without exception when absent,
// null with an exception on a failed lookup.
PyObject *cached_lookup(CoreState &module, PyObject *dict, PyObject *key, CachedEntry &cache);

// get_global for a global read on every call, when `cache` does not hold.
Ref read_global(CoreState &module, PyObject *name, CachedEntry &cache);

// get_global for a global read on every call: a global of the module's own
// dict is remembered in `cache` until the dict changes; a builtin or a missing
// name goes through get_global each time. The check is inline, as for
// attributes (attributes.hpp).
inline Ref get_global(CoreState &module, PyObject *name, CachedEntry &cache) {
    if (cache.value != nullptr && cache.dict == module.globals &&
        cache.version == compat::dict_version(module.globals)) {
        return Ref::borrow(cache.value);
    }
    return read_global(module, name, cache);
}

} // namespace nalo
