"""Non-maximum suppression of detection boxes, over all boxes or per class."""

from types import ModuleType
from typing import List, Union

cv2: ModuleType
np: ModuleType

def non_max_suppression_cv(
    boxes: List[List[float]],
    scores: List[float],
    score_threshold: float = 0.5,
    iou_threshold: float = 0.5,
) -> List[int]: ...
def non_max_suppression_cv_per_class(
    boxes: List[List[float]],
    scores: List[float],
    class_ids: List[Union[int, str]],
    score_threshold: float = 0.5,
    iou_threshold: float = 0.5,
) -> List[int]: ...
