import numpy as np
import pytest

from fakes import CountingNumpy, RecordingCv2

EXAMPLE_BOXES = [[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]]
EXAMPLE_SCORES = [0.9, 0.8, 0.95]


def test_the_call_opencv_receives(nms):
    recorder = RecordingCv2()
    nms.cv2 = recorder
    boxes = [[1, 2, 3, 4], (5.5, 6, 7, 8)]
    kept = nms.non_max_suppression_cv(boxes, [0.7, "0.6"], 0, 1)
    assert kept == [0, 1]
    [(args, kwargs)] = recorder.calls
    assert args == ()
    assert [k for k, _ in kwargs] == ["bboxes", "scores", "score_threshold", "nms_threshold"]
    values = dict(kwargs)
    assert type(values["bboxes"]) is list and len(values["bboxes"]) == 2
    for array, box in zip(values["bboxes"], boxes):
        assert type(array) is np.ndarray and array.dtype == np.float32
        assert array.tolist() == [float(v) for v in box]
    assert values["scores"] == [0.7, 0.6] and all(type(s) is float for s in values["scores"])
    for name, value in (("score_threshold", 0.0), ("nms_threshold", 1.0)):
        assert type(values[name]) is float and values[name] == value


class IndexTuple(tuple):
    pass


@pytest.mark.parametrize(
    "answer, expected",
    [
        ((), []),
        ((np.int32(2), "x"), [np.int32(2), "x"]),
        (IndexTuple((1, 0)), [1, 0]),
        (np.array([], dtype=np.int32), []),
        (np.zeros((0, 1), dtype=np.int32), []),
        (np.array([2, 0], dtype=np.int32), [2, 0]),
        (np.array([[2], [0], [1]], dtype=np.int32), [2, 0, 1]),
        (np.array([[2, 0], [1, 3]], dtype=np.int32).T, [2, 1, 0, 3]),
        (np.array([5, 7], dtype=np.int64), [5, 7]),
        (np.array([1, 0], dtype=">i4"), [1, 0]),
        (np.array([1.5, 0.0]), [1.5, 0.0]),
        ([1, 0], [1, 0]),
        ([], []),
    ],
)
def test_every_shape_of_the_answer(nms, plain, answer, expected):
    nms.cv2 = plain.cv2 = RecordingCv2(result=answer)
    got = nms.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES)
    assert got == expected == plain.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES)
    assert [type(v) for v in got] == [type(v) for v in expected]
    if isinstance(answer, tuple) and answer:
        assert got[0] is answer[0]  # items unconverted


def test_empty_boxes_return_at_once(nms):
    recorder = RecordingCv2()
    nms.cv2 = recorder
    del nms.np
    first = nms.non_max_suppression_cv([], [1, "not a number"])
    second = nms.non_max_suppression_cv([], [])
    assert first == second == [] and first is not second
    assert recorder.calls == []


def test_errors_pass_through_and_stop_conversion(nms):
    counting = CountingNumpy()
    nms.np = counting
    with pytest.raises(ValueError) as caught:
        nms.non_max_suppression_cv([[0, 0, 1, 1], ["a", 0, 1, 1], [0, 0, 2, 2]], [1, 1, 1])
    with pytest.raises(ValueError) as direct:
        np.array(["a", 0, 1, 1], dtype=np.float32)
    assert str(caught.value) == str(direct.value)
    assert len(counting.array_calls) == 2  # the third box is never converted

    recorder = RecordingCv2()
    nms.cv2 = recorder
    with pytest.raises(ValueError, match="could not convert string to float: 'x'"):
        nms.non_max_suppression_cv([[0, 0, 1, 1]], ["x", 0.5])
    assert recorder.calls == []


def test_rebound_globals_are_used_at_each_call(nms):
    counting = CountingNumpy()
    recorder = RecordingCv2(result=np.array([[1], [0]], dtype=np.int32))
    nms.np, nms.cv2 = counting, recorder
    assert nms.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES) == [1, 0]
    # One np.array per box, then one for OpenCV's answer.
    assert [args[0] for args, _ in counting.array_calls[:3]] == EXAMPLE_BOXES
    assert all(kw == {"dtype": np.float32} for _, kw in counting.array_calls[:3])
    assert len(counting.array_calls) == 4
    assert len(recorder.calls) == 1


@pytest.mark.parametrize("name", ["np", "cv2"])
def test_deleted_global_raises_name_error(nms, name):
    counting = CountingNumpy()
    nms.np = counting
    delattr(nms, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        nms.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES)
    # Without cv2 the boxes were converted first.
    assert len(counting.array_calls) == (3 if name == "cv2" else 0)


def test_the_answers_of_the_installed_opencv(nms):
    # OpenCV 4.6 (Debian 12) and 4.10 (Debian 13) alike: an empty tuple when
    # no box is given or none passes the score threshold, else a flat int32
    # array of the kept indices.
    import cv2

    boxes = [np.array(box, dtype=np.float32) for box in EXAMPLE_BOXES]
    none_given = cv2.dnn.NMSBoxes([], [], 0.5, 0.4)
    none_passes = cv2.dnn.NMSBoxes(boxes, [0.1] * 3, 0.5, 0.4)
    kept = cv2.dnn.NMSBoxes(boxes, EXAMPLE_SCORES, 0.5, 0.4)
    assert none_given == () and none_passes == ()
    assert type(kept) is np.ndarray and kept.dtype == np.int32 and kept.shape == (2,)
    assert nms.non_max_suppression_cv([], []) == []
    assert nms.non_max_suppression_cv(EXAMPLE_BOXES, [0.1] * 3, 0.5, 0.4) == []
    assert nms.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES, 0.5, 0.4) == kept.tolist()
