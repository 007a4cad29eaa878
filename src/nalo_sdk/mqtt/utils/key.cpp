// gen_mqtt_key_local: the local MQTT key of a node.
#include "utils.hpp"

namespace mqtt_utils {

PyObject *gen_mqtt_key_local(FunctionObject &fn, const Args &args) {
    State &st = state_of(fn);
    // PREFIX is looked up at every call: rebinding it changes later keys.
    Ref prefix = nalo::get_global(fn.module, st[Name::PREFIX], st.prefix_global);
    if (!prefix) {
        return nullptr;
    }
    Ref mqtt = Ref::steal(PyObject_GetAttr(prefix.get(), st[Name::MQTT]));
    if (!mqtt) {
        return nullptr;
    }
    Ref local = Ref::steal(PyObject_GetAttr(mqtt.get(), st[Name::LOCAL]));
    if (!local) {
        return nullptr;
    }
    Text head;
    Text tail;
    if (head.set(local.get()) < 0 || tail.set(args[0]) < 0) {
        return nullptr;
    }
    return join_underscore(head, tail);
}

} // namespace mqtt_utils
