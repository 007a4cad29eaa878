// Conversions done through NumPy's C API instead of Python calls, where the
// result is the very array or list the calls would give and nothing else
// (no warning, no error, no Python code) could tell them apart.
//
// Making and freeing a NumPy array costs more than the rest of a box's
// conversion, so box arrays that nobody holds any more after a call are kept
// (up to a bound) and refilled by later calls, like the interpreter's own
// free lists: a reused array is indistinguishable from a new one.
//
// NumPy's C API table is a per-file static of its headers; this file is the
// only one that includes them, so the table is imported here and used here.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// NumPy 2's headers leave out what is newer than the oldest NumPy they
// target by default (1.21): the array memory handlers used below came with
// 1.22. NumPy 1.x headers ignore this and declare everything they have.
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include "nms.hpp"

#include <numpy/arrayobject.h>

#include <cfloat>
#include <cmath>
#include <cstring>

// Built against another machine's NumPy headers (a cross build that picked
// up the build machine's copy), NumPy's index type would silently have the
// wrong size.
static_assert(sizeof(npy_intp) == sizeof(Py_ssize_t), "NumPy headers of another machine");

namespace nms {
namespace {

// Python ints of at most 53 bits convert to a double exactly, so NumPy's
// int -> double -> float32 route is the C cast below.
constexpr long long exact_int_limit = 1LL << 53;

// The float32 that NumPy stores for `item`, when `item` is an exact float or
// int whose conversion raises no floating-point condition (overflow makes
// NumPy warn or raise under np.errstate, underflow may too): zero, or a
// magnitude in float32's normal range. NaN, infinities and big ints are left
// to NumPy.
bool exact_coordinate(PyObject *item, float &out) noexcept {
    if (PyFloat_CheckExact(item)) {
        const double value = PyFloat_AS_DOUBLE(item);
        const double magnitude = std::fabs(value);
        if (value == 0.0 || (magnitude >= FLT_MIN && magnitude <= FLT_MAX)) {
            out = static_cast<float>(value);
            return true;
        }
        return false;
    }
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0 || value > exact_int_limit || value < -exact_int_limit) {
            return false;
        }
        out = static_cast<float>(static_cast<double>(value));
        return true;
    }
    return false;
}

// A pooled array is reused only in the state NumPy gives a new box array
// and when no one else holds it; its values are then overwritten, so it is
// the same as the array np.array would make.
constexpr size_t max_spare_arrays = 1024;

PyArrayObject_fields *fields_of(PyObject *array) noexcept {
    return reinterpret_cast<PyArrayObject_fields *>(array);
}

bool like_new_box_array(const State &st, PyObject *obj) noexcept {
    if (Py_TYPE(obj) != &PyArray_Type || Py_REFCNT(obj) != 1) {
        return false;
    }
    const PyArrayObject_fields *f = fields_of(obj);
    return f->nd == 1 && f->dimensions[0] == 4 && f->strides[0] == sizeof(npy_float32) &&
           f->data != nullptr && f->base == nullptr &&
           reinterpret_cast<PyObject *>(f->descr) == st.float32_descr &&
           f->flags == st.new_array_flags && f->weakreflist == nullptr &&
           f->_buffer_info == nullptr;
}

Ref new_box_array() {
    npy_intp dims[1] = {4};
    return Ref::steal(PyArray_SimpleNew(1, dims, NPY_FLOAT32));
}

} // namespace

int import_numpy_api(State &st) {
    if (_import_array() < 0) {
        return -1;
    }
    st.float32_descr = reinterpret_cast<PyObject *>(PyArray_DescrFromType(NPY_FLOAT32));
    Ref sample = new_box_array();
    if (st.float32_descr == nullptr || !sample) {
        return -1;
    }
    st.new_array_flags = PyArray_FLAGS(reinterpret_cast<PyArrayObject *>(sample.get()));
    return 0;
}

// The spare box arrays, released at module clear and teardown.
void State::clear_unvisited() noexcept {
    std::vector<PyObject *> spares;
    spares.swap(spare_arrays);
    for (PyObject *array : spares) {
        Py_DECREF(array);
    }
}

bool numpy_untouched(const State &st, PyObject *np) {
    // An exact module's attributes are its dict's entries: ModuleType has no
    // descriptor that could shadow them.
    if (np != st.numpy || !PyModule_CheckExact(np)) {
        return false;
    }
    PyObject *dict = PyModule_GetDict(np);
    PyObject *array = PyDict_GetItemWithError(dict, st[Name::array]);
    PyObject *float32 = array ? PyDict_GetItemWithError(dict, st[Name::float32]) : nullptr;
    if (float32 == nullptr) {
        // A failing lookup is repeated, and raised, by the Python route.
        PyErr_Clear();
        return false;
    }
    return array == st.numpy_array && float32 == st.numpy_float32;
}

int FastBoxArrays::start() {
    // The handler NumPy would allocate a new array's data with; a spare
    // made under another one is not taken.
    handler_ = Ref::steal(PyDataMem_GetHandler());
    return handler_ ? 0 : -1;
}

int FastBoxArrays::make(PyObject *box, Ref &out) {
    if ((!PyList_CheckExact(box) && !PyTuple_CheckExact(box)) ||
        PySequence_Fast_GET_SIZE(box) != 4) {
        return 0;
    }
    PyObject **items = PySequence_Fast_ITEMS(box);
    float coords[4];
    for (int k = 0; k < 4; ++k) {
        if (!exact_coordinate(items[k], coords[k])) {
            return 0;
        }
    }
    Ref array;
    while (!array && !st_.spare_arrays.empty()) {
        Ref spare = Ref::steal(st_.spare_arrays.back()); // the pool's reference
        st_.spare_arrays.pop_back();
        if (fields_of(spare.get())->mem_handler == handler_.get() &&
            like_new_box_array(st_, spare.get())) {
            array = std::move(spare);
        }
    }
    if (!array) {
        array = new_box_array();
        if (!array) {
            return -1;
        }
    }
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())), coords,
                sizeof coords);
    out = std::move(array);
    return 1;
}

void keep_spare_arrays(State &st, PyObject *float_boxes) noexcept {
    if (Py_REFCNT(float_boxes) != 1) {
        return;
    }
    const Py_ssize_t n = PyList_GET_SIZE(float_boxes);
    for (Py_ssize_t i = 0; i < n && st.spare_arrays.size() < max_spare_arrays; ++i) {
        PyObject *array = PyList_GET_ITEM(float_boxes, i);
        if (like_new_box_array(st, array)) {
            try {
                st.spare_arrays.push_back(array);
            } catch (...) {
                return; // no room: the array is freed with the list
            }
            // The list's reference goes when the caller drops the list.
            Py_INCREF(array);
        }
    }
}

int fast_indices_list(PyObject *indices, Ref &out) {
    if (!PyArray_CheckExact(indices)) {
        return 0;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(indices);
    // OpenCV's answer: a contiguous int32 vector or column. Its items in
    // memory order are its items in row-major order.
    if (PyArray_TYPE(array) == NPY_INT32 && PyArray_ISNBO(PyArray_DESCR(array)->byteorder) &&
        PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array)) {
        const npy_intp n = PyArray_SIZE(array);
        const auto *data = static_cast<const npy_int32 *>(PyArray_DATA(array));
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) {
            return -1;
        }
        for (npy_intp i = 0; i < n; ++i) {
            PyObject *item = PyLong_FromLong(data[i]);
            if (item == nullptr) {
                return -1;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        out = std::move(list);
        return 1;
    }
    // Any other array: what the two methods do, less the copy that
    // np.array would make first (it holds the same items).
    Ref flat = Ref::steal(PyArray_Flatten(array, NPY_CORDER));
    if (!flat) {
        return -1;
    }
    out = Ref::steal(PyArray_ToList(reinterpret_cast<PyArrayObject *>(flat.get())));
    return out ? 1 : -1;
}

} // namespace nms
