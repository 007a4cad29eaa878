import cv2
import numpy as np

from flowsweep_cases import ADDRESS, Ident, _fail, _raise, run_restoring


class FakeArray:
    def __init__(self, values):
        self.values = list(values)

    def flatten(self):
        out = []
        for v in self.values:
            out.extend(v.values if isinstance(v, FakeArray) else v if isinstance(v, list) else [v])
        return FakeArray(out)

    def tolist(self):
        return list(self.values)

    def __len__(self):
        return len(self.values)


class FakeNp:
    float32 = "float32"

    def __init__(self, on_array=None):
        self.on_array = on_array
        self.calls = 0

    def array(self, obj, dtype=None):
        self.calls += 1
        if self.on_array:
            self.on_array(self, obj)
        if dtype is None:
            return obj if isinstance(obj, FakeArray) else FakeArray(obj)
        if dtype != "float32":
            raise AssertionError(dtype)
        return FakeArray(float(v) for v in obj)


def greedy(bboxes, scores, score_threshold, nms_threshold):
    boxes = [b.values for b in bboxes]
    order = sorted(
        (i for i, s in enumerate(scores) if s > score_threshold), key=lambda i: -scores[i]
    )
    kept = []
    for i in order:
        if all(iou(boxes[i], boxes[k]) <= nms_threshold for k in kept):
            kept.append(i)
    return kept


def iou(a, b):
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    w = max(0.0, min(ax + aw, bx + bw) - max(ax, bx))
    h = max(0.0, min(ay + ah, by + bh) - max(ay, by))
    inter = w * h
    union = aw * ah + bw * bh - inter
    return inter / union if union > 0 else 0.0


class FakeDnn:
    def __init__(self, shape="tuple", hook=None):
        self.shape = shape
        self.hook = hook
        self.calls = []

    def NMSBoxes(self, *, bboxes, scores, score_threshold, nms_threshold):  # noqa: N802
        if type(score_threshold) is not float or type(nms_threshold) is not float:
            raise AssertionError("thresholds must arrive as float")
        self.calls.append(len(bboxes))
        if self.hook:
            out = self.hook(self, bboxes, scores)
            if out is not None:
                return out
        kept = greedy(bboxes, scores, score_threshold, nms_threshold)
        if self.shape == "tuple":
            return tuple(kept)
        if self.shape == "column":
            return FakeArray([FakeArray([k]) for k in kept])
        return FakeArray(kept)


class FakeCv2:
    def __init__(self, **kw):
        self.dnn = FakeDnn(**kw)


def fakes(mod, np_kw=None, **cv2_kw):
    mod.np = FakeNp(**(np_kw or {}))
    mod.cv2 = FakeCv2(**cv2_kw)


BOXES = [[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30], [12, 12, 48, 48], [0, 0, 5, 5]]
SCORES = [0.9, 0.8, 0.95, 0.85, 0.3]


def attempt(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return (type(error).__name__, ADDRESS.sub("", str(error)))


def std_shapes(mod):
    out = []
    for shape in ("tuple", "column", "flat"):
        fakes(mod, shape=shape)
        out.append(attempt(lambda: mod.non_max_suppression_cv(list(BOXES), list(SCORES), 0.5, 0.3)))
        out.append(
            attempt(lambda: mod.non_max_suppression_cv(list(BOXES), list(SCORES), 0.99, 0.3))
        )
    fakes(mod)
    out.append(attempt(lambda: mod.non_max_suppression_cv([], [1, 2])))
    out.append(attempt(lambda: mod.non_max_suppression_cv([], ())))
    out.append(
        attempt(
            lambda: mod.non_max_suppression_cv(boxes=[[1, 2, 3, 4]], scores=[1], iou_threshold=1)
        )
    )
    out.append(mod.cv2.dnn.calls)
    return out


class Num:
    def __init__(self, value, on_float=None, result=None):
        self.value, self.on_float, self.result = value, on_float, result

    def __float__(self):
        if self.on_float:
            self.on_float()
        return self.value if self.result is None else self.result


class OnlyIndex:
    def __index__(self):
        return 1


def std_scores_and_thresholds(mod):
    fakes(mod)
    f = mod.non_max_suppression_cv
    b = [[0, 0, 1, 1]]
    return [
        attempt(c)
        for c in (
            (
                lambda: f(b, ["0.9"]),
                lambda: f(b, [b"0.9"]),
                lambda: f(b, [bytearray(b"1e-1")]),
                lambda: f(b, ["nine"]),
                lambda: f(b, [None]),
                lambda: f(b, [[0.5]]),
                lambda: f(b, [Num(0.7)]),
                lambda: f(b, [Num(0, result="x")]),
                lambda: f(b, [Num(0, on_float=_fail(ZeroDivisionError))]),
                lambda: f(b, [OnlyIndex()]),
                lambda: f(b, [True]),
                lambda: f(b, [float("nan")]),
                lambda: f(b, [1], "0.5"),
                lambda: f((), [1], "0.5"),
                lambda: f(b, [1], 0.5, None),
                lambda: f(b, [1], Num(0.2)),
                lambda: f(b, [1], OnlyIndex(), 0),
                lambda: f(b, [1], Num(0, on_float=_fail(OverflowError))),
                lambda: f(b, [1], 10**400),
                lambda: f(b, (1,)),
                lambda: f(type("L", (list,), {})(b), [1]),
                lambda: f(None, None),
                lambda: f(b, [1], iou_threshold=Num(0, result=1.5)),
            )
        )
    ]


def std_lists_change_length(mod):
    boxes = [list(b) for b in BOXES]
    scores = list(SCORES)

    def on_array(fake_np, box):
        if fake_np.calls == 1:
            boxes.append([1, 1, 2, 2])
            scores.append(0.99)
        elif fake_np.calls == 3:
            del boxes[4:]

    fakes(mod, np_kw={"on_array": on_array})
    scores[1] = Num(0.8, on_float=lambda: (scores.clear(), boxes.clear()))
    first = attempt(lambda: mod.non_max_suppression_cv(boxes, scores))
    boxes2 = [list(b) for b in BOXES]
    scores2 = [Num(s, on_float=lambda: scores2.append(0.1)) for s in SCORES[:2]]
    fakes(mod)
    second = attempt(lambda: mod.non_max_suppression_cv(boxes2, scores2))
    return first, second, len(boxes), len(scores), len(scores2)


def std_globals_faults(mod):
    out = []
    b, s = [[0, 0, 1, 1], [0, 0, 1, 1]], [0.9, 0.8]
    call = lambda: mod.non_max_suppression_cv(b, s)  # noqa: E731

    def with_globals(np_value, cv2_value):
        mod.np, mod.cv2 = np_value, cv2_value
        out.append(attempt(call))

    with_globals(FakeNp(on_array=lambda n, o: _raise(MemoryError("np.array"))), FakeCv2())
    with_globals(type("NoFloat32", (), {"array": FakeNp.array})(), FakeCv2())
    with_globals(FakeNp(), object())
    with_globals(FakeNp(), type("C", (), {"dnn": object()})())
    for result in (
        (None, 5, FakeArray([]), (), (1, "x", None), [0], [[1], [0]], "ab")
        + (type("T", (tuple,), {"__iter__": lambda self: _raise(RuntimeError("iter"))})((0,)),)
        + (type("L", (), {"__len__": lambda self: _raise(LookupError("len"))})(),)
        + (type("A", (FakeArray,), {"flatten": lambda self: _raise(ValueError("flat"))})([1]),)
        + (type("B", (FakeArray,), {"tolist": lambda self: _raise(ValueError("tolist"))})([1]),)
    ):
        with_globals(
            FakeNp(), FakeCv2(hook=lambda dnn, bb, ss, r=result: r if r is not None else None)
        )
    with_globals(FakeNp(), FakeCv2(hook=lambda dnn, bb, ss: _raise(cv2.error("OpenCV says no"))))
    del mod.np
    mod.cv2 = FakeCv2()
    out.append(attempt(call))
    mod.np = FakeNp()
    del mod.cv2
    out.append(attempt(call))
    return out


def per_class(mod, boxes, scores, ids, *thresholds, **fake_kw):
    fakes(mod, **fake_kw)
    return attempt(lambda: mod.non_max_suppression_cv_per_class(boxes, scores, ids, *thresholds))


def pc_ids(mod):
    out = []
    b = [list(x) for x in BOXES]
    for ids in (
        ([1, 1, 2, 2, 1], ["a", "b", "a", "b", "a"], [1, "1", 1.0, True, 2])
        + ([float("nan")] * 5, [None, (1, 2), frozenset(), 1, None], [8, 1], [])
        + ([1, 1, 1, 1, 1, 9, 9], [-1, 2**70, 2**70, -1, 0])
        + ([Ident("x"), "x", Ident("y"), "y", "x"],)
    ):
        out.append(per_class(mod, b, list(SCORES), ids, 0.5, 0.3))
    out.append(per_class(mod, [], [], [[1]]))
    out.append(per_class(mod, b, SCORES[:2], [1, 2, 1, 2, 1]))
    out.append(per_class(mod, b, list(SCORES), [[1], 2, 3, 4, 5]))
    out.append(per_class(mod, b, list(SCORES), (1, 2, 3, 4, 5)))
    out.append(per_class(mod, b, list(SCORES), [1] * 5, "x"))
    return out


def pc_hostile_ids(mod):
    out = []
    b = [list(x) for x in BOXES]
    ids = []

    def run(make_ids):
        ids[:] = make_ids()
        out.append(per_class(mod, b, list(SCORES), ids, 0.5, 0.3))
        out.append(list(map(str, ids)))

    run(lambda: [Ident("a", on_eq=_fail(ArithmeticError)), "a", "b", "a", "b"])
    run(lambda: [Ident("a", on_hash=_fail(KeyError)), "b", "a", "b", "a"])
    run(lambda: ["a", "b", Ident("a", on_eq=lambda: ids.clear()), "b", "a"])
    run(lambda: ["a", "b", Ident("a", on_eq=lambda: ids.append("a")), "b", "a"])
    run(
        lambda: [
            "a",
            "b",
            Ident("b", on_eq=lambda: ids.__setitem__(slice(None), ["b"] * 9)),
            "b",
            "a",
        ]
    )
    run(lambda: [Ident("a", on_hash=lambda: ids.clear()), "b", "a", "c", "a"])
    run(lambda: [Ident("a", on_hash=lambda: ids.extend(["z"] * 3)), "b", "a"])
    return out


def pc_lists_change_between_classes(mod):
    out = []
    for act in ("ids", "ids_same_objects", "boxes", "scores", "ids_longer"):
        b = [list(x) for x in BOXES]
        s = list(SCORES)
        ids = [1, 2, 1, 2, 3]
        original = list(ids)

        def hook(dnn, bboxes, scores, act=act, b=b, s=s, ids=ids, original=original):
            if len(dnn.calls) != 1:
                return None
            if act == "ids":
                ids[:] = [2, 2, 3, 1, 1]
            elif act == "ids_same_objects":
                ids[:] = []
                ids.extend(original)
            elif act == "boxes":
                del b[3:]
            elif act == "scores":
                s.reverse()
            else:
                ids.extend([1, 2])
            return None

        out.append(per_class(mod, b, s, ids, 0.5, 0.3, hook=hook))
    return out


def pc_standard_rebound(mod):
    out = []
    b = [list(x) for x in BOXES]
    calls = []

    def replacement(result):
        def standard(*args, **kwargs):
            calls.append((len(args), sorted(kwargs), [type(v).__name__ for v in kwargs.values()]))
            return result() if callable(result) else result

        return standard

    def gen():
        yield 0
        raise ValueError("midway")

    saved = mod.non_max_suppression_cv
    try:
        for result in (
            [0],
            [True],
            [-1],
            [-3],
            [5],
            [10**30],
            [1.0],
            (0, 1),
            [slice(0, 2)],
            None,
            7,
        ) + (gen, "0"):
            mod.non_max_suppression_cv = replacement(result)
            out.append(per_class(mod, b, list(SCORES), [1, 1, 2, 1, 3], 0.5, 0.3))
        del mod.non_max_suppression_cv
        out.append(per_class(mod, b, list(SCORES), [1, 1, 2, 1, 3]))
        mod.non_max_suppression_cv = saved
        out.append(per_class(mod, b, list(SCORES), [1, 1, 2, 1, 3]))
    finally:
        mod.non_max_suppression_cv = saved
    out.append(calls)
    return out


FAKE = [std_shapes, std_scores_and_thresholds, std_lists_change_length, std_globals_faults] + [
    pc_ids,
    pc_hostile_ids,
    pc_lists_change_between_classes,
    pc_standard_rebound,
]


class Box:
    def __init__(self, values, act=None):
        self.values, self.act = values, act

    def __len__(self):
        if self.act:
            self.act()
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def real_examples(mod):
    f, g = mod.non_max_suppression_cv, mod.non_max_suppression_cv_per_class
    out = [
        f([[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]], [0.9, 0.8, 0.95], 0.5, 0.3),
        g(
            [[10, 10, 50, 50], [15, 15, 50, 50], [12, 12, 48, 48]],
            [0.9, 0.8, 0.85],
            [1, 1, 2],
            0.5,
            0.3,
        ),
    ]
    mixed = (
        [(10, 10, 50, 50), [15.5, 15, 50, 50], np.array([100, 100, 30, 30])]
        + [[1e30, 0, 1, 1], [float("nan"), 0, 5, 5], [-5, -5, 10, 10], [2**60, 0, 1, 1]]
        + [[0, 0, 0, 0]]
    )
    scores = [0.9, "0.8", np.float64(0.95), 0.7, 0.6, 0.99, 0.5, 0.55]
    out.append(attempt(lambda: f(mixed, scores, 0.1, 0.4)))
    out.append(attempt(lambda: g(mixed, scores, [1, 2, 1, 2, 1, 2, 1, 2], 0.1, 0.4)))
    out.append(attempt(lambda: f([[1, 2, 3]], [0.9])))
    out.append(attempt(lambda: f([["a", 1, 2, 3]], [0.9])))
    out.append(attempt(lambda: f([[0, 0, 1, 1]] * 3, [0.9, 0.8])))
    out.append(attempt(lambda: f([[0, 0, 1, 1]], [0.9, 0.8, 0.7])))
    return out


def real_lists_change_length(mod):
    boxes = [[0, 0, 10, 10], [1, 1, 10, 10], [50, 50, 5, 5]]
    scores = [0.9, 0.8, 0.7]
    boxes.insert(
        1, Box([0, 0, 9, 9], act=lambda: (boxes.append([80, 80, 4, 4]), scores.append(0.6)))
    )
    scores.insert(1, 0.85)
    first = attempt(lambda: mod.non_max_suppression_cv(list(boxes), list(scores)))
    shrinking = list(boxes)
    shrinking[0] = Box([0, 0, 9, 9], act=lambda: shrinking.clear())
    second = attempt(lambda: mod.non_max_suppression_cv(shrinking, list(scores)))
    return first, second


def real_hostile_ids(mod):
    b = [[0, 0, 10, 10], [1, 1, 10, 10], [50, 50, 5, 5], [0, 0, 10, 11]]
    s = [0.9, 0.8, 0.7, 0.95]
    ids = [1, 2, 1, Ident("2", on_eq=lambda: ids.reverse())]
    return attempt(lambda: mod.non_max_suppression_cv_per_class(b, s, ids, 0.5, 0.3)), list(
        map(str, ids)
    )


REAL = [real_examples, real_lists_change_length, real_hostile_ids]


def run(mod, scenario):
    return run_restoring(mod, scenario, ("np", "cv2", "non_max_suppression_cv"))
