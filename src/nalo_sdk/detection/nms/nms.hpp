// nalo_sdk.detection.nms: non-maximum suppression of detection boxes
// through OpenCV, over all boxes at once or class by class.
//
// Shared declarations of the module's files: the module state with its
// interned names, the suppression core that both functions share, and the
// NumPy fast conversions.
#pragma once

#include "core/function.hpp"
#include "core/globals.hpp"
#include "core/module_state.hpp"
#include "core/names.hpp"

#include <span>
#include <vector>

namespace nms {

using nalo::Args;
using nalo::FunctionObject;
using nalo::Ref;

// The module's interned names: globals, and the attributes read through them.
enum class Name : size_t {
    np,
    cv2,
    non_max_suppression_cv,
    array,
    float32,
    dnn,
    NMSBoxes,
    flatten,
    tolist,
    count_
};

inline constexpr std::array<nalo::NameText<Name>, static_cast<size_t>(Name::count_)> name_table{{
    {Name::np, "np"},
    {Name::cv2, "cv2"},
    {Name::non_max_suppression_cv, "non_max_suppression_cv"},
    {Name::array, "array"},
    {Name::float32, "float32"},
    {Name::dnn, "dnn"},
    {Name::NMSBoxes, "NMSBoxes"},
    {Name::flatten, "flatten"},
    {Name::tolist, "tolist"},
}};
static_assert(nalo::in_id_order(name_table));

struct State : nalo::CoreState {
    nalo::Names<Name> names;
    PyObject *kw_dtype = nullptr;     // ("dtype",)
    PyObject *kw_nms_boxes = nullptr; // NMSBoxes' four keyword names
    PyObject *kw_standard = nullptr;  // the standard function's four keyword names
    // NumPy as it was at load. A box is built through the C API only while
    // the module global `np` is still this module and its `array` and
    // `float32` are still these objects; otherwise every box goes through
    // the Python call, so a rebinding or a patch sees every box.
    PyObject *numpy = nullptr;
    PyObject *numpy_array = nullptr;
    PyObject *numpy_float32 = nullptr;
    PyObject *float32_descr = nullptr; // NumPy's float32 dtype singleton
    // Box arrays no longer referenced by anyone, kept for reuse (see
    // numpy_fast.cpp). Owned, but never visited: they hold no reference to
    // a collectable object, and nothing must reach them from Python (the
    // collector's traverse would hand them to gc.get_referents).
    std::vector<PyObject *> spare_arrays;
    int new_array_flags = 0; // the flags NumPy gives a new box array

    template <class F> void for_each_ref(F &&f) {
        CoreState::for_each_ref(f);
        names.for_each_ref(f);
        f(kw_dtype);
        f(kw_nms_boxes);
        f(kw_standard);
        f(numpy);
        f(numpy_array);
        f(numpy_float32);
        f(float32_descr);
    }
    void clear_unvisited() noexcept;
    PyObject *operator[](Name n) const noexcept { return names[n]; }
};

inline State &state_of(const FunctionObject &fn) {
    return nalo::module_state<State>(fn);
}

// The items a conversion walks: the caller's own list, read live as a for
// loop over it reads it (Python code run by a conversion may grow or shrink
// it), or the objects gathered for one class, held by the caller.
class Items {
  public:
    explicit Items(PyObject *list) noexcept : list_(list) {}
    explicit Items(std::span<PyObject *const> fixed) noexcept : fixed_(fixed) {}

    Py_ssize_t size() const noexcept {
        return list_ ? PyList_GET_SIZE(list_) : static_cast<Py_ssize_t>(fixed_.size());
    }
    // Borrowed: take a Ref before running anything that may run Python code.
    PyObject *operator[](Py_ssize_t i) const noexcept {
        return list_ ? PyList_GET_ITEM(list_, i) : fixed_[static_cast<size_t>(i)];
    }

  private:
    PyObject *list_ = nullptr;
    std::span<PyObject *const> fixed_;
};

// Strong references collected in a C++ vector (the list of converted items
// is built from it in one go, once no more Python code can run).
class OwnedVector {
  public:
    OwnedVector() = default;
    OwnedVector(const OwnedVector &) = delete;
    OwnedVector &operator=(const OwnedVector &) = delete;
    ~OwnedVector() { clear(); }

    void reserve(Py_ssize_t n) { items_.reserve(static_cast<size_t>(n)); }
    // Takes over `ref`'s reference (kept by `ref` if the vector cannot grow).
    void push(Ref ref) {
        items_.push_back(ref.get());
        static_cast<void>(ref.release());
    }
    void push_borrowed(PyObject *obj) {
        items_.push_back(obj);
        Py_INCREF(obj);
    }
    void clear() noexcept {
        for (PyObject *obj : items_) {
            nalo::drop(obj);
        }
        items_.clear();
    }
    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(items_.size()); }
    std::span<PyObject *const> span() const noexcept { return items_; }
    // A new list holding new references to the items.
    Ref to_list() const;

  private:
    std::vector<PyObject *> items_;
};

// The standard suppression of `boxes` and `scores`, reading the module
// globals of `fn`'s module: what non_max_suppression_cv does after its
// argument checks.
Ref suppress(const FunctionObject &fn, Items boxes, Items scores, double score_threshold,
             double iou_threshold);

Ref non_max_suppression_cv(FunctionObject &fn, const Args &args);
Ref non_max_suppression_cv_per_class(FunctionObject &fn, const Args &args);

// NumPy's C API (numpy_fast.cpp), the one file that includes NumPy's headers.

// Imports the C API table and notes what the fast conversions compare
// against; -1 with the exception set.
int import_numpy_api(State &st);

// True while `np` (the module global's value) is NumPy as loaded, with its
// own `array` and `float32`.
bool numpy_untouched(const State &st, PyObject *np);

// Builds np.array(box, dtype=np.float32) through the C API for a box that
// is an exact list or tuple of four exact floats or exact ints which
// convert to the same float32 without any floating-point condition.
class FastBoxArrays {
  public:
    explicit FastBoxArrays(State &st) noexcept : st_(st) {}
    // Notes NumPy's current memory handler; call it before `make` and again
    // after any Python code may have run. -1 with the exception set.
    int start();
    // 1 and the array in `out`; 0 when the box does not qualify (nothing
    // set); -1 with the exception set.
    int make(PyObject *box, Ref &out);

  private:
    State &st_;
    Ref handler_;
};

// Keeps the arrays of `float_boxes` (a list that only the caller holds)
// that no one else holds and that are as NumPy made them, for reuse.
void keep_spare_arrays(State &st, PyObject *float_boxes) noexcept;

// np.array(indices).flatten().tolist() for an exact ndarray: 1 and the list
// in `out`; 0 when `indices` is no exact ndarray; -1 with the exception set.
int fast_indices_list(PyObject *indices, Ref &out);

} // namespace nms
