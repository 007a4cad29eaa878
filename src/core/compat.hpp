// The interpreter interfaces that are private, or differ between the
// interpreter versions the modules build for, each behind one function here
// with the reason it is used. No other file names a private interface.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace nalo::compat {

// Whether the interpreter is shutting down: from then on it ends any other
// thread that asks for the interpreter lock.
inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Whether this thread holds the interpreter lock. PyGILState_Check() is
// not enough during shutdown: once the interpreter has dropped its table of
// thread states it answers "yes" for every thread. Here the thread's own
// state must be the one that holds the lock (3.11 names the holder
// process-wide; from 3.12 on the state is the thread's own, set only while
// it holds the lock).
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState *holder = PyThreadState_GetUnchecked();
#else
    PyThreadState *holder = _PyThreadState_UncheckedGet();
#endif
    return holder != nullptr && holder == PyGILState_GetThisThreadState();
}

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 on the interpreter's own method lookup is declared in its
// internal headers only, which need the interpreter's build settings; it is
// still exported for extension modules, with the same signature.
// NOLINTBEGIN(bugprone-reserved-identifier): the interpreter's name
extern "C" int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
// NOLINTEND(bugprone-reserved-identifier)
#endif

// `obj.name` found as an unbound method where the type offers one (1, the
// function in `*method`), else as a plain attribute (0, the bound value in
// `*method`); -1 with an exception set. Saves making a bound method object
// for a method the caller only wants to compare or call with `obj` first:
// the interpreter's own lookup for `obj.name(...)`, the same on 3.11 and
// 3.13 (where making the bound method and taking it apart again cost a
// discovery walk a tenth of its time).
inline int get_method(PyObject *obj, PyObject *name, PyObject **method) {
    const int unbound = _PyObject_GetMethod(obj, name, method);
    return *method == nullptr ? -1 : unbound;
}

// The exception that the running code handles, as an except block sees it:
// the slot of the innermost exception state of the thread (the same field
// from 3.11 through 3.13; PyErr_SetHandledException would write the slot
// that sys.exception() reports, which may be an outer one). The caller may
// swap its value; it must give back exactly what it took.
inline PyObject *&handled_exception_slot() noexcept {
    return PyThreadState_Get()->exc_info->exc_value;
}

// --- Changes of a dict ------------------------------------------------------
// A value read from a dict may be remembered while dict_version(dict) stays
// the same. 3.11 gives every dict a version tag, renewed on any change and
// unique in the process. 3.12 deprecates the tag; there a dict watcher stands
// in: the interpreter calls it before every change of a dict it watches
// (deallocation included), and it counts them. Its callback receives no
// context, so the count is one per process, not per dict: a change anywhere
// among the watched dicts only makes a remembered value be looked up again.
// Callers therefore also compare the dict's identity.

#if PY_VERSION_HEX >= 0x030C0000
inline std::atomic<uint64_t> watched_dict_changes{1};

inline int count_dict_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    watched_dict_changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
#endif

// Registers the change counter with the running interpreter: its watcher id,
// or -1 when the interpreter has no watcher left (nothing is remembered
// then). Never leaves an exception set.
inline int add_dict_watcher() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    const int id = PyDict_AddWatcher(count_dict_change);
    if (id < 0) {
        PyErr_Clear();
    }
    return id;
#else
    return 0;
#endif
}

inline void remove_dict_watcher(int id) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (id >= 0 && PyDict_ClearWatcher(id) < 0) {
        PyErr_Clear();
    }
#else
    (void)id;
#endif
}

// Makes dict_version(dict) follow the changes of `dict`; false when it cannot
// (then nothing read from it may be remembered). Never leaves an exception
// set.
inline bool watch_dict(int watcher, PyObject *dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (watcher < 0) {
        return false;
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
#else
    (void)watcher;
    (void)dict;
    return true;
#endif
}

inline uint64_t dict_version(PyObject *dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return watched_dict_changes.load(std::memory_order_relaxed);
#else
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

// The type's version tag, or 0 when it has none: while a type keeps the same
// nonzero tag, nothing in its class hierarchy has changed (any change to a
// class resets the tags of the class and of all its subclasses). 3.11 marks
// a valid tag with a flag; from 3.12 on the flag is unused and 0 is the
// invalid tag.
inline unsigned type_version(PyTypeObject *type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
#endif
}

// The slot of the object's instance dict: at the type's fixed positive
// offset, or the one the interpreter manages for instances of classes made
// by class statements; null for any other layout (no dict, a variable-size
// object). A managed dict may not exist yet, the attributes kept in the
// object itself (where the interpreter's own attribute caches read them, and
// ours cannot): reaching its slot makes the dict from them, as reading
// obj.__dict__ does, once per object; null when that fails. Never leaves an
// exception set.
inline PyObject **instance_dict_slot(PyObject *obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0) {
        return _PyObject_GetDictPtr(obj);
    }
    if (type->tp_dictoffset <= 0) {
        return nullptr;
    }
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + type->tp_dictoffset);
}

// The dict of a class's own attributes (borrowed: the type keeps it), or
// null. From 3.12 on a built-in type's tp_dict is null (its dict lives in the
// interpreter's state): PyType_GetDict reaches it.
inline PyObject *type_dict(PyTypeObject *type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *dict = PyType_GetDict(type);
    Py_XDECREF(dict);
    return dict;
#else
    return type->tp_dict;
#endif
}

// --- Filling a fresh copy of a small dict ----------------------------------
// Only for the versions that have the table layout below and that the tests
// run on; the free-threaded build has a lock in the table's head.
#if !defined(Py_GIL_DISABLED) && ((PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000) || \
                                  (PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000))
#define NALO_FILLS_DICT_ENTRIES 1
// The head of the table of a dict's keys, the same in 3.11 and 3.13 (its
// internal header needs the interpreter's build settings), and one entry of
// a table of str keys.
struct DictKeysHead {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[];
};
struct DictStrEntry {
    PyObject *me_key;
    PyObject *me_value;
};
inline constexpr uint8_t dict_keys_str_kind = 1;

// Whether a dict watcher watches the dict (3.13 keeps their bits in the low
// byte of the deprecated version tag): its writes must then go through the
// dict, which tells the watchers.
inline bool dict_is_watched(PyDictObject *mp) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return (mp->ma_version_tag & 0xff) != 0;
#pragma GCC diagnostic pop
#else
    (void)mp;
    return false;
#endif
}
#endif

// Replaces the value of the `index`-th key of `dict` with `value` (a new
// reference taken) when that key is `key`: true when done, false when the
// caller must store the value with PyDict_SetItem. `dict` is a copy of a
// dict of str keys just made by PyDict_Copy, that nothing else has seen yet.
// Storing through PyDict_SetItem looks each key up again, a quarter of the
// time of a payload, where plain Python builds its dict with an internal
// builder that is not exported. The copy of a combined table of str keys has
// a table of its own, entries in insertion order; every assumption is
// checked on each call, and anything else (another version, a watched dict,
// a shared or larger table, another key at the index) takes the public path.
// The dict's version tag is left as the copy set it: no cache has seen it.
inline bool set_fresh_dict_value(PyObject *dict, Py_ssize_t index, PyObject *key,
                                 PyObject *value) noexcept {
#ifdef NALO_FILLS_DICT_ENTRIES
    auto *mp = reinterpret_cast<PyDictObject *>(dict);
    if (!PyDict_CheckExact(dict) || mp->ma_values != nullptr || dict_is_watched(mp)) {
        return false;
    }
    auto *keys = reinterpret_cast<DictKeysHead *>(mp->ma_keys);
    // Tables of at most 128 slots index with one byte a slot; a larger one,
    // or one read through a layout other than the one above, goes the
    // public way.
    if (keys->dk_refcnt != 1 || keys->dk_kind != dict_keys_str_kind || keys->dk_log2_size > 7 ||
        keys->dk_log2_index_bytes != keys->dk_log2_size || index < 0 ||
        index >= keys->dk_nentries) {
        return false;
    }
    auto *entries = reinterpret_cast<DictStrEntry *>(keys->dk_indices +
                                                     (size_t{1} << keys->dk_log2_index_bytes));
    DictStrEntry &entry = entries[index];
    if (entry.me_key != key || entry.me_value == nullptr) {
        return false;
    }
    PyObject *old = entry.me_value;
    entry.me_value = Py_NewRef(value);
    // As the dict's own insert does: a dict that may hold a container is
    // tracked by the cycle collector.
    if (PyObject_IS_GC(value) && PyObject_GC_IsTracked(dict) == 0) {
        PyObject_GC_Track(dict);
    }
    Py_DECREF(old);
    return true;
#else
    (void)dict;
    (void)index;
    (void)key;
    (void)value;
    return false;
#endif
}

} // namespace nalo::compat
