// Clearing: the once-only cleanup of a manager and the one-shot function.
#include "core/globals.hpp"
#include "flowsweep.hpp"

#include <utility>

namespace flowsweep {
namespace {

// The guarded part of the cleanup: collect, delete, report, set the flag.
// Returns -1 with the exception set when any step fails.
int collect_and_delete(const FunctionObject &fn, PyObject *self) {
    const State &st = state_of(fn);
    PyObject *collect_args[] = {self};
    Ref redis_keys = Ref::steal(
        PyObject_VectorcallMethod(st[Name::_collect_stream_redis_keys], collect_args, 1, nullptr));
    if (!redis_keys) {
        return -1;
    }
    Ref wrapper = Ref::steal(PyObject_GetAttr(self, st[Name::redis_wrapper]));
    if (!wrapper) {
        return -1;
    }
    PyObject *delete_args[] = {wrapper.get(), redis_keys.get()};
    Ref deleted =
        Ref::steal(PyObject_VectorcallMethod(st[Name::delete_many], delete_args, 2, nullptr));
    if (!deleted) {
        return -1;
    }
    Ref deleted_text = Ref::steal(PyObject_Str(deleted.get()));
    if (!deleted_text) {
        return -1;
    }
    const Py_ssize_t count = PyObject_Size(redis_keys.get());
    if (count < 0) {
        return -1;
    }
    Ref line = Ref::steal(PyUnicode_FromFormat("Stream cleanup complete: %U/%zd keys deleted",
                                               deleted_text.get(), count));
    if (!line || log_line(fn, Name::info, line.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttr(self, st[Name::_keys_cleared], Py_True);
}

// The handler for Exception: logs the error line while the exception is
// the one being handled (as inside an except block, so a logger that
// records the active exception sees it, and an error raised by the logger
// is chained to it). Anything that is not an Exception goes on.
Ref handle_failure(const FunctionObject &fn) {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    Ref owned_type = Ref::steal(type);
    Ref error = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);

    // What the interpreter does on entering and leaving an except block: the
    // thread's current exception-state entry holds the exception, and gets
    // back exactly its own earlier value afterwards. (The handled exception
    // that sys.exception() reports may come from an outer entry, a caller's
    // except block around a generator; writing that one back here would
    // leave the generator claiming to handle the caller's exception.)
    PyObject *&handled = nalo::compat::handled_exception_slot();
    PyObject *outer = std::exchange(handled, nalo::new_ref(error.get()));
    Ref text = Ref::steal(PyObject_Str(error.get()));
    Ref line = text ? Ref::steal(PyUnicode_FromFormat("Failed to clear Redis keys: %U", text.get()))
                    : nullptr;
    const int logged = line ? log_line(fn, Name::error, line.get()) : -1;
    Py_XSETREF(nalo::compat::handled_exception_slot(), outer);
    if (logged < 0) {
        return nullptr;
    }
    return Ref::borrow(Py_False);
}

} // namespace

Ref clear_stream_keys(FunctionObject &fn, const Args &args) {
    const State &st = state_of(fn);
    PyObject *self = args[0];
    Ref cleared = Ref::steal(PyObject_GetAttr(self, st[Name::_keys_cleared]));
    if (!cleared) {
        return nullptr;
    }
    const int done = PyObject_IsTrue(cleared.get());
    if (done < 0) {
        return nullptr;
    }
    if (done) {
        if (log_line(fn, Name::debug, st[Name::already_cleared]) < 0) {
            return nullptr;
        }
        return Ref::borrow(Py_True);
    }
    if (log_line(fn, Name::info, st[Name::clearing]) < 0) {
        return nullptr;
    }
    if (collect_and_delete(fn, self) < 0) {
        return handle_failure(fn);
    }
    return Ref::borrow(Py_True);
}

Ref clear_stream_redis_keys(FunctionObject &fn, const Args &args) {
    const State &st = state_of(fn);
    Ref manager_class = nalo::get_global(*fn.state, st[Name::FlowsweepManager]);
    if (!manager_class) {
        return nullptr;
    }
    // FlowsweepManager(redis_wrapper=..., nodered_flow=..., node_config=...,
    //                  redis_out_key=...)
    Ref manager = Ref::steal(PyObject_Vectorcall(manager_class.get(), args.obj, 0, st.kw_manager));
    if (!manager) {
        return nullptr;
    }
    // manager.clear_stream_keys(max_ports=max_ports)
    PyObject *call[] = {manager.get(), args[4]};
    return Ref::steal(
        PyObject_VectorcallMethod(st[Name::clear_stream_keys], call, 1, st.kw_max_ports));
}

} // namespace flowsweep
