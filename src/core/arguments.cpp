// The argument binder.
//
// Order of the checks: too many positional arguments; then the parameters
// not given by position are looked up among the keywords in parameter order
// (the first missing required one raises the count message); then the
// keywords left over (given twice, unknown, not a string); then the float
// conversions; then the exact type tests, in declared order.
#include "core/arguments.hpp"
#include "core/function.hpp"

#include <memory>

namespace nalo {
namespace {

int count_error(const FunctionObject &fn, const char *bound, Py_ssize_t expected,
                Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fn.def->name, bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

bool is_param_name(PyObject *key, const char *name) noexcept {
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// Position of the keyword that names parameter `i`, or -1: first by
// identity with the interned parameter name (the usual case), then by value.
// Non-string keys never match here; they are reported with the left-over
// keywords.
Py_ssize_t find_keyword(const FunctionObject &fn, PyObject *kwnames, Py_ssize_t nkw,
                        Py_ssize_t i) noexcept {
    PyObject *name = PyTuple_GET_ITEM(fn.param_names, i);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) {
            return k;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && is_param_name(key, fn.def->params[i].name)) {
            return k;
        }
    }
    return -1;
}

int leftover_keyword_error(const FunctionObject &fn, PyObject *key) {
    const auto params = fn.def->params;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.def->name);
        return -1;
    }
    for (const Param &p : params) {
        if (is_param_name(key, p.name)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fn.def->name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.def->name,
                 key);
    return -1;
}

// The parameters not given by position, from the keywords or the defaults;
// then the keywords that no parameter took are reported.
int bind_keywords(const FunctionObject &fn, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames, Py_ssize_t nkw, Args &out) {
    const auto n_params = static_cast<Py_ssize_t>(fn.def->params.size());
    const Py_ssize_t n_required = fn.n_required;
    const bool has_defaults = n_required < n_params;
    // Keywords consumed by a parameter; any other keyword is an error. Only a
    // call with more keywords than parameters can need more than the small
    // buffer, and such a call always fails.
    constexpr Py_ssize_t small = 16;
    bool used_small[small] = {};
    std::unique_ptr<bool[]> used_large;
    bool *used = used_small;
    if (nkw > small) {
        used_large.reset(new bool[static_cast<size_t>(nkw)]());
        used = used_large.get();
    }
    Py_ssize_t n_used = 0;
    for (Py_ssize_t i = nargs; i < n_params; ++i) {
        const Py_ssize_t k = find_keyword(fn, kwnames, nkw, i);
        if (k >= 0) {
            out.obj[i] = args[nargs + k];
            used[k] = true;
            ++n_used;
        } else if (i < n_required) {
            return count_error(fn, has_defaults ? "at least" : "exactly", n_required, i);
        } else {
            out.obj[i] = PyTuple_GET_ITEM(fn.defaults, i - n_required);
        }
    }
    if (n_used != nkw) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!used[k]) {
                return leftover_keyword_error(fn, PyTuple_GET_ITEM(kwnames, k));
            }
        }
    }
    return 0;
}

PyTypeObject *exact_type_for(Check check) noexcept {
    switch (check) {
    case Check::exact_dict:
        return &PyDict_Type;
    case Check::exact_str:
        return &PyUnicode_Type;
    case Check::exact_int:
        return &PyLong_Type;
    case Check::exact_list:
        return &PyList_Type;
    case Check::exact_set:
        return &PySet_Type;
    case Check::none:
    case Check::to_double:
        break;
    }
    return nullptr;
}

const char *expected_name(Check check) noexcept {
    switch (check) {
    case Check::exact_dict:
        return "dict";
    case Check::exact_str:
        return "str";
    case Check::exact_int:
        return "int";
    case Check::exact_list:
        return "list";
    case Check::exact_set:
        return "set";
    case Check::none:
    case Check::to_double:
        break;
    }
    return "";
}

} // namespace

int bind_arguments(const FunctionObject &fn, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames, Args &out) {
    const auto params = fn.def->params;
    const auto n_params = static_cast<Py_ssize_t>(params.size());
    const Py_ssize_t n_required = fn.n_required;
    const bool has_defaults = n_required < n_params;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > n_params) {
        return count_error(fn, has_defaults ? "at most" : "exactly", n_params, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out.obj[i] = args[i];
    }
    if (nkw == 0) {
        // The usual call, by position only: the defaults fill the rest.
        if (nargs < n_required) {
            return count_error(fn, has_defaults ? "at least" : "exactly", n_required, nargs);
        }
        for (Py_ssize_t i = nargs; i < n_params; ++i) {
            out.obj[i] = PyTuple_GET_ITEM(fn.defaults, i - n_required);
        }
    } else if (bind_keywords(fn, args, nargs, kwnames, nkw, out) < 0) {
        return -1;
    }

    // Most functions convert nothing and test no type: their calls skip both
    // passes over the parameters.
    if (fn.converts_floats) {
        for (Py_ssize_t i = 0; i < n_params; ++i) {
            if (params[i].check == Check::to_double) {
                // An omitted argument is the float default itself: no
                // conversion hook can run for it.
                const double value = PyFloat_AsDouble(out.obj[i]);
                if (value == -1.0 && PyErr_Occurred()) {
                    return -1;
                }
                out.num[i] = value;
            }
        }
    }
    if (fn.tests_types) {
        for (Py_ssize_t i = 0; i < n_params; ++i) {
            PyTypeObject *want = exact_type_for(params[i].check);
            if (want && Py_TYPE(out.obj[i]) != want) {
                return incorrect_type(params[i].name, expected_name(params[i].check), out.obj[i]);
            }
        }
    }
    return 0;
}

int incorrect_type(const char *param, const char *expected, PyObject *value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(value)->tp_name);
    return -1;
}

} // namespace nalo
