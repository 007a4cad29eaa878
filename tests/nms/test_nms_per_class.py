import gc
import math

import pytest

from fakes import RecordingCv2

# Three boxes that all overlap heavily (IoU above 0.5 pairwise).
STACKED = [[0, 0, 50, 50], [2, 2, 50, 50], [4, 4, 50, 50]]
APART = [[0, 0, 10, 10], [100, 100, 10, 10], [200, 200, 10, 10]]


def test_empty_boxes_look_at_nothing(nms):
    nms.cv2 = RecordingCv2()
    assert nms.non_max_suppression_cv_per_class([], [], [[1], {}]) == []
    assert nms.cv2.calls == []


@pytest.mark.parametrize(
    "boxes, scores, class_ids, error, message",
    [
        (APART, [0.9] * 3, [1, [2], 3], TypeError, "unhashable type: 'list'"),
        (APART[:2], [0.9] * 3, [1, 2, 3], IndexError, "list index out of range"),
        (APART, [0.9] * 2, [1, 2, 3], IndexError, "list index out of range"),
    ],
)
def test_errors(nms, plain, boxes, scores, class_ids, error, message):
    calls = []
    nms.non_max_suppression_cv = plain.non_max_suppression_cv = lambda **kw: calls.append(kw) or []
    with pytest.raises(error, match=f"^{message}$"):
        nms.non_max_suppression_cv_per_class(boxes, scores, class_ids)
    module_calls, calls[:] = list(calls), []
    with pytest.raises(error):
        plain.non_max_suppression_cv_per_class(boxes, scores, class_ids)
    assert module_calls == calls  # the same classes ran before the error


def test_per_class_calls_go_through_the_global(nms):
    calls = []
    boxes = [[0, 0, 5, 5], [9, 9, 5, 5], (1, 1, 5, 5)]
    scores = [0.5, "0.7", 0.6]

    def stand_in(*args, **kwargs):
        calls.append((args, kwargs))
        return list(range(len(kwargs["boxes"])))[::-1]

    nms.non_max_suppression_cv = stand_in
    kept = nms.non_max_suppression_cv_per_class(boxes, scores, [3, 4, 3], 0, True)
    assert kept == [2, 0, 1]  # class 3 (set order 3, 4), its positions reversed
    assert [args for args, _ in calls] == [(), ()]
    assert all(
        list(kw) == ["boxes", "scores", "score_threshold", "iou_threshold"] for _, kw in calls
    )
    first = calls[0][1]
    assert first["boxes"][0] is boxes[0] and first["boxes"][1] is boxes[2]
    assert first["scores"][1] is scores[2]
    assert type(first["score_threshold"]) is float and first["score_threshold"] == 0.0
    assert type(first["iou_threshold"]) is float and first["iou_threshold"] == 1.0


def test_class_matching_nothing_still_calls(nms):
    seen = []
    nms.non_max_suppression_cv = lambda **kw: seen.append(kw) or []
    assert nms.non_max_suppression_cv_per_class(APART, [0.9] * 3, [math.nan]) == []
    assert [(kw["boxes"], kw["scores"]) for kw in seen] == [([], [])]


def test_a_class_set_changed_from_outside(nms, plain):
    boxes = [[i * 100, 0, 10, 10] for i in range(4)]
    class_ids = [10, 11, 12, 13]

    def run(namespace):
        standard = namespace.non_max_suppression_cv
        calls = []

        def swapping(**kwargs):
            if not calls:
                for holder in gc.get_referrers(class_ids[0]):
                    if type(holder) is set and holder == set(class_ids):
                        holder.discard(13)
                        holder.add(14)
            calls.append(kwargs["boxes"])
            return standard(**kwargs)

        namespace.non_max_suppression_cv = swapping
        return namespace.non_max_suppression_cv_per_class(boxes, [0.9] * 4, class_ids), calls

    assert run(nms) == run(plain)
