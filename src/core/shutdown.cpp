// The atexit callback behind `exit_started`.
#include "core/shutdown.hpp"
#include "core/ref.hpp"

namespace nalo {

std::atomic<bool> exit_started{false};

namespace {

PyObject *note_exit(PyObject * /*module*/, PyObject * /*unused*/) {
    exit_started.store(true);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_interpreter_exit", note_exit, METH_NOARGS, nullptr};

} // namespace

int watch_interpreter_exit() {
    // One callback per interpreter and shared library: importing the module
    // again (a reload, a fresh copy) adds none. The interpreter's dict for
    // extension state remembers it, under a key naming this library's flag.
    PyObject *interpreter_state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interpreter_state == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter state dict");
        return -1;
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("nalo_sdk exit watch %p", &exit_started));
    if (!key) {
        return -1;
    }
    const int watched = PyDict_Contains(interpreter_state, key.get());
    if (watched != 0) {
        return watched < 0 ? -1 : 0;
    }
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref callback = Ref::steal(PyCFunction_New(&note_exit_def, nullptr));
    if (!atexit || !callback) {
        return -1;
    }
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    if (!done) {
        return -1;
    }
    return PyDict_SetItem(interpreter_state, key.get(), Py_True);
}

} // namespace nalo
