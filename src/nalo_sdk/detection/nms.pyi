"""Non-Maximum Suppression utilities for object detection.

This module provides OpenCV-based NMS implementations for filtering overlapping
bounding boxes:
- Standard NMS: suppresses all overlapping boxes regardless of class
- Per-class NMS: runs NMS independently for each class, preserving overlapping objects of different classes (e.g. a sleeve containing cards)
"""

from types import ModuleType
from typing import List, Union

cv2: ModuleType
np: ModuleType

def non_max_suppression_cv(
    boxes: List[List[float]],
    scores: List[float],
    score_threshold: float = 0.5,
    iou_threshold: float = 0.5,
) -> List[int]:
    """Apply Non-Maximum Suppression using OpenCV's cv2.dnn.NMSBoxes.

    Filters overlapping bounding boxes by keeping only the highest-confidence
    detections and suppressing boxes with IoU > iou_threshold.

    Args:
        boxes: List of bounding boxes in [left, top, width, height] format
        scores: Confidence scores for each box
        score_threshold: Minimum confidence threshold to keep a box
        iou_threshold: IoU threshold for suppression (boxes with higher
            overlap are removed)

    Returns:
        List of indices of boxes that survived NMS

    Example:
        >>> boxes = [[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]]
        >>> scores = [0.9, 0.8, 0.95]
        >>> keep = non_max_suppression_cv(boxes, scores, 0.5, 0.3)
        >>> # keep == [2, 0]: boxes 2 and 0 kept, highest score first;
        >>> # the second box is suppressed by the first
    """

def non_max_suppression_cv_per_class(
    boxes: List[List[float]],
    scores: List[float],
    class_ids: List[Union[int, str]],
    score_threshold: float = 0.5,
    iou_threshold: float = 0.5,
) -> List[int]:
    """Apply NMS independently for each class.

    Unlike standard NMS, this preserves overlapping objects of different
    classes by running NMS separately within each class. Useful when objects
    of different classes naturally overlap (e.g. a person holding a phone,
    a sleeve containing cards).

    Args:
        boxes: List of bounding boxes in [left, top, width, height] format
        scores: Confidence scores for each box
        class_ids: Class identifiers (int or str) for each box
        score_threshold: Minimum confidence threshold to keep a box
        iou_threshold: IoU threshold for suppression within each class

    Returns:
        List of indices of boxes that survived per-class NMS

    Example:
        >>> boxes = [[10, 10, 50, 50], [15, 15, 50, 50], [12, 12, 48, 48]]
        >>> scores = [0.9, 0.8, 0.85]
        >>> class_ids = [1, 1, 2]  # first two are the same class
        >>> keep = non_max_suppression_cv_per_class(boxes, scores, class_ids, 0.5, 0.3)
        >>> # keep == [0, 2]: box 1 suppressed by box 0, box 2 kept (different class)
    """
