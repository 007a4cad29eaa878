import gc
import signal

import cv2
import numpy as np
import pytest

import nms_cases as cases
import nms_model
import nalo_sdk.detection.nms as native


@pytest.mark.parametrize("scenario", cases.FAKE + cases.REAL, ids=lambda s: s.__name__)
def test_same_outcome_as_the_model(scenario):
    assert cases.run(native, scenario) == cases.run(nms_model, scenario)


class Keeper:
    def __init__(self):
        self.kept = []

    def NMSBoxes(self, *, bboxes, scores, score_threshold, nms_threshold):  # noqa: N802
        arrays = list(bboxes)
        how = len(self.kept) % 4
        if how == 0:
            self.kept.append((arrays[0], arrays[0].copy()))
        elif how == 1:
            self.kept.append((arrays[0][:], arrays[0].copy()))
        elif how == 2:
            self.kept.append(
                (np.frombuffer(memoryview(arrays[0]), dtype=np.float32), arrays[0].copy())
            )
        else:
            self.kept.append((bboxes, [a.copy() for a in bboxes]))
        return cv2.dnn.NMSBoxes(
            bboxes=bboxes,
            scores=scores,
            score_threshold=score_threshold,
            nms_threshold=nms_threshold,
        )


def test_arrays_handed_out_are_never_reused(monkeypatch):
    keeper = Keeper()
    monkeypatch.setattr(native, "cv2", type("Cv2", (), {"dnn": keeper})())
    for round_ in range(40):
        boxes = [[round_, i, 10 + i, 10] for i in range(5)]
        native.non_max_suppression_cv(boxes, [0.9, 0.8, 0.7, 0.6, 0.5])
    for held, values in keeper.kept:
        if isinstance(held, list):
            assert all((a == v).all() for a, v in zip(held, values))
        else:
            assert (held == values).all()


def test_arrays_taken_by_a_finaliser_are_never_reused(monkeypatch):
    taken = []

    class Answer(tuple):
        def __del__(self):
            for obj in gc.get_objects():
                if (
                    type(obj) is list
                    and obj
                    and all(
                        type(a) is np.ndarray and a.shape == (4,) and a.dtype == np.float32
                        for a in obj
                    )
                ):
                    taken.extend((a, a.copy()) for a in obj)

    class Dnn:
        @staticmethod
        def NMSBoxes(**kw):  # noqa: N802
            return Answer(cv2.dnn.NMSBoxes(**kw))

    monkeypatch.setattr(native, "cv2", type("Cv2", (), {"dnn": Dnn})())
    for round_ in range(5):
        native.non_max_suppression_cv([[round_, i, 10, 10] for i in range(4)], [0.9] * 4)
    monkeypatch.undo()
    for round_ in range(5):
        native.non_max_suppression_cv([[-7.0, -7.0, 1.0, 1.0]] * 8, [0.9] * 8)
    assert taken and all((a == v).all() for a, v in taken)


class Namespace:
    pass


def standard(module, boxes, scores):
    return module.non_max_suppression_cv(boxes, scores)


def per_class(module, boxes, scores):
    return module.non_max_suppression_cv_per_class(boxes, scores, [7] * len(boxes))


class ArmsTimer:
    """A box that NumPy converts through __array__, which starts a timer:
    its signal arrives while the call converts the boxes after it."""

    def __array__(self, dtype=None, copy=None):
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        return np.zeros(4, dtype=dtype)


def rebind_np(module):
    fake = Namespace()
    fake.array = lambda box, dtype=None: "new"
    fake.float32 = np.float32
    module.np = fake


def patch_numpy_array(module):
    np.array = lambda box, dtype=None: "new"


@pytest.mark.parametrize("handler_does", [rebind_np, patch_numpy_array])
@pytest.mark.parametrize("function", [standard, per_class])
def test_a_signal_handler_that_rebinds_numpy_is_seen_by_the_boxes_after_it(
    nms, handler_does, function
):
    n = 200_000
    seen = []
    nms.cv2 = Namespace()
    nms.cv2.dnn = Namespace()
    nms.cv2.dnn.NMSBoxes = lambda bboxes, **_: seen.extend(bboxes) or ()
    ran = []

    def handler(*_):
        ran.append(True)
        handler_does(nms)

    previous = signal.signal(signal.SIGALRM, handler)
    numpy_array = np.array
    box = [1.0, 2.0, 3.0, 4.0]
    try:
        function(nms, [ArmsTimer()] + [box] * n, [0.1] * (n + 1))
    finally:
        np.array = numpy_array
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert ran
    new = [i for i, array in enumerate(seen) if isinstance(array, str)]
    # Every box converted after the handler ran goes through the new np.array,
    # as in the plain form, which looks np up for every box.
    assert new and new == list(range(new[0], n + 1))
