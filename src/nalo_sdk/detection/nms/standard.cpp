// Standard suppression: boxes suppress one another whatever their class.
//
// Each box becomes its own float32 array and each score a float; OpenCV's
// NMSBoxes does the geometry and its answer becomes a list of positions.
// The Python calls on NumPy are skipped where NumPy's C API gives the same
// objects (numpy_fast.cpp); everything else is done as the calls read.
#include "core/signals.hpp"
#include "nms.hpp"

namespace nms {

Ref OwnedVector::to_list() const {
    Ref list = Ref::steal(PyList_New(size()));
    if (!list) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject *obj : items_) {
        PyList_SET_ITEM(list.get(), i++, nalo::new_ref(obj));
    }
    return list;
}

namespace {

// np.array(box, dtype=np.float32), as the expression reads: the global `np`
// is looked up for `array` and again for `float32`.
Ref box_array_call(const FunctionObject &fn, const State &st, PyObject *box) {
    Ref np = nalo::get_global(*fn.state, st[Name::np]);
    Ref array = np ? Ref::steal(PyObject_GetAttr(np.get(), st[Name::array])) : nullptr;
    if (!array) {
        return nullptr;
    }
    np = nalo::get_global(*fn.state, st[Name::np]);
    Ref float32 = np ? Ref::steal(PyObject_GetAttr(np.get(), st[Name::float32])) : nullptr;
    if (!float32) {
        return nullptr;
    }
    PyObject *call[] = {box, float32.get()};
    return Ref::steal(PyObject_Vectorcall(array.get(), call, 1, st.kw_dtype));
}

// float_boxes. Whether NumPy is untouched is decided once, and again after
// every Python call and every signal check (a handler may rebind `np` or
// patch NumPy): only Python code can, so between two of them the answer
// stands.
int convert_boxes(const FunctionObject &fn, State &st, Items boxes, OwnedVector &out) {
    FastBoxArrays fast_arrays(st);
    bool recheck = true;
    bool fast = false;
    nalo::SignalPoll signals;
    for (Py_ssize_t i = 0; i < boxes.size(); ++i) {
        const int polled = signals.tick();
        if (polled < 0) {
            return -1;
        }
        recheck = recheck || polled > 0;
        Ref box = Ref::borrow(boxes[i]);
        if (recheck) {
            Ref np = nalo::get_global(*fn.state, st[Name::np]);
            if (!np) {
                return -1;
            }
            fast = numpy_untouched(st, np.get());
            if (fast && fast_arrays.start() < 0) {
                return -1;
            }
            recheck = false;
        }
        Ref array;
        if (fast) {
            const int built = fast_arrays.make(box.get(), array);
            if (built < 0) {
                return -1;
            }
        }
        if (!array) {
            array = box_array_call(fn, st, box.get());
            if (!array) {
                return -1;
            }
            recheck = true;
        }
        out.push(std::move(array));
    }
    return 0;
}

// float_scores: float(s) with the built-in's rules (number texts parsed).
int convert_scores(Items scores, OwnedVector &out) {
    nalo::SignalPoll signals;
    for (Py_ssize_t i = 0; i < scores.size(); ++i) {
        if (signals.tick() < 0) {
            return -1;
        }
        Ref score = Ref::borrow(scores[i]);
        Ref value = Ref::steal(PyNumber_Float(score.get()));
        if (!value) {
            return -1;
        }
        out.push(std::move(value));
    }
    return 0;
}

// cv2.dnn.NMSBoxes(bboxes=..., scores=..., score_threshold=...,
// nms_threshold=...), the global `cv2` looked up now.
Ref call_nms_boxes(const FunctionObject &fn, const State &st, PyObject *float_boxes,
                   PyObject *float_scores, double score_threshold, double iou_threshold) {
    Ref cv2 = nalo::get_global(*fn.state, st[Name::cv2]);
    Ref dnn = cv2 ? Ref::steal(PyObject_GetAttr(cv2.get(), st[Name::dnn])) : nullptr;
    Ref nms_boxes = dnn ? Ref::steal(PyObject_GetAttr(dnn.get(), st[Name::NMSBoxes])) : nullptr;
    if (!nms_boxes) {
        return nullptr;
    }
    Ref score_value = Ref::steal(PyFloat_FromDouble(score_threshold));
    Ref iou_value = Ref::steal(PyFloat_FromDouble(iou_threshold));
    if (!score_value || !iou_value) {
        return nullptr;
    }
    PyObject *call[] = {float_boxes, float_scores, score_value.get(), iou_value.get()};
    return Ref::steal(PyObject_Vectorcall(nms_boxes.get(), call, 0, st.kw_nms_boxes));
}

// OpenCV's answer as a list: a tuple's items as they are, nothing for an
// empty answer, else np.array(indices).flatten().tolist().
Ref to_positions(const FunctionObject &fn, const State &st, PyObject *indices) {
    if (PyTuple_Check(indices)) {
        return Ref::steal(PySequence_List(indices));
    }
    const Py_ssize_t length = PyObject_Size(indices);
    if (length < 0) {
        return nullptr;
    }
    if (length == 0) {
        return Ref::steal(PyList_New(0));
    }
    Ref np = nalo::get_global(*fn.state, st[Name::np]);
    if (!np) {
        return nullptr;
    }
    if (numpy_untouched(st, np.get())) {
        Ref positions;
        const int done = fast_indices_list(indices, positions);
        if (done != 0) {
            return positions;
        }
    }
    Ref array_fn = Ref::steal(PyObject_GetAttr(np.get(), st[Name::array]));
    Ref array = array_fn ? Ref::steal(PyObject_CallOneArg(array_fn.get(), indices)) : nullptr;
    if (!array) {
        return nullptr;
    }
    PyObject *flatten_args[] = {array.get()};
    Ref flat = Ref::steal(PyObject_VectorcallMethod(st[Name::flatten], flatten_args, 1, nullptr));
    if (!flat) {
        return nullptr;
    }
    PyObject *tolist_args[] = {flat.get()};
    return Ref::steal(PyObject_VectorcallMethod(st[Name::tolist], tolist_args, 1, nullptr));
}

} // namespace

Ref suppress(const FunctionObject &fn, Items boxes, Items scores, double score_threshold,
             double iou_threshold) {
    if (boxes.size() == 0) {
        return Ref::steal(PyList_New(0));
    }
    State &st = state_of(fn);
    OwnedVector converted_boxes;
    converted_boxes.reserve(boxes.size());
    if (convert_boxes(fn, st, boxes, converted_boxes) < 0) {
        return nullptr;
    }
    OwnedVector converted_scores;
    converted_scores.reserve(scores.size());
    if (convert_scores(scores, converted_scores) < 0) {
        return nullptr;
    }
    Ref float_boxes = converted_boxes.to_list();
    Ref float_scores = float_boxes ? converted_scores.to_list() : nullptr;
    if (!float_scores) {
        return nullptr;
    }
    converted_boxes.clear();
    converted_scores.clear();
    Ref indices = call_nms_boxes(fn, st, float_boxes.get(), float_scores.get(), score_threshold,
                                 iou_threshold);
    if (!indices) {
        return nullptr;
    }
    Ref positions = to_positions(fn, st, indices.get());
    if (positions) {
        keep_spare_arrays(st, float_boxes.get());
    }
    return positions;
}

Ref non_max_suppression_cv(FunctionObject &fn, const Args &args) {
    return suppress(fn, Items(args[0]), Items(args[1]), args.num[2], args.num[3]);
}

} // namespace nms
