import gc
import os
import sys

import cv2
import numpy as np
import pytest

import flowsweep_cases as fs_cases
import nalo_sdk.detection.nms as nms
import nalo_sdk.mqtt.utils as mqtt
import nalo_sdk.redis.flowsweep as fs
import nms_cases
import nms_model

if os.environ.get("NALO_MEMORY_LOOPS") != "1":
    pytest.skip(
        "memory loops run in `make test-refleaks` (NALO_MEMORY_LOOPS=1)", allow_module_level=True
    )

CALLS = 30_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def fill_array_pool():
    boxes = [np.arange(4, dtype=np.int64) for _ in range(1100)]
    nms.non_max_suppression_cv(boxes, [0.5] * 1100)


def growth(fn, calls=CALLS, warmup=None):
    fill_array_pool()
    for _ in range(calls // 10 if warmup is None else warmup):
        fn()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), resident()
    for _ in range(calls):
        fn()
    gc.collect()
    return sys.getallocatedblocks() - blocks, resident() - rss


def swallow(fn, *errors):
    def run():
        try:
            fn()
        except errors:
            pass

    return run


BOXES = [[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30], [12.5, 12, 48, 48]]
SCORES = [0.9, 0.8, 0.95, 0.85]
ODD_BOXES = [(10, 10, 50, 50), np.array([15, 15, 50, 50]), [100.0, 100, 30, 30], [2**60, 1, 2, 3]]


class Column:
    class dnn:  # noqa: N801
        @staticmethod
        def NMSBoxes(**kw):  # noqa: N802
            return np.array(cv2.dnn.NMSBoxes(**kw), dtype=np.int64).reshape(-1, 1)


LOOPS = {
    "standard, fast path": lambda: nms.non_max_suppression_cv(BOXES, SCORES, 0.5, 0.3),
    "standard, general path": lambda: nms.non_max_suppression_cv(ODD_BOXES, ["0.9", 0.8, 1, True]),
    "per class, ints": lambda: nms.non_max_suppression_cv_per_class(BOXES, SCORES, [1, 2, 1, 2]),
    "per class, mixed ids": lambda: nms.non_max_suppression_cv_per_class(
        BOXES, SCORES, [1, 1.0, "a", None]
    ),
    "per class, empty class ids": lambda: nms.non_max_suppression_cv_per_class(BOXES, SCORES, []),
    "bad box": swallow(lambda: nms.non_max_suppression_cv([[1, 2, 3]], [0.5]), TypeError),
    "bad score": swallow(lambda: nms.non_max_suppression_cv(BOXES, [0.9, "x", 1, 1]), ValueError),
    "class id beyond the boxes": swallow(
        lambda: nms.non_max_suppression_cv_per_class(BOXES, SCORES, [1, 2, 3, 4, 5]), IndexError
    ),
    "payload": lambda: mqtt.meta_info_to_publish("cam", "src", 3, [1], infer_t=0.123456),
    "key": lambda: mqtt.gen_mqtt_key_local("node"),
}


@pytest.mark.parametrize("name", list(LOOPS))
def test_no_growth(name):
    blocks, rss = growth(LOOPS[name])
    print(f"{name}: {blocks} blocks, {rss / 1024:.0f} KiB over {CALLS} calls")
    assert blocks < CALLS // 100
    assert rss < 1024 * 1024


def test_no_growth_on_the_general_indices_path(monkeypatch):
    monkeypatch.setattr(nms, "cv2", Column)
    blocks, rss = growth(lambda: nms.non_max_suppression_cv(BOXES, SCORES, 0.5, 0.3), 10_000)
    assert blocks < 100 and rss < 1024 * 1024


def test_opencv_errors_grow_no_more_than_opencv_does():
    def failing(module):
        return swallow(lambda: module.non_max_suppression_cv(BOXES, SCORES[:2]), cv2.error)

    native_blocks, native_rss = growth(failing(nms), 10_000)
    model_blocks, _ = growth(failing(nms_model), 10_000)
    print(f"OpenCV error path: {native_blocks} blocks (plain Python: {model_blocks})")
    assert native_blocks <= model_blocks + 100


@pytest.mark.parametrize("scenario", nms_cases.REAL + nms_cases.FAKE, ids=lambda s: s.__name__)
def test_no_growth_in_hostile_scenarios(scenario):
    blocks, rss = growth(lambda: nms_cases.run(nms, scenario), 500, warmup=50)
    model_blocks, _ = growth(lambda: nms_cases.run(nms_model, scenario), 500, warmup=50)
    assert blocks <= model_blocks + 5 and rss < 2 * 1024 * 1024


def test_no_growth_in_the_cleanup():
    blocks, rss = growth(lambda: fs_cases.run(fs, fs_cases.collect_and_clear), 5000)
    assert blocks < 50 and rss < 1024 * 1024
