// Stream key collection: one SCAN per distinct node id of the stream.
#include "core/signals.hpp"
#include "flowsweep.hpp"

namespace flowsweep {
namespace {

// The node id as text, with the glob metacharacters escaped so that the
// pattern matches this node's keys only (an id such as "*" or "cam[12]"
// must not reach other nodes' keys).
Ref escaped_id(PyObject *node_id) {
    Ref text = Ref::steal(PyObject_Str(node_id));
    if (!text) {
        return nullptr;
    }
    static constexpr const char *metachars[] = {"\\", "*", "?", "[", "]"};
    for (const char *meta : metachars) {
        const Py_UCS4 ch = static_cast<unsigned char>(meta[0]);
        const Py_ssize_t at =
            PyUnicode_FindChar(text.get(), ch, 0, PyUnicode_GET_LENGTH(text.get()), 1);
        if (at == -2) {
            return nullptr;
        }
        if (at == -1) {
            continue;
        }
        Ref from = Ref::steal(PyUnicode_FromString(meta));
        Ref to = Ref::steal(PyUnicode_FromFormat("\\%s", meta));
        if (!from || !to) {
            return nullptr;
        }
        text = Ref::steal(PyUnicode_Replace(text.get(), from.get(), to.get(), -1));
        if (!text) {
            return nullptr;
        }
    }
    return text;
}

// redis_keys.update(matched), by the set's own method: a set (of any
// subclass) or a dict is merged from its table without iterating it, as
// the method does; anything else is iterated.
int update(const State &st, PyObject *redis_keys, PyObject *matched) {
    PyObject *args[] = {redis_keys, matched};
    Ref result = Ref::steal(PyObject_VectorcallMethod(st[Name::update], args, 2, nullptr));
    return result ? 0 : -1;
}

// [n["node_id"] for n in downstream_nodes]
Ref downstream_ids(const State &st, PyObject *downstream_nodes) {
    Ref ids = Ref::steal(PyList_New(0));
    Ref it = ids ? Ref::steal(PyObject_GetIter(downstream_nodes)) : nullptr;
    if (!it) {
        return nullptr;
    }
    nalo::SignalPoll signals;
    while (Ref n = Ref::steal(PyIter_Next(it.get()))) {
        Ref node_id = Ref::steal(PyObject_GetItem(n.get(), st[Name::node_id]));
        if (!node_id || PyList_Append(ids.get(), node_id.get()) < 0 || signals.tick() < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : ids;
}

int log_text(const FunctionObject &fn, Name level, const Ref &text) {
    return text ? log_line(fn, level, text.get()) : -1;
}

} // namespace

Ref collect_stream_redis_keys(FunctionObject &fn, const Args &args) {
    const State &st = state_of(fn);
    PyObject *self = args[0];
    Ref redis_keys = Ref::steal(PySet_New(nullptr));
    Ref node_ids = Ref::steal(PySet_New(nullptr));
    if (!redis_keys || !node_ids) {
        return nullptr;
    }

    Ref node_config = Ref::steal(PyObject_GetAttr(self, st[Name::node_config]));
    if (!node_config) {
        return nullptr;
    }
    PyObject *get_args[] = {node_config.get(), st[Name::id]};
    Ref current_node_id =
        Ref::steal(PyObject_VectorcallMethod(st[Name::get], get_args, 2, nullptr));
    node_config.reset();
    if (!current_node_id ||
        log_text(fn, Name::info,
                 Ref::steal(PyUnicode_FromFormat("[flowsweep] current_node_id=%R",
                                                 current_node_id.get()))) < 0) {
        return nullptr;
    }
    const int has_id = PyObject_IsTrue(current_node_id.get());
    if (has_id < 0) {
        return nullptr;
    }
    if (has_id) {
        if (PySet_Add(node_ids.get(), current_node_id.get()) < 0) {
            return nullptr;
        }
    } else if (log_line(fn, Name::warning, st[Name::no_id_warning]) < 0) {
        return nullptr;
    }

    // self._discover_downstream_nodes(self.node_config, set()): the method is
    // read before its arguments, as Python evaluates the call.
    Ref discover = Ref::steal(PyObject_GetAttr(self, st[Name::_discover_downstream_nodes]));
    if (!discover) {
        return nullptr;
    }
    node_config = Ref::steal(PyObject_GetAttr(self, st[Name::node_config]));
    Ref visited = Ref::steal(PySet_New(nullptr));
    if (!node_config || !visited) {
        return nullptr;
    }
    PyObject *discover_args[] = {node_config.get(), visited.get()};
    Ref downstream_nodes =
        Ref::steal(PyObject_Vectorcall(discover.get(), discover_args, 2, nullptr));
    discover.reset();
    if (!downstream_nodes) {
        return nullptr;
    }
    Ref shown = downstream_ids(st, downstream_nodes.get());
    if (!shown || log_text(fn, Name::info,
                           Ref::steal(PyUnicode_FromFormat("[flowsweep] downstream nodes found: %S",
                                                           shown.get()))) < 0) {
        return nullptr;
    }

    Ref it = Ref::steal(PyObject_GetIter(downstream_nodes.get()));
    if (!it) {
        return nullptr;
    }
    nalo::SignalPoll signals;
    while (Ref node_info = Ref::steal(PyIter_Next(it.get()))) {
        Ref node_id = Ref::steal(PyObject_GetItem(node_info.get(), st[Name::node_id]));
        if (!node_id || PySet_Add(node_ids.get(), node_id.get()) < 0 || signals.tick() < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }

    Ref out_key = Ref::steal(PyObject_GetAttr(self, st[Name::redis_out_key]));
    if (!out_key || PySet_Add(redis_keys.get(), out_key.get()) < 0) {
        return nullptr;
    }

    it = Ref::steal(PyObject_GetIter(node_ids.get()));
    if (!it) {
        return nullptr;
    }
    while (Ref node_id = Ref::steal(PyIter_Next(it.get()))) {
        Ref id_text = escaped_id(node_id.get());
        Ref pattern =
            id_text ? Ref::steal(PyUnicode_FromFormat("redis_%U_*", id_text.get())) : nullptr;
        Ref wrapper =
            pattern ? Ref::steal(PyObject_GetAttr(self, st[Name::redis_wrapper])) : nullptr;
        if (!wrapper) {
            return nullptr;
        }
        PyObject *scan_args[] = {wrapper.get(), pattern.get()};
        Ref matched =
            Ref::steal(PyObject_VectorcallMethod(st[Name::scan_keys], scan_args, 1, st.kw_pattern));
        if (!matched || update(st, redis_keys.get(), matched.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }

    Ref sorted = Ref::steal(PySequence_List(redis_keys.get()));
    if (!sorted || PyList_Sort(sorted.get()) < 0 ||
        log_text(fn, Name::info,
                 Ref::steal(PyUnicode_FromFormat("[flowsweep] found %zd existing keys: %S",
                                                 PySet_GET_SIZE(redis_keys.get()), sorted.get()))) <
            0) {
        return nullptr;
    }
    return Ref::steal(PySequence_List(redis_keys.get()));
}

} // namespace flowsweep
