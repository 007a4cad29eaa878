// nalo_sdk.mqtt.utils: the local MQTT key of a node and its result payload.
//
// Shared declarations of the module's files: the module state with its
// interned names, the text helpers both functions use, and the
// implementations of the Python-visible functions.
#pragma once

#include "core/attributes.hpp"
#include "core/function.hpp"
#include "core/globals.hpp"
#include "core/module_state.hpp"
#include "core/names.hpp"

namespace mqtt_utils {

using nalo::Args;
using nalo::FunctionObject;
using nalo::Ref;

enum class Name : size_t {
    // Module globals and the attributes read through them.
    time,
    PREFIX,
    MQTT,
    LOCAL,
    NODE_ID,
    NODE_TYPE,
    // The payload keys, in their order in the payload.
    source_id,
    source_name,
    source_key,
    source_idx,
    ts,
    id,
    type,
    result,
    inference_time,
    category,
    // The Category values; "info" is also the default category.
    info,
    error,
    warning,
    count_
};

inline constexpr std::array<nalo::NameText<Name>, static_cast<size_t>(Name::count_)> name_table{{
    {Name::time, "time"},
    {Name::PREFIX, "PREFIX"},
    {Name::MQTT, "MQTT"},
    {Name::LOCAL, "LOCAL"},
    {Name::NODE_ID, "NODE_ID"},
    {Name::NODE_TYPE, "NODE_TYPE"},
    {Name::source_id, "source_id"},
    {Name::source_name, "source_name"},
    {Name::source_key, "source_key"},
    {Name::source_idx, "source_idx"},
    {Name::ts, "ts"},
    {Name::id, "id"},
    {Name::type, "type"},
    {Name::result, "result"},
    {Name::inference_time, "inference time(sec)"},
    {Name::category, "category"},
    {Name::info, "info"},
    {Name::error, "error"},
    {Name::warning, "warning"},
}};
static_assert(nalo::in_id_order(name_table));

// The payload's keys, in the payload's order.
inline constexpr std::array<Name, 10> payload_keys = {
    Name::source_id, Name::source_name, Name::source_key, Name::source_idx,     Name::ts,
    Name::id,        Name::type,        Name::result,     Name::inference_time, Name::category,
};
inline constexpr size_t payload_size = payload_keys.size();

// One value per payload key, in the keys' order.
using PayloadValues = std::array<PyObject *, payload_size>;

// The values of one payload, exactly one per key (an array initialiser would
// let a missing value pass as null).
template <class... Values> PayloadValues payload_values(Values... values) {
    static_assert(sizeof...(Values) == payload_size, "one value per payload key");
    return {values...};
}

struct State : nalo::CoreState {
    nalo::Names<Name> names;
    PyObject *round = nullptr;       // the built-in round, for types without a fast path
    PyObject *four = nullptr;        // the number of digits handed to round
    PyObject *template_ = nullptr;   // the payload keys in order with their usual values
    PayloadValues template_values{}; // borrowed from template_, which never changes
    PyObject *time_module = nullptr; // the module `time` imported at load
    PyObject *time_time = nullptr;   // its own function `time`, or null if replaced at load

    // Globals and attributes read on every call, remembered while their
    // dicts are unchanged.
    nalo::CachedEntry prefix_global;
    nalo::CachedAttribute prefix_mqtt;
    nalo::CachedAttribute mqtt_local;
    nalo::CachedEntry time_global;
    nalo::CachedEntry time_attr;

    template <class F> void for_each_ref(F &&f) {
        CoreState::for_each_ref(f);
        names.for_each_ref(f);
        f(round);
        f(four);
        f(template_);
        f(time_module);
        f(time_time);
    }
    PyObject *operator[](Name n) const noexcept { return names[n]; }
};

inline State &state_of(const FunctionObject &fn) {
    return nalo::module_state<State>(fn);
}

// The text of a value as an f-string placeholder without format
// specification gives it (format(value, "")). Exact str and exact int values
// are taken without creating a temporary object: a str as it is, an int that
// fits in 64 bits as its decimal digits.
class Text {
  public:
    Text() = default;
    Text(const Text &) = delete; // data_ may point into the object itself
    Text &operator=(const Text &) = delete;

    // Fills the text of `value`; -1 with an exception set on failure.
    int set(PyObject *value);

    Py_ssize_t length() const noexcept { return length_; }
    Py_UCS4 max_char() const noexcept { return max_char_; }
    // Copies the text into `out` (a new str of a large enough kind) at `at`;
    // -1 with an exception set on failure.
    int write(PyObject *out, Py_ssize_t at) const noexcept;

  private:
    // Where the characters are: the str's own data, or digits_; read once,
    // when set, so that measuring and copying need no further look at the str.
    void point_at(const void *data, int kind, Py_ssize_t length, Py_UCS4 max_char) noexcept {
        data_ = data;
        kind_ = kind;
        length_ = length;
        max_char_ = max_char;
    }

    Ref str_;           // the text as a str, or null when digits_ are used
    char digits_[24]{}; // decimal text of an int, ASCII
    const void *data_ = nullptr;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0x7f;
};

// A new str: the text of `head`, one "_", the text of `tail`.
Ref join_underscore(const Text &head, const Text &tail);

// Builds the payload template from the defaults of meta_info_to_publish.
int init_payload_template(State &st, PyObject *zero, PyObject *node_id, PyObject *node_type);

// round(value, 4) as the built-in computes it.
Ref round4(const State &st, PyObject *value);

// time.time(), reached through the module global `time` now.
Ref read_clock(const FunctionObject &fn, State &st);

Ref gen_mqtt_key_local(FunctionObject &fn, const Args &args);
Ref meta_info_to_publish(FunctionObject &fn, const Args &args);

} // namespace mqtt_utils
