// Per-class suppression: the standard suppression run within each class, the
// survivors translated back to positions in the caller's lists, class by
// class in the iteration order of the set of class ids.
//
// The plain way scans the whole id list once per class with `c == cls`. When
// every id is an exact int or str, `==` and hashing agree and run no Python
// code, so one pass can group the positions of all classes at once; a group
// is used only while the id list still holds the very objects it was grouped
// from (Python code run between classes, or another thread, may change it)
// and for a class that is an exact int or str grouped from it (the set of
// classes is reachable from Python, through the garbage collector, and may
// be changed while it is walked), else that class is scanned the plain way.
//
// Both loops check for pending signals as they go: many classes, or a long
// id list, would otherwise hold Ctrl-C back for seconds.
#include "core/signals.hpp"
#include "nms.hpp"

#include <cstring>

namespace nms {
namespace {

class Grouping {
  public:
    // Groups `class_ids` and builds `unique_classes` as set(class_ids) would
    // (the same members, added in list order, so the same iteration order).
    // 1: grouped; 0: some id is not an exact int or str (nothing built);
    // -1: error.
    int build(PyObject *class_ids, Ref &unique_classes) {
        const Py_ssize_t n = PyList_GET_SIZE(class_ids);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *id = PyList_GET_ITEM(class_ids, i);
            if (!PyLong_CheckExact(id) && !PyUnicode_CheckExact(id)) {
                return 0;
            }
        }
        snapshot_.reserve(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            snapshot_.push_borrowed(PyList_GET_ITEM(class_ids, i));
        }
        group_number_ = Ref::steal(PyDict_New());
        Ref classes = Ref::steal(PySet_New(nullptr));
        if (!group_number_ || !classes) {
            return -1;
        }
        std::vector<Py_ssize_t> group_of(static_cast<size_t>(n));
        Py_ssize_t groups = 0;
        nalo::SignalPoll signals;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (signals.tick() < 0) {
                return -1;
            }
            PyObject *id = snapshot_.span()[static_cast<size_t>(i)];
            PyObject *found = PyDict_GetItemWithError(group_number_.get(), id);
            if (found != nullptr) {
                group_of[static_cast<size_t>(i)] = PyLong_AsSsize_t(found);
                continue;
            }
            if (PyErr_Occurred()) {
                return -1;
            }
            Ref number = Ref::steal(PyLong_FromSsize_t(groups));
            if (!number || PyDict_SetItem(group_number_.get(), id, number.get()) < 0 ||
                PySet_Add(classes.get(), id) < 0) {
                return -1;
            }
            group_of[static_cast<size_t>(i)] = groups++;
        }
        // Counting sort: each group's positions, ascending.
        start_.assign(static_cast<size_t>(groups) + 1, 0);
        for (Py_ssize_t g : group_of) {
            ++start_[static_cast<size_t>(g) + 1];
        }
        for (size_t g = 1; g < start_.size(); ++g) {
            start_[g] += start_[g - 1];
        }
        positions_.resize(static_cast<size_t>(n));
        std::vector<Py_ssize_t> next(start_.begin(), start_.end() - 1);
        for (Py_ssize_t i = 0; i < n; ++i) {
            positions_[static_cast<size_t>(next[static_cast<size_t>(group_of[i])]++)] = i;
        }
        unique_classes = std::move(classes);
        return 1;
    }

    // True while `class_ids` holds exactly the objects grouped.
    bool still_valid(PyObject *class_ids) const noexcept {
        const Py_ssize_t n = snapshot_.size();
        if (PyList_GET_SIZE(class_ids) != n) {
            return false;
        }
        return n == 0 || std::memcmp(reinterpret_cast<PyListObject *>(class_ids)->ob_item,
                                     snapshot_.span().data(),
                                     static_cast<size_t>(n) * sizeof(PyObject *)) == 0;
    }

    // The positions of the class `cls`: 1 and the positions in `out` when
    // `cls` is an exact int or str that was grouped (then `c == cls` runs no
    // Python code and holds for exactly the ids of its group); 0 when the
    // class must be scanned; -1 with the exception set.
    int positions_of(PyObject *cls, std::span<const Py_ssize_t> &out) const {
        if (!PyLong_CheckExact(cls) && !PyUnicode_CheckExact(cls)) {
            return 0;
        }
        PyObject *found = PyDict_GetItemWithError(group_number_.get(), cls);
        if (found == nullptr) {
            return PyErr_Occurred() ? -1 : 0;
        }
        const auto g = static_cast<size_t>(PyLong_AsSsize_t(found));
        out = std::span<const Py_ssize_t>(positions_)
                  .subspan(static_cast<size_t>(start_[g]),
                           static_cast<size_t>(start_[g + 1] - start_[g]));
        return 1;
    }

  private:
    OwnedVector snapshot_; // the ids grouped, held so that no address is reused
    // class id -> its group's number. Holding only ints and strs, the dict
    // is never tracked by the garbage collector, so nothing reaches it.
    Ref group_number_;
    std::vector<Py_ssize_t> start_;     // group g is positions_[start_[g], start_[g + 1])
    std::vector<Py_ssize_t> positions_; // all positions, grouped
};

// cls_indices the plain way: [i for i, c in enumerate(class_ids) if c == cls],
// the list read live and the list item on the left of `==`.
int scan(PyObject *class_ids, PyObject *cls, std::vector<Py_ssize_t> &out) {
    out.clear();
    nalo::SignalPoll signals;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(class_ids); ++i) {
        if (signals.tick() < 0) {
            return -1;
        }
        Ref id = Ref::borrow(PyList_GET_ITEM(class_ids, i));
        Ref equal = Ref::steal(PyObject_RichCompare(id.get(), cls, Py_EQ));
        if (!equal) {
            return -1;
        }
        const int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) {
            return -1;
        }
        if (truth) {
            out.push_back(i);
        }
    }
    return 0;
}

// [list_[i] for i in positions]: the caller's objects themselves.
int gather(PyObject *list, std::span<const Py_ssize_t> positions, OwnedVector &out) {
    out.reserve(static_cast<Py_ssize_t>(positions.size()));
    for (Py_ssize_t i : positions) {
        if (i >= PyList_GET_SIZE(list)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return -1;
        }
        out.push_borrowed(PyList_GET_ITEM(list, i));
    }
    return 0;
}

// non_max_suppression_cv(boxes=..., scores=..., score_threshold=...,
// iou_threshold=...) through the module global, looked up now. While the
// global is still this module's own function (of this or another instance
// of the module), its C++ core is called straight, reading that function's
// module: binding four keywords of these types cannot fail, and the class's
// lists and the two floats are seen by no one.
Ref call_standard(const FunctionObject &fn, const State &st, const OwnedVector &cls_boxes,
                  const OwnedVector &cls_scores, double score_threshold, double iou_threshold) {
    Ref target = nalo::get_global(*fn.state, st[Name::non_max_suppression_cv]);
    if (!target) {
        return nullptr;
    }
    if (nalo::is_function_with_impl(target.get(), non_max_suppression_cv)) {
        const auto &standard = *reinterpret_cast<const FunctionObject *>(target.get());
        // A function of a module instance torn down meanwhile is left to
        // its own call entry, which refuses it.
        if (standard.state->function_type != nullptr) {
            return suppress(standard, Items(cls_boxes.span()), Items(cls_scores.span()),
                            score_threshold, iou_threshold);
        }
    }
    Ref boxes = cls_boxes.to_list();
    Ref scores = cls_scores.to_list();
    Ref score_value = Ref::steal(PyFloat_FromDouble(score_threshold));
    Ref iou_value = Ref::steal(PyFloat_FromDouble(iou_threshold));
    if (!boxes || !scores || !score_value || !iou_value) {
        return nullptr;
    }
    PyObject *call[] = {boxes.get(), scores.get(), score_value.get(), iou_value.get()};
    return Ref::steal(PyObject_Vectorcall(target.get(), call, 0, st.kw_standard));
}

// cls_indices as the list of ints the plain way builds.
Ref positions_list(std::span<const Py_ssize_t> positions) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!list) {
        return nullptr;
    }
    Py_ssize_t k = 0;
    for (Py_ssize_t i : positions) {
        PyObject *value = PyLong_FromSsize_t(i);
        if (value == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), k++, value);
    }
    return list;
}

// kept_indices.extend(cls_indices[j] for j in local_kept). An exact int `j`
// is indexed as a list indexes (negative from the end, IndexError outside);
// anything else goes through a real list's indexing.
int translate(PyObject *local_kept, std::span<const Py_ssize_t> cls_indices, PyObject *kept) {
    Ref iterator = Ref::steal(PyObject_GetIter(local_kept));
    if (!iterator) {
        return -1;
    }
    const auto n = static_cast<Py_ssize_t>(cls_indices.size());
    Ref as_list;
    while (Ref j = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref position;
        if (PyLong_CheckExact(j.get())) {
            Py_ssize_t k = PyNumber_AsSsize_t(j.get(), PyExc_IndexError);
            if (k == -1 && PyErr_Occurred()) {
                return -1;
            }
            if (k < 0) {
                k += n;
            }
            if (k < 0 || k >= n) {
                PyErr_SetString(PyExc_IndexError, "list index out of range");
                return -1;
            }
            position = Ref::steal(PyLong_FromSsize_t(cls_indices[static_cast<size_t>(k)]));
        } else {
            if (!as_list) {
                as_list = positions_list(cls_indices);
                if (!as_list) {
                    return -1;
                }
            }
            position = Ref::steal(PyObject_GetItem(as_list.get(), j.get()));
        }
        if (!position || PyList_Append(kept, position.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

} // namespace

Ref non_max_suppression_cv_per_class(FunctionObject &fn, const Args &args) {
    PyObject *boxes = args[0];
    PyObject *scores = args[1];
    PyObject *class_ids = args[2];
    const double score_threshold = args.num[3];
    const double iou_threshold = args.num[4];
    if (PyList_GET_SIZE(boxes) == 0) {
        return Ref::steal(PyList_New(0));
    }
    const State &st = state_of(fn);

    Grouping grouping;
    Ref unique_classes;
    const int grouped = grouping.build(class_ids, unique_classes);
    if (grouped < 0) {
        return nullptr;
    }
    if (grouped == 0) {
        unique_classes = Ref::steal(PySet_New(class_ids));
        if (!unique_classes) {
            return nullptr;
        }
    }
    Ref kept_indices = Ref::steal(PyList_New(0));
    Ref classes = Ref::steal(PyObject_GetIter(unique_classes.get()));
    if (!kept_indices || !classes) {
        return nullptr;
    }
    std::vector<Py_ssize_t> scanned;
    OwnedVector cls_boxes;
    OwnedVector cls_scores;
    // Each class costs a call of the standard function at least: cheap
    // enough to check for signals after every one.
    nalo::SignalPoll signals(1);
    while (Ref cls = Ref::steal(PyIter_Next(classes.get()))) {
        std::span<const Py_ssize_t> cls_indices;
        const int found = grouped > 0 && grouping.still_valid(class_ids)
                              ? grouping.positions_of(cls.get(), cls_indices)
                              : 0;
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            if (scan(class_ids, cls.get(), scanned) < 0) {
                return nullptr;
            }
            cls_indices = scanned;
        }
        if (gather(boxes, cls_indices, cls_boxes) < 0 ||
            gather(scores, cls_indices, cls_scores) < 0) {
            return nullptr;
        }
        Ref local_kept =
            call_standard(fn, st, cls_boxes, cls_scores, score_threshold, iou_threshold);
        if (!local_kept || translate(local_kept.get(), cls_indices, kept_indices.get()) < 0) {
            return nullptr;
        }
        // Dropped before the next class is grouped: freeing a box the
        // caller no longer holds may run its finaliser.
        local_kept.reset();
        cls_boxes.clear();
        cls_scores.clear();
        if (signals.tick() < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return kept_indices;
}

} // namespace nms
