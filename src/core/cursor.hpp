// Iteration over any iterable, without an iterator object for exact lists
// and tuples.
//
// For those two types the cursor walks the items by index and re-reads the
// length at every step, which is exactly what their own iterators do (so a
// list that grows or shrinks while it is walked behaves the same); anything
// else goes through the iteration protocol.
#pragma once

#include "core/ref.hpp"

namespace nalo {

class Cursor {
  public:
    Cursor() = default;

    // -1 with the exception of iter() set when `iterable` is not iterable.
    int open(PyObject *iterable) {
        index_ = 0;
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
            seq_ = Ref::borrow(iterable);
            iter_.reset();
            return 0;
        }
        seq_.reset();
        iter_ = Ref::steal(PyObject_GetIter(iterable));
        return iter_ ? 0 : -1;
    }

    bool is_open() const noexcept { return seq_ || iter_; }

    // The next item; null at the end (no exception) or on error (set).
    Ref next() {
        if (PyObject *seq = seq_.get()) {
            const bool list = PyList_CheckExact(seq);
            const Py_ssize_t size = list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
            if (index_ < size) {
                PyObject *item =
                    list ? PyList_GET_ITEM(seq, index_) : PyTuple_GET_ITEM(seq, index_);
                ++index_;
                return Ref::borrow(item);
            }
            seq_.reset();
            return nullptr;
        }
        if (!iter_) {
            return nullptr;
        }
        Ref item = Ref::steal(PyIter_Next(iter_.get()));
        if (!item) {
            iter_.reset();
        }
        return item;
    }

    void close() noexcept {
        seq_.reset();
        iter_.reset();
    }

  private:
    Ref seq_;  // an exact list or tuple, walked by index
    Ref iter_; // an iterator, for everything else
    Py_ssize_t index_ = 0;
};

} // namespace nalo
