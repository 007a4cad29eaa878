// Owned references to Python objects.
//
// A Ref owns exactly one strong reference (or none). It is released when the
// Ref goes out of scope, so every early error return in a function drops what
// that function created. Borrowed references stay plain PyObject* and are
// never stored in a Ref without taking a new reference first.
//
// Releases run on one more path than the error returns: a thread that the
// interpreter ends while it shuts down (a daemon thread that asked for the
// interpreter lock back inside one of our calls) is unwound through our
// frames without the lock. There a release must not touch the object, so
// every owner releases through drop().
#pragma once

#include "core/shutdown.hpp"

#include <utility>

namespace nalo {

// Releases one owned reference (null is allowed). On a thread being ended
// without the interpreter lock the reference is left behind instead: the
// process is exiting, and touching the object could crash it.
inline void drop(PyObject *obj) noexcept {
    if (obj != nullptr && may_touch_objects()) {
        Py_DECREF(obj);
    }
}

class Ref {
  public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Takes over a new reference (a C API result); null is allowed and
    // means "failed, exception set".
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }

    // Takes a new strong reference to a borrowed object.
    static Ref borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref &other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { drop(obj_); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller (for returning to the interpreter or
    // to an API that steals).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }

    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref &other) noexcept { std::swap(obj_, other.obj_); }

  private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// A new reference to a borrowed object, for returning it as a result.
inline PyObject *new_ref(PyObject *obj) noexcept {
    Py_INCREF(obj);
    return obj;
}

} // namespace nalo
