// The text of a value as an f-string placeholder gives it, and the joining
// of two such texts around "_" straight into one new str.
#include "utils.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace mqtt_utils {

int Text::set(PyObject *value) {
    if (PyUnicode_CheckExact(value)) {
        str_ = Ref::borrow(value);
    } else {
        if (PyLong_CheckExact(value)) {
            // An exact int formats as its decimal digits; reading it runs no
            // Python code, and only a value beyond 64 bits needs the str.
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow == 0) {
                if (number == -1 && PyErr_Occurred()) {
                    return -1;
                }
                const auto end = std::to_chars(digits_, digits_ + sizeof digits_, number).ptr;
                point_at(digits_, PyUnicode_1BYTE_KIND, end - digits_, 0x7f);
                return 0;
            }
        }
        // A null specification is the empty one: format(value, "").
        str_ = Ref::steal(PyObject_Format(value, nullptr));
        if (!str_ || PyUnicode_READY(str_.get()) < 0) {
            return -1;
        }
    }
    PyObject *str = str_.get();
    point_at(PyUnicode_DATA(str), PyUnicode_KIND(str), PyUnicode_GET_LENGTH(str),
             PyUnicode_MAX_CHAR_VALUE(str));
    return 0;
}

int Text::write(PyObject *out, Py_ssize_t at) const noexcept {
    const int kind = PyUnicode_KIND(out);
    if (kind_ == kind) {
        std::memcpy(static_cast<char *>(PyUnicode_DATA(out)) + at * kind, data_,
                    static_cast<size_t>(length_) * static_cast<size_t>(kind));
        return 0;
    }
    if (!str_) { // ASCII digits into a wider str
        void *data = PyUnicode_DATA(out);
        for (Py_ssize_t i = 0; i < length_; ++i) {
            PyUnicode_WRITE(kind, data, at + i, static_cast<Py_UCS4>(digits_[i]));
        }
        return 0;
    }
    return PyUnicode_CopyCharacters(out, at, str_.get(), 0, length_) < 0 ? -1 : 0;
}

Ref join_underscore(const Text &head, const Text &tail) {
    const Py_ssize_t n_head = head.length();
    const Py_UCS4 max_char = std::max({head.max_char(), tail.max_char(), Py_UCS4{'_'}});
    Ref out = Ref::steal(PyUnicode_New(n_head + 1 + tail.length(), max_char));
    if (!out || head.write(out.get(), 0) < 0) {
        return nullptr;
    }
    PyUnicode_WRITE(PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get()), n_head, '_');
    if (tail.write(out.get(), n_head + 1) < 0) {
        return nullptr;
    }
    return out;
}

} // namespace mqtt_utils
