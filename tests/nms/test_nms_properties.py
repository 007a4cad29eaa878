import hypothesis.strategies as st
from hypothesis import HealthCheck, given

import nms_cases
import nms_model
from common import property_settings
import nalo_sdk.detection.nms as native

SETTINGS = property_settings(HealthCheck.data_too_large)

coordinate = st.one_of(
    st.integers(-20, 120),
    st.floats(-20, 120, allow_nan=False, width=32),
    st.sampled_from([0, 0.0, -0.0, 2**40, 1e-40, 3.4e38]),
)
box = st.tuples(st.lists(coordinate, min_size=4, max_size=4), st.booleans()).map(
    lambda pair: tuple(pair[0]) if pair[1] else pair[0]
)
score = st.one_of(st.floats(0, 1), st.sampled_from([0, 1, True, "0.75", 0.5]))
threshold = st.one_of(st.floats(0, 1), st.sampled_from([0, 1, 0.5, True]))
class_id = st.sampled_from([0, 1, 2, 7, 1.0, True, "a", "b", "1", None, (1,), 2**70])


@st.composite
def detections(draw, with_ids):
    n = draw(st.integers(0, 12))
    boxes = draw(st.lists(box, min_size=n, max_size=n))
    scores = draw(st.lists(score, min_size=n, max_size=n))
    ids = draw(st.lists(class_id, min_size=max(0, n - 1), max_size=n)) if with_ids else None
    return boxes, scores, ids, draw(threshold), draw(threshold)


def outcome(fn, *args):
    return nms_cases.attempt(lambda: fn(*args))


@SETTINGS
@given(detections(with_ids=False))
def test_standard_matches_the_model(case):
    boxes, scores, _, score_threshold, iou_threshold = case
    got = outcome(native.non_max_suppression_cv, boxes, scores, score_threshold, iou_threshold)
    want = outcome(nms_model.non_max_suppression_cv, boxes, scores, score_threshold, iou_threshold)
    assert got == want
    if got[0] == "ok":
        assert all(type(i) is int and 0 <= i < len(boxes) for i in got[1])


@SETTINGS
@given(detections(with_ids=True))
def test_per_class_matches_the_model(case):
    boxes, scores, ids, score_threshold, iou_threshold = case
    args = (boxes, scores, ids, score_threshold, iou_threshold)
    got = outcome(native.non_max_suppression_cv_per_class, *args)
    assert got == outcome(nms_model.non_max_suppression_cv_per_class, *args)
    if got[0] == "ok":
        assert len(set(got[1])) == len(got[1]) and all(0 <= i < len(ids) for i in got[1])
