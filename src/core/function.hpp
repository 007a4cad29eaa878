// Python-visible functions implemented in C++.
//
// A Function looks like a plain Python function to Python code: it has
// __name__, __qualname__, __module__, __doc__, __defaults__,
// __kwdefaults__, __annotations__, __dict__ and a real __code__ object, so
// inspect.signature() and help() show the true signature. It binds like a
// function (a bound method on an instance), so the same type serves module
// functions and the methods of classes built at module execution. It
// pickles by reference, as the interpreter's own functions do.
//
// Calls go through vectorcall: the call entry (function.cpp) is the one
// place where the interpreter enters C++ code. It refuses calls after the
// module's teardown, enters the interpreter's recursion guard, binds the
// arguments by the argument rule (arguments.hpp) into an Args block, runs
// the implementation and keeps C++ exceptions from crossing into Python.
#pragma once

#include "core/arguments.hpp"
#include "core/module_state.hpp"

#include <span>

namespace nalo {

struct FunctionObject;

// The C++ implementation of a function: the new reference it returns, or
// null with an exception set.
using Impl = Ref (*)(FunctionObject &self, const Args &args);

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
    CoreState *state;      // its state: valid while `module` is set
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
    bool converts_floats; // some parameter is Check::to_double
    bool tests_types;     // some parameter has an exact type test
};

// Creates the function type for one module (a new reference, for its state).
Ref make_function_type(PyObject *module);

// Creates a function of `module`. `defaults` (borrowed, may be null) holds
// the values of the last len(defaults) parameters.
Ref make_function(PyObject *module, const FunctionDef &def, PyObject *defaults);

// Creates a function and binds it as a global of `module`; -1 on error.
int add_function(PyObject *module, const FunctionDef &def, PyObject *defaults);

// The state of the module that defined `fn`, as the module's own type.
template <class State> State &module_state(const FunctionObject &fn) noexcept {
    return *static_cast<State *>(fn.state);
}

// True when `obj` is the function `impl` of this build (used by fast paths
// that may only be taken while the original function is in place).
bool is_function_with_impl(PyObject *obj, Impl impl) noexcept;

} // namespace nalo
