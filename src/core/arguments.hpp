// The argument rule, the same for every native function: every parameter by
// position or by keyword, defaults only for omitted arguments, exact type
// tests for parameters annotated with a built-in type, and conversion to a
// C double for those annotated "float"; the library's fixed messages.
#pragma once

#include "core/ref.hpp"

namespace nalo {

// What a parameter's annotation asks of its argument at call time.
enum class Check : unsigned char {
    none, // "Any" or no annotation: not tested
    exact_dict,
    exact_str,
    exact_int,
    exact_list,
    exact_set,
    to_double // "float": converted to a C double
};

struct Param {
    const char *name;
    const char *annotation; // stored as a string; nullptr: not annotated
    Check check = Check::none;
};

inline constexpr int max_params = 8;

// The bound arguments of one call. Objects are borrowed for the duration of
// the call (from the caller's argument array or the function's defaults).
struct Args {
    PyObject *obj[max_params];
    double num[max_params]; // filled for Check::to_double parameters
    PyObject *operator[](int i) const noexcept { return obj[i]; }
};

struct FunctionObject;

// Binds one call's arguments under the argument rule; -1 with TypeError set
// (or the error of a float conversion) on failure.
int bind_arguments(const FunctionObject &fn, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames, Args &out);

// TypeError "Argument '<param>' has incorrect type (expected <expected>, got
// <type of value>)", the message of a failed exact type test; returns -1.
int incorrect_type(const char *param, const char *expected, PyObject *value);

} // namespace nalo
