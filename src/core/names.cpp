// Keyword-name tuples.
#include "core/names.hpp"

namespace nalo {

Ref names_tuple(std::initializer_list<const char *> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), i++, text);
    }
    return tuple;
}

} // namespace nalo
