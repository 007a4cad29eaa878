"""A plain-Python model of the detection filtering, step by step, with the
compiled module's surface (its globals np, cv2 and the two functions can be
rebound the same way), to hold the compiled module against."""

import math

import cv2
import numpy as np

from flowsweep_model import tp_name


def _as_double(value):
    # The interpreter's float conversion (__float__, else __index__; no
    # parsing of text), as a threshold argument is converted.
    return math.ldexp(value, 0)


def _exact_list(name, value):
    if type(value) is not list:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected list, got {tp_name(type(value))})"
        )


def non_max_suppression_cv(boxes, scores, score_threshold=0.5, iou_threshold=0.5):
    score_threshold = _as_double(score_threshold)
    iou_threshold = _as_double(iou_threshold)
    _exact_list("boxes", boxes)
    _exact_list("scores", scores)
    if len(boxes) == 0:
        return []
    float_boxes = [np.array(box, dtype=np.float32) for box in boxes]
    float_scores = [float(s) for s in scores]
    indices = cv2.dnn.NMSBoxes(
        bboxes=float_boxes,
        scores=float_scores,
        score_threshold=float(score_threshold),
        nms_threshold=float(iou_threshold),
    )
    if isinstance(indices, tuple):
        return list(indices)
    if len(indices) == 0:
        return []
    return np.array(indices).flatten().tolist()


def non_max_suppression_cv_per_class(
    boxes, scores, class_ids, score_threshold=0.5, iou_threshold=0.5
):
    score_threshold = _as_double(score_threshold)
    iou_threshold = _as_double(iou_threshold)
    _exact_list("boxes", boxes)
    _exact_list("scores", scores)
    _exact_list("class_ids", class_ids)
    if len(boxes) == 0:
        return []
    unique_classes = set(class_ids)
    kept_indices = []
    for cls in unique_classes:
        cls_indices = [i for i, c in enumerate(class_ids) if c == cls]
        cls_boxes = [boxes[i] for i in cls_indices]
        cls_scores = [scores[i] for i in cls_indices]
        local_kept = non_max_suppression_cv(
            boxes=cls_boxes,
            scores=cls_scores,
            score_threshold=float(score_threshold),
            iou_threshold=float(iou_threshold),
        )
        kept_indices.extend(cls_indices[j] for j in local_kept)
    return kept_indices
