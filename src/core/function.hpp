// Python-visible functions implemented in C++.
//
// A Function looks like a plain Python function to Python code: it has
// __name__, __qualname__, __module__, __doc__, __defaults__,
// __kwdefaults__, __annotations__, __dict__ and a real __code__ object, so
// inspect.signature() and help() show the true signature. It binds like a
// function (a bound method on an instance), so the same type serves module
// functions and the methods of classes built at module execution.
//
// Calls go through vectorcall: the arguments are bound by the argument rule
// (binding.cpp) into an Args block, and the C++ implementation receives it.
#pragma once

#include "ref.hpp"

#include <span>

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
using Impl = PyObject *(*)(FunctionObject &self, const Args &args);

// Static description of one function; lives as long as the shared library.
struct FunctionDef {
    const char *name;
    const char *qualname; // "Class.method" for methods; nullptr: the name
    const char *doc;      // nullptr: no docstring
    std::span<const Param> params;
    const char *returns;                 // return annotation; nullptr: none
    std::span<const char *const> locals; // local names after the parameters
    Impl impl;
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *module;      // the defining module (its dict holds the globals)
    PyObject *name;        // __name__
    PyObject *qualname;    // __qualname__
    PyObject *module_name; // __module__
    PyObject *doc;         // __doc__
    PyObject *defaults;    // tuple of the trailing parameters' defaults, or null
    PyObject *annotations; // __annotations__
    PyObject *code;        // __code__
    PyObject *param_names; // tuple of the interned parameter names
    PyObject *dict;        // __dict__
    PyObject *weakrefs;
    Py_ssize_t n_required;
};

// Creates the function type for one module (stored in its state).
PyTypeObject *make_function_type(PyObject *module);

// Creates a function of `module`. `defaults` (borrowed, may be null) holds
// the values of the last len(defaults) parameters.
Ref make_function(PyObject *module, const FunctionDef &def, PyObject *defaults);

// Binds one call's arguments under the argument rule; -1 with TypeError set
// (or the error of a float conversion) on failure.
int bind_arguments(const FunctionObject &fn, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames, Args &out);

// True when `obj` is the function `impl` of this build (used by fast paths
// that may only be taken while the original function is in place).
bool is_function_with_impl(PyObject *obj, Impl impl) noexcept;

} // namespace nalo
