// Interned names of one module: the attribute, global and key names its
// functions use on every call, and the fixed texts it logs, made once at
// module execution and held in the module's state.
//
// A module lists its names in one table of {id, text} pairs right beside
// its enum of ids; `in_id_order` lets the compiler check that the table
// holds every id once, in the enum's order, so that an id always gives its
// own text.
#pragma once

#include "core/ref.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace nalo {

template <class Id> struct NameText {
    Id id;
    const char *text;
};

template <class Id, size_t N> consteval bool in_id_order(const std::array<NameText<Id>, N> &table) {
    if (N != static_cast<size_t>(Id::count_)) {
        return false;
    }
    for (size_t i = 0; i < N; ++i) {
        if (static_cast<size_t>(table[i].id) != i) {
            return false;
        }
    }
    return true;
}

// The interned strings of a name table, indexed by its ids. Owned by the
// module state, which lists them in its for_each_ref.
template <class Id> class Names {
  public:
    static constexpr size_t size = static_cast<size_t>(Id::count_);

    int init(const std::array<NameText<Id>, size> &table) {
        for (size_t i = 0; i < size; ++i) {
            items_[i] = PyUnicode_InternFromString(table[i].text);
            if (items_[i] == nullptr) {
                return -1;
            }
        }
        return 0;
    }
    // Borrowed from the state, which holds the name until module teardown.
    PyObject *operator[](Id id) const noexcept { return items_[static_cast<size_t>(id)]; }

    template <class F> void for_each_ref(F &&f) {
        for (PyObject *&obj : items_) {
            f(obj);
        }
    }

  private:
    std::array<PyObject *, size> items_{};
};

// A tuple of interned names (the keyword names of a call the module makes),
// built once at module execution.
Ref names_tuple(std::initializer_list<const char *> names);

} // namespace nalo
