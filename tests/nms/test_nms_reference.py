import numpy as np
import pytest

NEAR = 1e-4  # IoUs this close to the threshold may round either way


def iou(a, b):
    x1, y1 = max(a[0], b[0]), max(a[1], b[1])
    x2, y2 = min(a[0] + a[2], b[0] + b[2]), min(a[1] + a[3], b[1] + b[3])
    inter = max(0.0, x2 - x1) * max(0.0, y2 - y1)
    return inter / (a[2] * a[3] + b[2] * b[3] - inter)


def reference_nms(boxes, scores, score_threshold, iou_threshold):
    b = np.asarray(boxes, dtype=np.float32).astype(np.float64).reshape(-1, 4)
    s = np.asarray(scores, dtype=np.float64).astype(np.float32)
    candidates = np.flatnonzero(s > np.float32(score_threshold))
    order = candidates[np.argsort(-s[candidates], kind="stable")]
    near = any(
        abs(iou(b[i], b[j]) - iou_threshold) < NEAR
        for n, i in enumerate(candidates)
        for j in candidates[n + 1 :]
    )
    kept = []
    for i in order:
        if all(iou(b[i], b[j]) <= iou_threshold for j in kept):
            kept.append(int(i))
    return kept, near


def reference_per_class(boxes, scores, class_ids, score_threshold, iou_threshold):
    kept, near = [], False
    for cls in set(class_ids):
        positions = [i for i, c in enumerate(class_ids) if c == cls]
        local, local_near = reference_nms(
            [boxes[i] for i in positions],
            [scores[i] for i in positions],
            score_threshold,
            iou_threshold,
        )
        kept += [positions[j] for j in local]
        near = near or local_near
    return kept, near


def random_case(rng):
    n = int(rng.integers(0, 30))
    spread = float(rng.choice([40.0, 150.0]))
    boxes = []
    for _ in range(n):
        box = [
            rng.uniform(0, spread),
            rng.uniform(0, spread),
            rng.uniform(1, 50),
            rng.uniform(1, 50),
        ]
        form = rng.integers(0, 3)
        if form == 0:
            box = [float(v) for v in box]
        elif form == 1:
            box = [int(v) + 1 for v in box]
        else:
            box = tuple(float(v) for v in box)
        boxes.append(box)
    # Coarse scores make ties, which go in index order.
    scores = [float(v) for v in np.round(rng.random(n), int(rng.choice([1, 2, 6])))]
    return boxes, scores, float(rng.uniform(0.0, 0.9)), float(rng.uniform(0.05, 0.95))


@pytest.mark.parametrize("seed", range(3))
def test_standard_against_reference(nms, seed):
    rng = np.random.default_rng(seed)
    compared = 0
    for _ in range(120):
        boxes, scores, score_threshold, iou_threshold = random_case(rng)
        expected, near = reference_nms(boxes, scores, score_threshold, iou_threshold)
        if near:
            continue
        got = nms.non_max_suppression_cv(boxes, scores, score_threshold, iou_threshold)
        assert got == expected, (boxes, scores, score_threshold, iou_threshold)
        compared += 1
    assert compared > 100


@pytest.mark.parametrize("kind", ["int", "str", "mixed"])
def test_per_class_against_reference(nms, kind):
    rng = np.random.default_rng({"int": 10, "str": 11, "mixed": 12}[kind])
    pools = {
        "int": [0, 1, 2, 3, 79],
        "str": ["car", "person", "dog"],
        "mixed": [1, 1.0, True, "1", 2, 2.5],
    }
    compared = 0
    for _ in range(120):
        boxes, scores, score_threshold, iou_threshold = random_case(rng)
        pool = pools[kind]
        class_ids = [pool[int(i)] for i in rng.integers(0, len(pool), len(boxes))]
        expected, near = reference_per_class(
            boxes, scores, class_ids, score_threshold, iou_threshold
        )
        if near:
            continue
        got = nms.non_max_suppression_cv_per_class(
            boxes, scores, class_ids, score_threshold, iou_threshold
        )
        assert got == expected, (boxes, scores, class_ids, score_threshold, iou_threshold)
        compared += 1
    assert compared > 100
