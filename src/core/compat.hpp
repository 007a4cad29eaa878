// The interpreter interfaces that are private, or differ between the
// interpreter versions the modules build for, each behind one function here
// with the reason it is used. No other file names a private interface.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// `obj.name` found as an unbound method where the type offers one (1, the
// function in `*method`), else as a plain attribute (0, the bound value in
// `*method`); -1 with an exception set. Saves making a bound method object
// for a method the caller only wants to compare or call with `obj` first.
inline int get_method(PyObject *obj, PyObject *name, PyObject **method) {
    const int unbound = _PyObject_GetMethod(obj, name, method);
    return *method == nullptr ? -1 : unbound;
}

// The exception that the running code handles, as an except block sees it:
// the slot of the innermost exception state of the thread. The caller may
// swap its value; it must give back exactly what it took.
inline PyObject *&handled_exception_slot() noexcept {
    return PyThreadState_Get()->exc_info->exc_value;
}

// The dict's version tag: any change to any dict gives it a new tag, unique
// in the process, so an unchanged tag means unchanged contents.
inline uint64_t dict_version(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

// The type's version tag, or 0 when it has none: while a type keeps the same
// nonzero tag, nothing in its class hierarchy has changed (any change to a
// class resets the tags of the class and of all its subclasses).
inline unsigned type_version(PyTypeObject *type) noexcept {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
}

// The slot of the object's instance dict, for a type that keeps it at a
// fixed positive offset; null for any other layout (no dict, a dict the
// interpreter manages itself, a variable-size object).
inline PyObject **instance_dict_slot(PyObject *obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_dictoffset <= 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0) {
        return nullptr;
    }
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + type->tp_dictoffset);
}

// The dict of a class's own attributes (borrowed).
inline PyObject *type_dict(PyTypeObject *type) noexcept {
    return type->tp_dict;
}

// time.time() as the interpreter's own function computes it, without the
// call: the system clock in seconds, as a double. -1 with an exception set.
inline int system_clock_seconds(double &out) {
    _PyTime_t t = 0;
    if (_PyTime_GetSystemClockWithInfo(&t, nullptr) < 0) {
        return -1;
    }
    out = _PyTime_AsSecondsDouble(t);
    return 0;
}

} // namespace nalo::compat
