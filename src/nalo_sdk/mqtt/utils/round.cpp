// round(value, 4) with the built-in's results, computed in C for an exact
// float or int; any other type goes through the built-in round itself, so
// its __round__ hook and the built-in's errors stay as they are.
#include "utils.hpp"

#include <cmath>

namespace mqtt_utils {
namespace {

// The built-in rounds a float to the decimal with 4 places nearest to its
// exact binary value (ties to even), then takes the double nearest to that
// decimal. With the scaled value an integer below 2^53, both steps can be
// done exactly in double arithmetic: p + e is the exact product x * 10^4,
// the integer nearest to it is that of p unless p is a half-way point (then
// the sign of e decides, and a true tie stays with nearbyint's even choice),
// and one correctly rounded division gives the double nearest to r / 10^4.
// Returns false for magnitudes this does not cover.
bool round_float(double x, double &out) noexcept {
    if (!std::isfinite(x)) {
        out = x; // nan and the infinities round to themselves
        return true;
    }
    constexpr double scale = 1e4;
    const double p = x * scale;
    if (!(std::fabs(p) < 0x1p52)) {
        return false;
    }
    const double e = std::fma(x, scale, -p);
    double r = std::nearbyint(p);
    if (std::fabs(p - r) == 0.5 && e != 0.0) {
        r = e > 0.0 ? p + 0.5 : p - 0.5;
    }
    out = r / scale;
    if (out == 0.0) {
        out = std::copysign(0.0, x); // the decimal keeps the sign of x
    }
    return true;
}

} // namespace

Ref round4(const State &st, PyObject *value) {
    if (PyLong_CheckExact(value)) {
        // int.__round__ with a non-negative number of digits returns the
        // exact int itself.
        return Ref::borrow(value);
    }
    if (PyFloat_CheckExact(value)) {
        double rounded = 0.0;
        if (round_float(PyFloat_AS_DOUBLE(value), rounded)) {
            return Ref::steal(PyFloat_FromDouble(rounded));
        }
    }
    PyObject *call[] = {value, st.four};
    return Ref::steal(PyObject_Vectorcall(st.round, call, 2, nullptr));
}

} // namespace mqtt_utils
