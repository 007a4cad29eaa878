// The import statements a module executes at load.
#pragma once

#include "core/ref.hpp"

#include <span>

namespace nalo {

// `import name` (absolute): the top-level module, as the statement binds it.
Ref import_module(const char *name);

// `from module import name`: the attribute, or an already imported submodule
// of that name; ImportError "cannot import name %S" otherwise.
Ref import_from(PyObject *from, PyObject *name);

// `from module_name import names...`, binding each name as a global of
// `module` in order; -1 with the exception set.
int import_names(PyObject *module, const char *module_name, std::span<const char *const> names);

} // namespace nalo
