"""Shared pieces of the NMS tests: a plain-Python rendering of the module's
two functions (the general path every fast path is compared with),
stand-ins for OpenCV and NumPy that record the calls they receive, and
random inputs."""

import cv2
import numpy as np

# The two functions as plain Python, executed in a namespace of their own so
# that its globals (np, cv2, non_max_suppression_cv) can be rebound like the
# module's.
PLAIN_SOURCE = '''
def non_max_suppression_cv(boxes, scores, score_threshold=0.5, iou_threshold=0.5):
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


def non_max_suppression_cv_per_class(boxes, scores, class_ids, score_threshold=0.5,
                                     iou_threshold=0.5):
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
'''


class Plain:
    """A namespace holding the plain rendering; attributes are its globals."""

    def __init__(self):
        self.__dict__["_ns"] = {"np": np, "cv2": cv2}
        exec(PLAIN_SOURCE, self._ns)

    def __getattr__(self, name):
        return self._ns[name]

    def __setattr__(self, name, value):
        self._ns[name] = value


class RecordingCv2:
    """Stands in for the cv2 module: records every NMSBoxes call (positional
    arguments and keywords in their order) and answers with `result`, or with
    the real NMSBoxes when `result` is None."""

    def __init__(self, result=None, on_call=None):
        self.calls = []
        self.result = result
        self.on_call = on_call
        self.dnn = self

    def NMSBoxes(self, *args, **kwargs):  # noqa: N802 (OpenCV's name)
        self.calls.append((args, list(kwargs.items())))
        if self.on_call is not None:
            self.on_call(kwargs)
        if self.result is None:
            return cv2.dnn.NMSBoxes(*args, **kwargs)
        return self.result


class CountingNumpy:
    """Forwards to NumPy and counts the calls of `array`."""

    def __init__(self, on_array=None):
        self.array_calls = []
        self.on_array = on_array

    def __getattr__(self, name):
        return getattr(np, name)

    def array(self, *args, **kwargs):
        self.array_calls.append((args, kwargs))
        if self.on_array is not None:
            self.on_array(args)
        return np.array(*args, **kwargs)


def describe_arrays(arrays):
    """Everything observable of the box arrays handed to OpenCV."""
    return [
        (type(a), a.dtype, a.shape, a.strides, a.base is None, a.flags.num, a.tobytes())
        for a in arrays
    ]


def outcome(fn, *args, **kwargs):
    """The result of a call, or its exception's type and message."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 (any error is an outcome)
        return ("error", type(error), str(error))


def random_box_set(rng, n, spread=200.0):
    boxes = [
        [float(rng.uniform(0, spread)), float(rng.uniform(0, spread)),
         float(rng.uniform(1, 60)), float(rng.uniform(1, 60))]
        for _ in range(n)
    ]
    scores = [float(s) for s in rng.random(n)]
    return boxes, scores
