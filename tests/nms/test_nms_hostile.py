import gc

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
