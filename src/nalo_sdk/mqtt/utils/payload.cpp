// meta_info_to_publish: the dictionary a node publishes for one result.
#include "utils.hpp"

#include "core/compat.hpp"

namespace mqtt_utils {

Ref meta_info_to_publish(FunctionObject &fn, const Args &args) {
    State &st = state_of(fn);
    PyObject *source_name = args[0];
    PyObject *source_id = args[1];
    PyObject *source_idx = args[2];
    PyObject *node_id = args[4];
    PyObject *node_type = args[5];
    PyObject *infer_t = args[6];
    PyObject *category = args[7];

    // Every value is made before the dictionary exists, so a failure on the
    // way leaves nothing half built behind.
    Ref result = args[3] == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(args[3]);
    if (!result) {
        return nullptr;
    }
    Text id_text;
    Text idx_text;
    if (id_text.set(source_id) < 0 || idx_text.set(source_idx) < 0) {
        return nullptr;
    }
    Ref source_key = join_underscore(id_text, idx_text);
    if (!source_key) {
        return nullptr;
    }
    Ref ts = read_clock(fn, st);
    if (!ts) {
        return nullptr;
    }
    Ref rounded = round4(st, infer_t);
    if (!rounded) {
        return nullptr;
    }

    // A copy of the template has all ten keys in order and its final size, and
    // already holds the values that a call with the defaults stores; only the
    // other values are put in.
    Ref payload = Ref::steal(PyDict_Copy(st.template_));
    if (!payload) {
        return nullptr;
    }
    const PayloadValues values =
        payload_values(source_id, source_name, source_key.get(), source_idx, ts.get(), node_id,
                       node_type, result.get(), rounded.get(), category);
    for (size_t i = 0; i < payload_size; ++i) {
        if (values[i] == st.template_values[i]) {
            continue;
        }
        PyObject *key = st[payload_keys[i]];
        if (!nalo::compat::set_fresh_dict_value(payload.get(), static_cast<Py_ssize_t>(i), key,
                                                values[i]) &&
            PyDict_SetItem(payload.get(), key, values[i]) < 0) {
            return nullptr;
        }
    }
    return payload;
}

int init_payload_template(State &st, PyObject *zero, PyObject *node_id, PyObject *node_type) {
    const PayloadValues values = payload_values(Py_None, Py_None, Py_None, zero, Py_None, node_id,
                                                node_type, Py_None, zero, st[Name::info]);
    st.template_ = PyDict_New();
    if (st.template_ == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < payload_size; ++i) {
        if (PyDict_SetItem(st.template_, st[payload_keys[i]], values[i]) < 0) {
            return -1;
        }
    }
    st.template_values = values;
    return 0;
}

} // namespace mqtt_utils
