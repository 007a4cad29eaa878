// The payload's clock: time.time(), looked up through the module global
// `time` on every call.
#include "utils.hpp"

#include <cstdint>
#include <ctime>

namespace mqtt_utils {
namespace {

// time.time() as the interpreter's own function computes it, without the
// call: the system clock read as whole nanoseconds, then the seconds as a
// double, the exact whole number when the reading is a whole second, else
// the nanoseconds divided by 10^9. The interpreter finds a whole second by a
// 64-bit division, a fair share of the whole payload's time (and a library
// call on 32-bit ARM); the reading's own nanosecond field tells the same.
// -1 with an exception set, as the interpreter fails.
int system_clock_seconds(double &out) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    constexpr int64_t ns_per_second = 1000000000;
    int64_t ns = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(now.tv_sec), ns_per_second, &ns) ||
        __builtin_add_overflow(ns, static_cast<int64_t>(now.tv_nsec), &ns)) {
        PyErr_SetString(PyExc_OverflowError, "timestamp too large to convert to nanoseconds");
        return -1;
    }
    out = now.tv_nsec == 0 ? static_cast<double>(now.tv_sec)
                           : static_cast<double>(ns) / static_cast<double>(ns_per_second);
    return 0;
}

} // namespace

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
            if (system_clock_seconds(seconds) < 0) {
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
