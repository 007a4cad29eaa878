// gen_mqtt_key_local: the local MQTT key of a node.
#include "utils.hpp"

namespace mqtt_utils {

Ref gen_mqtt_key_local(FunctionObject &fn, const Args &args) {
    State &st = state_of(fn);
    // PREFIX is looked up at every call: rebinding it changes later keys.
    Ref prefix = nalo::get_global(*fn.state, st[Name::PREFIX], st.prefix_global);
    if (!prefix) {
        return nullptr;
    }
    // PREFIX.MQTT.LOCAL, read afresh at every call: the reads are
    // remembered only while nothing they depend on has changed.
    Ref mqtt = nalo::get_attribute(*fn.state, prefix.get(), st[Name::MQTT], st.prefix_mqtt);
    if (!mqtt) {
        return nullptr;
    }
    Ref local = nalo::get_attribute(*fn.state, mqtt.get(), st[Name::LOCAL], st.mqtt_local);
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
