// The function type: attributes, descriptor binding, vectorcall entry.
#include "core/function.hpp"
#include "core/globals.hpp"
#include "core/module_state.hpp"
#include "core/stack.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace nalo {
namespace {

FunctionObject *as_function(PyObject *obj) noexcept {
    return reinterpret_cast<FunctionObject *>(obj);
}

// Binds the arguments and runs the implementation, keeping C++ exceptions
// from crossing into Python.
PyObject *bind_and_run(FunctionObject &fn, PyObject *const *args, size_t nargsf,
                       PyObject *kwnames) {
    try {
        Args bound;
        if (bind_arguments(fn, args, nargsf, kwnames, bound) < 0) {
            return nullptr;
        }
        return fn.def->impl(fn, bound).release();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // Not an error but the thread's end (pthread_exit, as the
        // interpreter ends a daemon thread at shutdown): swallowing it
        // aborts the process.
        throw;
#endif
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a native function");
        return nullptr;
    }
}

// The single point where C++ code is entered from the interpreter.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    FunctionObject &fn = *as_function(callable);
    // The module's state is emptied when the module is torn down (at
    // interpreter exit, or when the garbage collector breaks a cycle through
    // it); a finaliser may still call in afterwards. Breaking such a cycle
    // may also have emptied this function object itself.
    if (fn.module == nullptr || fn.state->function_type == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%s(): its module has been torn down", fn.def->name);
        return nullptr;
    }
    // A cycle of calls that passes through C only (a method rebound to
    // another of ours, a hook that calls back in), or a chain through
    // overrides deeper than the stack holds, ends in RecursionError instead
    // of overflowing the C stack.
    if (enter_native_call(" while calling a Python object") < 0) {
        return nullptr;
    }
    PyObject *result = bind_and_run(fn, args, nargsf, kwnames);
    leave_native_call();
    return result;
}

// Like a Python function: the function itself from the class, a bound
// method from an instance.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject * /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return new_ref(self);
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->param_names);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks reference cycles for the collector. A finaliser run later in the
// same collection may still reach the function, so (as CPython does for its
// own functions) the names become "" rather than null, and the code object
// and parameter names, which reference nothing collectable, stay: printing
// the function or reading its attributes stays safe, and a call is refused
// by the call entry.
int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->module);
    if (PyObject *empty = PyUnicode_New(0, 0)) {
        Py_SETREF(f->qualname, new_ref(empty));
        Py_SETREF(f->name, empty);
    }
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject *f = as_function(self);
    if (f->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->param_names);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// __name__ and __qualname__ accept only strings, as on Python functions.
int set_str_field(PyObject **field, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, new_ref(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) {
    return new_ref(as_function(self)->name);
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_str_field(&as_function(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) {
    return new_ref(as_function(self)->qualname);
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}

PyObject *get_defaults(PyObject *self, void *) {
    PyObject *defaults = as_function(self)->defaults;
    return new_ref(defaults ? defaults : Py_None);
}
PyObject *get_kwdefaults(PyObject *, void *) {
    Py_RETURN_NONE;
}
PyObject *get_code(PyObject *self, void *) {
    return new_ref(as_function(self)->code);
}
PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (f->annotations == nullptr) { // emptied by the collector
        f->annotations = PyDict_New();
    }
    return f->annotations ? new_ref(f->annotations) : nullptr;
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, new_ref(value));
    return 0;
}
PyObject *get_globals(PyObject *self, void *) {
    PyObject *module = as_function(self)->module;
    return new_ref(module ? PyModule_GetDict(module) : Py_None);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, as the interpreter's own functions are: the name
// that pickle looks up in the module named by __module__ (a dotted
// qualified name through the class, for a method). copy.copy and
// copy.deepcopy then give the function itself.
PyObject *function_reduce(PyObject *self, PyObject * /*unused*/) {
    return new_ref(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "nalo_sdk.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref make_annotations(const FunctionDef &def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return nullptr;
    }
    for (const Param &p : def.params) {
        if (p.annotation == nullptr) {
            continue;
        }
        Ref value = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!value || PyDict_SetItemString(annotations.get(), p.name, value.get()) < 0) {
            return nullptr;
        }
    }
    if (def.returns != nullptr) {
        Ref value = Ref::steal(PyUnicode_FromString(def.returns));
        if (!value || PyDict_SetItemString(annotations.get(), "return", value.get()) < 0) {
            return nullptr;
        }
    }
    return annotations;
}

Ref make_param_names(const FunctionDef &def) {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    if (!names) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const Param &p : def.params) {
        PyObject *name = PyUnicode_InternFromString(p.name);
        if (name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), i++, name);
    }
    return names;
}

// A real code object carrying the signature (argument count and variable
// names) so that introspection sees the parameters; it is never executed.
Ref make_code(const FunctionDef &def, PyObject *param_names, PyObject *qualname,
              PyObject *module_name) {
    const char *filename = PyUnicode_AsUTF8(module_name);
    if (filename == nullptr) {
        return nullptr;
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, def.name, 1)));
    if (!empty) {
        return nullptr;
    }
    const auto n_params = PyTuple_GET_SIZE(param_names);
    const auto n_locals = n_params + static_cast<Py_ssize_t>(def.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(n_locals));
    if (!varnames) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n_params; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, new_ref(PyTuple_GET_ITEM(param_names, i)));
    }
    Py_ssize_t i = n_params;
    for (const char *local : def.locals) {
        PyObject *name = PyUnicode_InternFromString(local);
        if (name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(varnames.get(), i++, name);
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:n,s:n,s:O,s:i,s:O}", "co_argcount", n_params, "co_nlocals", n_locals, "co_varnames",
        varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS, "co_qualname", qualname));
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!replace || !kwargs || !no_args) {
        return nullptr;
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

} // namespace

Ref make_function_type(PyObject *module) {
    return Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

bool is_function_with_impl(PyObject *obj, Impl impl) noexcept {
    // A function emptied by the collector does not count: its module is gone,
    // and only its call entry knows to refuse the call.
    return Py_TYPE(obj)->tp_descr_get == function_descr_get &&
           as_function(obj)->def->impl == impl && as_function(obj)->module != nullptr;
}

Ref make_function(PyObject *module, const FunctionDef &def, PyObject *defaults) {
    const auto n_params = static_cast<Py_ssize_t>(def.params.size());
    const Py_ssize_t n_defaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (n_params > max_params || n_defaults > n_params) {
        PyErr_Format(PyExc_SystemError, "bad native function definition: %s", def.name);
        return nullptr;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname ? def.qualname : def.name));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    Ref annotations = make_annotations(def);
    Ref param_names = make_param_names(def);
    if (!module_name || !name || !qualname || !doc || !annotations || !param_names) {
        return nullptr;
    }
    Ref code = make_code(def, param_names.get(), qualname.get(), module_name.get());
    if (!code) {
        return nullptr;
    }
    FunctionObject *f = PyObject_GC_New(FunctionObject, core_state(module).function_type);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->module = new_ref(module);
    f->state = &core_state(module);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->defaults = n_defaults ? new_ref(defaults) : nullptr;
    f->annotations = annotations.release();
    f->code = code.release();
    f->param_names = param_names.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->n_required = n_params - n_defaults;
    f->converts_floats = false;
    f->tests_types = false;
    for (const Param &p : def.params) {
        f->converts_floats = f->converts_floats || p.check == Check::to_double;
        f->tests_types = f->tests_types || (p.check != Check::none && p.check != Check::to_double);
    }
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject *>(f));
}

int add_function(PyObject *module, const FunctionDef &def, PyObject *defaults) {
    Ref fn = make_function(module, def, defaults);
    return fn ? set_global(module, def.name, fn.get()) : -1;
}

} // namespace nalo
