// Classes built at module execution, as a class statement builds them.
#pragma once

#include "core/function.hpp"

#include <span>

namespace nalo {

struct Method {
    const FunctionDef *def;
    PyObject *defaults; // borrowed tuple, or null
};

// A plain class attribute, as `name = value` in a class body.
struct ClassAttr {
    const char *name;
    PyObject *value; // borrowed
};

// Creates a class as a class statement would: the metaclass `type` called
// with the name, no bases and a namespace holding __module__, __qualname__,
// __doc__, then the plain attributes and then the methods, in order. A null
// `doc` leaves __doc__ out of the namespace, so that the metaclass sets it to
// None after the other entries, as for a class statement without docstring.
Ref make_class(PyObject *module, const char *name, const char *doc, std::span<const Method> methods,
               std::span<const ClassAttr> attrs = {});

} // namespace nalo
