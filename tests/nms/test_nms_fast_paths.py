import math
import random
import warnings
import weakref

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fakes import CountingNumpy, RecordingCv2, describe_arrays, outcome


class Float(float):
    pass


class Int(int):
    pass


class BoxList(list):
    pass


class WithFloat:
    def __float__(self):
        return 2.5


BOX_KINDS = {
    "floats": [1.5, 2.25, 3.0, 4.0],
    "ints": [1, 2, 3, 4],
    "tuple": (1, 2.5, -3, 4),
    "int-limits": [2**53, -(2**53), 16777217, 3],
    "big-ints": [2**53 + 1, 2**63, 2**70, 1],
    "too-big-int": [10**400, 1, 2, 3],
    "bools": [True, False, 1, 2],
    "ndarray": np.array([1, 2, 3, 4]),
    "numpy-scalars": [np.float64(1.5), np.int64(2), np.float32(3), 4],
    "strings": ["1", "2.5", "3", "4"],
    "bad-string": ["a", 1, 2, 3],
    "three": [1.0, 2.0, 3.0],
    "five": [1, 2, 3, 4, 5],
    "empty": [],
    "nested": [[1, 2], [3, 4]],
    "overflow": [1e39, 1.0, 2.0, 3.0],
    "float32-max": [3.4028234663852886e38, -3.4028235e38, 1.0, 2.0],
    "subnormal": [1e-40, 1e-45, 1e-50, 1.1754943508222875e-38],
    "nan-inf": [math.nan, math.inf, -math.inf, 0.0],
    "signed-zero": [-0.0, 0.0, -1e-300, 5e-324],
    "float-subclass": [Float(1.5), 2, 3, 4],
    "int-subclass": [Int(1), 2, 3, 4],
    "list-subclass": BoxList([1, 2, 3, 4]),
    "none-item": [None, 1, 2, 3],
    "float-hook": [WithFloat(), 1, 2, 3],
    "dict": {1: 2},
}


def run_standard(nms, boxes, np_global):
    nms.np = np_global
    recorder = RecordingCv2(result=())
    nms.cv2 = recorder
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = outcome(nms.non_max_suppression_cv, boxes, [0.9] * len(boxes))
    sent = describe_arrays(dict(recorder.calls[0][1])["bboxes"]) if recorder.calls else None
    return result, sent, [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("errstate", ["default", "raise"])
@pytest.mark.parametrize("kind", list(BOX_KINDS))
def test_box_conversion_equals_numpy_call(nms, kind, errstate):
    boxes = [[0, 0, 1, 1], BOX_KINDS[kind], (5, 6, 7, 8)]
    with np.errstate(all="raise") if errstate == "raise" else np.errstate():
        counting = CountingNumpy()
        general = run_standard(nms, boxes, counting)
        fast = run_standard(nms, boxes, np)
        again = run_standard(nms, boxes, np)  # reuses the first call's arrays
    assert fast == general == again
    # The general run converted every box up to the first failure through np.array.
    converted = [args[0] for args, _ in counting.array_calls[:3]]
    assert converted and converted == boxes[: len(converted)]


coordinate = st.one_of(
    st.floats(allow_nan=False, width=64),
    st.integers(min_value=-(2**60), max_value=2**60),
    st.floats(min_value=-1e-36, max_value=1e-36),
)


# The fixture is shared by the examples, which set the globals they use.
@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.lists(st.tuples(coordinate, coordinate, coordinate, coordinate), max_size=6))
def test_random_coordinates_equal_numpy_call(nms, rows):
    boxes = [list(r) if i % 2 else r for i, r in enumerate(rows)]
    general = run_standard(nms, boxes, CountingNumpy())
    fast = run_standard(nms, boxes, np)
    assert fast == general


def test_patched_numpy_sees_every_box(nms, monkeypatch):
    calls = []
    original = np.array

    def array(*args, **kwargs):
        calls.append(args[0])
        return original(*args, **kwargs)

    monkeypatch.setattr(np, "array", array)
    boxes = [[0, 0, 10, 10], [1, 1, 10, 10], [50, 50, 5, 5]]
    assert nms.non_max_suppression_cv(boxes, [0.9, 0.8, 0.7]) == [0, 2]
    assert calls[:3] == boxes and len(calls) == 4  # the boxes, then OpenCV's answer

    monkeypatch.setattr(np, "array", original)
    monkeypatch.setattr(np, "float32", np.float64)
    recorder = RecordingCv2(result=())
    nms.cv2 = recorder
    nms.non_max_suppression_cv(boxes, [0.9, 0.8, 0.7])
    assert {a.dtype for a in dict(recorder.calls[0][1])["bboxes"]} == {np.dtype(np.float64)}


def test_a_conversion_that_rebinds_np_is_seen_by_the_next_box(nms, plain):
    def run(target):
        counting = CountingNumpy()

        class Rebinds:
            def __array__(self, dtype=None, copy=None):
                target.np = counting
                return np.array([9, 9, 9, 9], dtype=dtype)

        target.np = np
        recorder = RecordingCv2(result=())
        target.cv2 = recorder
        boxes = [[0, 0, 1, 1], Rebinds(), [2, 2, 3, 3], [4, 4, 5, 5]]
        target.non_max_suppression_cv(boxes, [0.5] * 4)
        return (
            [args[0] for args, _ in counting.array_calls],
            describe_arrays(dict(recorder.calls[0][1])["bboxes"]),
        )

    calls, arrays = run(nms)
    assert calls == [[2, 2, 3, 3], [4, 4, 5, 5]]
    assert (calls, arrays) == run(plain)


class KeepingCv2:
    def __init__(self):
        self.dnn = self
        self.held, self.weak = [], []

    def NMSBoxes(self, bboxes, scores, score_threshold, nms_threshold):  # noqa: N802
        self.held.append(bboxes[0])
        self.weak.append(weakref.ref(bboxes[1]))
        bboxes[2].shape = (2, 2)
        bboxes[3].flags.writeable = False
        return ()


def test_arrays_someone_keeps_are_never_reused(nms):
    stand_in = KeepingCv2()
    nms.cv2 = stand_in
    boxes = [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12], [13, 14, 15, 16]]
    for _ in range(3):
        nms.non_max_suppression_cv(boxes, [0.5] * 4)
        assert stand_in.weak[-1]() is None
    assert [a.tolist() for a in stand_in.held] == [[1, 2, 3, 4]] * 3
    assert len({id(a) for a in stand_in.held}) == 3

    recorder = RecordingCv2(result=())
    nms.cv2 = recorder
    nms.non_max_suppression_cv(boxes, [0.5] * 4)
    fresh = describe_arrays([np.array(b, dtype=np.float32) for b in boxes])
    assert describe_arrays(dict(recorder.calls[0][1])["bboxes"]) == fresh


# Per-class grouping and the direct call into the standard function.

ID_POOL = [0, 1, 2, 3, "a", "b", 1.0, True, 2.5, math.nan, None, (1,), Int(2)]


@pytest.mark.parametrize("forwarded", [False, True], ids=["direct", "forwarded"])
@pytest.mark.parametrize("seed", range(4))
def test_per_class_equals_plain_form(nms, plain, seed, forwarded):
    rng = random.Random(seed)
    own = nms.non_max_suppression_cv
    if forwarded:
        nms.non_max_suppression_cv = lambda **kw: own(**kw)
    plain.non_max_suppression_cv = own
    for _ in range(60):
        n = rng.randrange(0, 25)
        boxes = [
            [rng.uniform(0, 60), rng.uniform(0, 60), rng.uniform(5, 40), rng.uniform(5, 40)]
            for _ in range(n)
        ]
        scores = [rng.random() for _ in range(n)]
        pool = ID_POOL[: rng.choice([4, 6, len(ID_POOL)])]
        class_ids = [rng.choice(pool) for _ in range(n + rng.randrange(-2, 1))]
        args = (boxes, scores, class_ids, rng.random() * 0.5, rng.random())
        assert outcome(nms.non_max_suppression_cv_per_class, *args) == outcome(
            plain.non_max_suppression_cv_per_class, *args
        )


MUTATIONS = {
    "retag": lambda ids: ids.__setitem__(0, 2),
    "equal-new-object": lambda ids: ids.__setitem__(1, int("1")),
    "append": lambda ids: ids.append(1),
    "shrink": lambda ids: ids.pop(),
    "nan": lambda ids: ids.__setitem__(2, math.nan),
    "clear": lambda ids: ids.clear(),
}


@pytest.mark.parametrize("mutation", list(MUTATIONS))
def test_ids_changed_between_classes(nms, plain, mutation):
    def run(target):
        class_ids = [1, 1, 2, 2, 3, 3]
        boxes = [[i * 30, 0, 10, 10] for i in range(6)] + [[300, 0, 10, 10]]
        own = nms.__dict__["non_max_suppression_cv"]
        calls = []

        def mutating(**kwargs):
            if not calls:
                MUTATIONS[mutation](class_ids)
            calls.append(kwargs["boxes"])
            return own(**kwargs)

        target.non_max_suppression_cv = mutating
        return outcome(target.non_max_suppression_cv_per_class, boxes, [0.9] * 7, class_ids), calls

    own = nms.non_max_suppression_cv
    module_run = run(nms)
    nms.non_max_suppression_cv = own
    assert module_run == run(plain)


def test_ids_changed_inside_the_direct_call(nms, plain):
    def run(target, standard):
        class_ids = [5, 5, 6, 6, 7]

        class Retags:
            def __array__(self, dtype=None, copy=None):
                class_ids[4] = 5  # too late for class 5; gone from class 7
                return np.array([0, 0, 10, 10], dtype=dtype)

        target.non_max_suppression_cv = standard
        boxes = [Retags(), [0, 0, 10, 10], [40, 0, 10, 10], [80, 0, 10, 10], [120, 0, 10, 10]]
        return target.non_max_suppression_cv_per_class(
            boxes, [0.9, 0.8, 0.7, 0.6, 0.5], class_ids, 0.1, 0.5
        )

    own = nms.non_max_suppression_cv
    assert list({5, 6, 7}) == [5, 6, 7]
    assert run(nms, own) == run(plain, own) == [0, 2, 3]


def test_user_ids_are_compared_as_the_plain_form_compares(nms, plain):
    class Id:
        log = []

        def __init__(self, v):
            self.v = v

        def __eq__(self, other):
            Id.log.append((self.v, getattr(other, "v", other)))
            return isinstance(other, Id) and other.v == self.v

        def __hash__(self):
            return hash(self.v)

    ids = [Id(1), Id(2), Id(1), 3]
    boxes = [[0, 0, 5, 5], [10, 0, 5, 5], [20, 0, 5, 5], [30, 0, 5, 5]]
    got = nms.non_max_suppression_cv_per_class(boxes, [0.9] * 4, ids)
    module_log, Id.log = Id.log, []
    assert got == plain.non_max_suppression_cv_per_class(boxes, [0.9] * 4, ids)
    assert module_log == Id.log


def test_other_native_function_is_called_as_python_would(nms):
    nms.non_max_suppression_cv = nms.non_max_suppression_cv_per_class
    with pytest.raises(TypeError, match=r"takes at least 3 positional arguments \(2 given\)"):
        nms.non_max_suppression_cv_per_class([[0, 0, 1, 1]], [0.9], [1])
