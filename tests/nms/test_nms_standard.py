"""non_max_suppression_cv: conversions, the one OpenCV call, the shapes of
OpenCV's answer, errors, and the module globals read at each call."""

import numpy as np
import pytest

from fakes import CountingNumpy, RecordingCv2, describe_arrays, outcome

EXAMPLE_BOXES = [[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]]
EXAMPLE_SCORES = [0.9, 0.8, 0.95]


def test_worked_example_in_opencv_order(nms):
    assert nms.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES, 0.5, 0.3) == [2, 0]


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


def test_answer_without_length(nms):
    nms.cv2 = RecordingCv2(result=42)
    with pytest.raises(TypeError, match="object of type 'int' has no len()"):
        nms.non_max_suppression_cv(EXAMPLE_BOXES, EXAMPLE_SCORES)


def test_empty_boxes_return_at_once(nms):
    recorder = RecordingCv2()
    nms.cv2 = recorder
    del nms.np
    first = nms.non_max_suppression_cv([], [1, "not a number"])
    second = nms.non_max_suppression_cv([], [])
    assert first == second == [] and first is not second
    assert recorder.calls == []


@pytest.mark.parametrize(
    "score",
    [
        "0.9",
        b"0.9",
        bytearray(b"0.9"),
        " 1e-1 ",
        1,
        True,
        np.float32(0.5),
        "abc",
        None,
        [0.5],
        float("nan"),
    ],
)
def test_scores_follow_builtin_float(nms, score):
    recorder = RecordingCv2(result=())
    nms.cv2 = recorder
    got = outcome(nms.non_max_suppression_cv, [[0, 0, 1, 1]], [score])
    expected = outcome(float, score)
    if expected[0] == "error":
        assert got == expected
    else:
        sent = dict(recorder.calls[0][1])["scores"]
        assert type(sent[0]) is float
        assert np.isnan(sent[0]) if score != score else sent[0] == expected[1]


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


def test_conversion_that_grows_the_box_list(nms, plain):
    """Boxes are read live, as a loop over the caller's list reads them."""

    def run(target):
        boxes = [[0, 0, 5, 5], [20, 20, 5, 5]]
        scores = [0.9, 0.8, 0.7]

        def grow(args):
            if len(boxes) == 2:
                boxes.append([40, 40, 5, 5])

        target.np = CountingNumpy(on_array=grow)
        recorder = RecordingCv2()
        target.cv2 = recorder
        kept = target.non_max_suppression_cv(boxes, scores)
        return kept, describe_arrays(dict(recorder.calls[0][1])["bboxes"])

    assert run(nms) == run(plain)
