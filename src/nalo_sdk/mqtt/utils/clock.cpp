// The payload's clock: time.time(), looked up through the module global
// `time` on every call.
#include "utils.hpp"

namespace mqtt_utils {

Ref read_clock(const FunctionObject &fn, State &st) {
    Ref time = nalo::get_global(*fn.state, st[Name::time], st.time_global);
    if (!time) {
        return nullptr;
    }
    // While `time` is still the plain module imported at load and its `time`
    // is still the interpreter's own function, the clock is read the way that
    // function reads it, without the attribute lookup and the call. A module
    // of a subclass type may answer attribute lookups itself: not here.
    if (time.get() == st.time_module && Py_TYPE(time.get()) == &PyModule_Type) {
        PyObject *now = nalo::cached_lookup(*fn.state, PyModule_GetDict(time.get()), st[Name::time],
                                            st.time_attr);
        if (now != nullptr && now == st.time_time) {
            double seconds = 0.0;
            if (nalo::compat::system_clock_seconds(seconds) < 0) {
                return nullptr;
            }
            return Ref::steal(PyFloat_FromDouble(seconds));
        }
        if (now == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
    }
    PyObject *call[] = {time.get()};
    return Ref::steal(PyObject_VectorcallMethod(st[Name::time], call, 1, nullptr));
}

} // namespace mqtt_utils
