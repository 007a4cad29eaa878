// The atexit callback behind `exit_near`, and the watch on its release.
#include "core/shutdown.hpp"
#include "core/ref.hpp"

namespace nalo {

std::atomic<bool> exit_near{false};

namespace {

PyObject *note_exit(PyObject * /*capsule*/, PyObject * /*unused*/) {
    exit_near.store(true);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_interpreter_exit", note_exit, METH_NOARGS, nullptr};

// The destructor of the callback's `self`: runs when the callback goes,
// which is when the atexit registry lets go of it.
void note_callback_released(PyObject * /*capsule*/) noexcept {
    exit_near.store(true);
}

constexpr const char *capsule_name = "nalo_sdk exit watch";

// The interpreter's atexit module is built in, made from a module
// definition; a stand-in written in Python is not.
bool is_interpreters_atexit(PyObject *module) noexcept {
    return PyModule_Check(module) && PyModule_GetDef(module) != nullptr;
}

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
    Ref key = Ref::steal(PyUnicode_FromFormat("nalo_sdk exit watch %p", &exit_near));
    if (!key) {
        return -1;
    }
    const int watched = PyDict_Contains(interpreter_state, key.get());
    if (watched != 0) {
        return watched < 0 ? -1 : 0;
    }
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) {
        return -1;
    }
    if (!is_interpreters_atexit(atexit.get())) {
        exit_near.store(true);
    }
    Ref capsule = Ref::steal(PyCapsule_New(&exit_near, capsule_name, note_callback_released));
    Ref callback = capsule ? Ref::steal(PyCFunction_New(&note_exit_def, capsule.get())) : nullptr;
    if (!callback) {
        return -1;
    }
    capsule.reset();
    // Out of the collector's sight (it references nothing that could form a
    // cycle), so that gc.get_objects() cannot hand it to Python code.
    PyObject_GC_UnTrack(callback.get());
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    if (!done) {
        return -1;
    }
    return PyDict_SetItem(interpreter_state, key.get(), Py_True);
}

} // namespace nalo
