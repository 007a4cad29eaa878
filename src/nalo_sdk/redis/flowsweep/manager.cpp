// FlowsweepManager construction, its once-only flag, and the module logger.
#include "core/globals.hpp"
#include "flowsweep.hpp"

namespace flowsweep {

int log_line(const FunctionObject &fn, Name level, PyObject *text) {
    const State &st = state_of(fn);
    Ref logger = nalo::get_global(*fn.state, st[Name::logger]);
    if (!logger) {
        return -1;
    }
    PyObject *call[] = {logger.get(), text};
    Ref result = Ref::steal(PyObject_VectorcallMethod(st[level], call, 2, nullptr));
    return result ? 0 : -1;
}

Ref manager_init(FunctionObject &fn, const Args &args) {
    const State &st = state_of(fn);
    PyObject *self = args[0];
    if (PyObject_SetAttr(self, st[Name::redis_wrapper], args[1]) < 0 ||
        PyObject_SetAttr(self, st[Name::nodered_flow], args[2]) < 0 ||
        PyObject_SetAttr(self, st[Name::node_config], args[3]) < 0 ||
        PyObject_SetAttr(self, st[Name::redis_out_key], args[4]) < 0 ||
        PyObject_SetAttr(self, st[Name::_keys_cleared], Py_False) < 0) {
        return nullptr;
    }
    return Ref::borrow(Py_None);
}

Ref reset_cleanup_flag(FunctionObject &fn, const Args &args) {
    if (PyObject_SetAttr(args[0], state_of(fn)[Name::_keys_cleared], Py_False) < 0) {
        return nullptr;
    }
    return Ref::borrow(Py_None);
}

} // namespace flowsweep
