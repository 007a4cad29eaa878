// The module frame: names, signatures and docstrings of both functions, and
// the statements the module executes at import.
#include "core/imports.hpp"
#include "nms.hpp"

namespace nms {
namespace {

using nalo::Check;
using nalo::FunctionDef;
using nalo::Param;

constexpr const char *module_doc =
    "Non-Maximum Suppression utilities for object detection.\n"
    "\n"
    "This module provides OpenCV-based NMS implementations for filtering overlapping\n"
    "bounding boxes:\n"
    "- Standard NMS: suppresses all overlapping boxes regardless of class\n"
    "- Per-class NMS: runs NMS independently for each class, preserving overlapping "
    "objects of different classes (e.g. a sleeve containing cards)\n";

constexpr Param standard_params[] = {
    {"boxes", "List[List[float]]", Check::exact_list},
    {"scores", "List[float]", Check::exact_list},
    {"score_threshold", "float", Check::to_double},
    {"iou_threshold", "float", Check::to_double},
};
constexpr const char *standard_locals[] = {"float_boxes", "float_scores", "indices"};
constexpr FunctionDef standard_def = {
    "non_max_suppression_cv",
    nullptr,
    "Apply Non-Maximum Suppression using OpenCV's cv2.dnn.NMSBoxes.\n"
    "\n"
    "    Filters overlapping bounding boxes by keeping only the highest-confidence\n"
    "    detections and suppressing boxes with IoU > iou_threshold.\n"
    "\n"
    "    Args:\n"
    "        boxes: List of bounding boxes in [left, top, width, height] format\n"
    "        scores: Confidence scores for each box\n"
    "        score_threshold: Minimum confidence threshold to keep a box\n"
    "        iou_threshold: IoU threshold for suppression (boxes with higher\n"
    "            overlap are removed)\n"
    "\n"
    "    Returns:\n"
    "        List of indices of boxes that survived NMS\n"
    "\n"
    "    Example:\n"
    "        >>> boxes = [[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]]\n"
    "        >>> scores = [0.9, 0.8, 0.95]\n"
    "        >>> keep = non_max_suppression_cv(boxes, scores, 0.5, 0.3)\n"
    "        >>> # keep == [2, 0]: boxes 2 and 0 kept, highest score first;\n"
    "        >>> # the second box is suppressed by the first\n"
    "    ",
    standard_params,
    "List[int]",
    standard_locals,
    non_max_suppression_cv,
};

constexpr Param per_class_params[] = {
    {"boxes", "List[List[float]]", Check::exact_list},
    {"scores", "List[float]", Check::exact_list},
    {"class_ids", "List[Union[int, str]]", Check::exact_list},
    {"score_threshold", "float", Check::to_double},
    {"iou_threshold", "float", Check::to_double},
};
constexpr const char *per_class_locals[] = {
    "unique_classes", "kept_indices", "cls", "cls_indices", "cls_boxes", "cls_scores", "local_kept",
};
constexpr FunctionDef per_class_def = {
    "non_max_suppression_cv_per_class",
    nullptr,
    "Apply NMS independently for each class.\n"
    "\n"
    "    Unlike standard NMS, this preserves overlapping objects of different\n"
    "    classes by running NMS separately within each class. Useful when objects\n"
    "    of different classes naturally overlap (e.g. a person holding a phone,\n"
    "    a sleeve containing cards).\n"
    "\n"
    "    Args:\n"
    "        boxes: List of bounding boxes in [left, top, width, height] format\n"
    "        scores: Confidence scores for each box\n"
    "        class_ids: Class identifiers (int or str) for each box\n"
    "        score_threshold: Minimum confidence threshold to keep a box\n"
    "        iou_threshold: IoU threshold for suppression within each class\n"
    "\n"
    "    Returns:\n"
    "        List of indices of boxes that survived per-class NMS\n"
    "\n"
    "    Example:\n"
    "        >>> boxes = [[10, 10, 50, 50], [15, 15, 50, 50], [12, 12, 48, 48]]\n"
    "        >>> scores = [0.9, 0.8, 0.85]\n"
    "        >>> class_ids = [1, 1, 2]  # first two are the same class\n"
    "        >>> keep = non_max_suppression_cv_per_class(boxes, scores, class_ids, 0.5, 0.3)\n"
    "        >>> # keep == [0, 2]: box 1 suppressed by box 0, box 2 kept (different class)\n"
    "    ",
    per_class_params,
    "List[int]",
    per_class_locals,
    non_max_suppression_cv_per_class,
};

// NumPy's `array` and `float32` as loaded, or None when absent (then the
// fast conversions are never taken). A plain dict read: nothing runs.
int remember_numpy(State &st, PyObject *numpy) {
    st.numpy = nalo::new_ref(numpy);
    PyObject *dict = PyModule_Check(numpy) ? PyModule_GetDict(numpy) : nullptr;
    PyObject *array = dict ? PyDict_GetItemWithError(dict, st[Name::array]) : nullptr;
    PyObject *float32 = dict ? PyDict_GetItemWithError(dict, st[Name::float32]) : nullptr;
    if (PyErr_Occurred()) {
        return -1;
    }
    st.numpy_array = nalo::new_ref(array ? array : Py_None);
    st.numpy_float32 = nalo::new_ref(float32 ? float32 : Py_None);
    return 0;
}

int exec_module(PyObject *module) {
    if (nalo::init_state<State>(module) < 0) {
        return -1;
    }
    State &st = nalo::module_state<State>(module);
    if (st.names.init(name_table) < 0) {
        return -1;
    }
    st.kw_dtype = nalo::names_tuple({"dtype"}).release();
    st.kw_nms_boxes =
        nalo::names_tuple({"bboxes", "scores", "score_threshold", "nms_threshold"}).release();
    st.kw_standard =
        nalo::names_tuple({"boxes", "scores", "score_threshold", "iou_threshold"}).release();
    if (!st.kw_dtype || !st.kw_nms_boxes || !st.kw_standard) {
        return -1;
    }

    // import cv2
    Ref cv2 = nalo::import_module("cv2");
    if (!cv2 || nalo::set_global(module, "cv2", cv2.get()) < 0) {
        return -1;
    }
    // import numpy as np; NumPy's C API comes with it.
    Ref numpy = nalo::import_module("numpy");
    if (!numpy || nalo::set_global(module, "np", numpy.get()) < 0 ||
        remember_numpy(st, numpy.get()) < 0 || import_numpy_api(st) < 0) {
        return -1;
    }
    // from typing import List, Union
    constexpr const char *typing_names[] = {"List", "Union"};
    if (nalo::import_names(module, "typing", typing_names) < 0) {
        return -1;
    }

    Ref defaults = Ref::steal(Py_BuildValue("(dd)", 0.5, 0.5));
    if (!defaults) {
        return -1;
    }
    if (nalo::add_function(module, standard_def, defaults.get()) < 0) {
        return -1;
    }
    return nalo::add_function(module, per_class_def, defaults.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def =
    nalo::module_definition<State>("nalo_sdk.detection.nms", module_doc, module_slots);

} // namespace
} // namespace nms

PyMODINIT_FUNC PyInit_nms() {
    return PyModuleDef_Init(&nms::module_def);
}
