"""Timing of the NMS module against OpenCV's own cost and a plain-Python
rendering of the same algorithms.

    NALO_STAGE_DIR=build/python /usr/bin/python3.11 benchmarks/bench_nms.py [--json FILE]

For each workload it prints the median time per call (ns) of the built
module, of the floor (the bare cv2.dnn.NMSBoxes calls on inputs converted
beforehand) and of the plain-Python rendering, and the ratios to the floor;
with --memory also the growth of the peak RSS over a long loop of calls.
Inputs are random with fixed seeds; every result of the module is checked
against the plain-Python rendering before anything is timed. The targets,
printed at the end: standard NMS within FLOOR_GOALS of the floor, and no
call slower than its plain rendering.
"""

import argparse
import gc
import json
import os
import pathlib
import platform
import random
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The staged build: NALO_STAGE_DIR, else what PYTHONPATH gives, else build/python.
if os.environ.get("NALO_STAGE_DIR"):
    sys.path.insert(0, os.environ["NALO_STAGE_DIR"])
else:
    sys.path.append(str(ROOT / "build" / "python"))

sys.path.insert(1, str(ROOT / "benchmarks"))
# The plain-Python rendering of both functions is the tests' model of the module.
sys.path.insert(2, str(ROOT / "tests" / "support"))

import cv2  # noqa: E402
import harness  # noqa: E402
import numpy as np  # noqa: E402
from nms_model import non_max_suppression_cv as plain_nms  # noqa: E402
from nms_model import non_max_suppression_cv_per_class as plain_nms_per_class  # noqa: E402

from nalo_sdk.detection import nms  # noqa: E402

SCORE_THRESHOLD = 0.5
IOU_THRESHOLD = 0.45
REPEATS = 7
MIN_REPEAT_SECONDS = 0.05
# Standard NMS: the most its time may exceed the floor's, by N. What the
# module adds per call (conversion of the inputs and the result) weighs
# less the more boxes OpenCV has to compare.
FLOOR_GOALS = {10: 1.3, 100: 1.15, 1000: 1.08}


def random_boxes(rng, n):
    boxes = [
        [rng.uniform(0, 600), rng.uniform(0, 440), rng.uniform(8, 120), rng.uniform(8, 120)]
        for _ in range(n)
    ]
    scores = [rng.random() for _ in range(n)]
    return boxes, scores


def loops_for(fn):
    """A loop count that makes one timed run last MIN_REPEAT_SECONDS."""
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= MIN_REPEAT_SECONDS:
            return loops
        loops *= 2 if elapsed * 4 > MIN_REPEAT_SECONDS else 8


def ns_per_call(fns):
    """Median ns per call of each of `fns` (name -> callable). The runs
    alternate between them, so that a change in the machine's load touches
    all alike."""
    loops = {name: loops_for(fn) for name, fn in fns.items()}
    samples = {name: [] for name in fns}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(REPEATS):
            for name, fn in fns.items():
                n = loops[name]
                start = time.perf_counter()
                for _ in range(n):
                    fn()
                samples[name].append((time.perf_counter() - start) / n * 1e9)
    finally:
        if gc_was_enabled:
            gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


MEMORY_CALLS = 0  # set by --memory


def measure(workload, n, k, module_call, floor, plain_call):
    times = ns_per_call({"module": module_call, "floor": floor, "plain": plain_call})
    row = {
        "workload": workload,
        "n": n,
        "k": k,
        "module_ns": times["module"],
        "floor_ns": times["floor"],
        "plain_ns": times["plain"],
    }
    if MEMORY_CALLS:
        row["rss_growth_kib"] = harness.rss_growth_kib(
            module_call, max(100, MEMORY_CALLS // (n or 1))
        )
    return row


def standard_workloads():
    rows = []
    for n in (0, 10, 100, 1000):
        rng = random.Random(1000 + n)
        boxes, scores = random_boxes(rng, n)
        expected = plain_nms(boxes, scores, SCORE_THRESHOLD, IOU_THRESHOLD)
        got = nms.non_max_suppression_cv(boxes, scores, SCORE_THRESHOLD, IOU_THRESHOLD)
        assert got == expected, (n, got, expected)
        float_boxes = [np.array(b, dtype=np.float32) for b in boxes]
        float_scores = [float(s) for s in scores]
        nms_boxes = cv2.dnn.NMSBoxes
        fn = nms.non_max_suppression_cv

        def module_call():
            fn(boxes, scores, SCORE_THRESHOLD, IOU_THRESHOLD)

        def floor():
            nms_boxes(
                bboxes=float_boxes,
                scores=float_scores,
                score_threshold=SCORE_THRESHOLD,
                nms_threshold=IOU_THRESHOLD,
            )

        def plain_call():
            plain_nms(boxes, scores, SCORE_THRESHOLD, IOU_THRESHOLD)

        rows.append(measure("standard", n, None, module_call, floor, plain_call))
    return rows


def per_class_workloads():
    rows = []
    for n in (100, 1000):
        for k in (1, 10, 80):
            rng = random.Random(2000 + 10 * n + k)
            boxes, scores = random_boxes(rng, n)
            class_ids = [rng.randrange(k) for _ in range(n)]
            expected = plain_nms_per_class(boxes, scores, class_ids, SCORE_THRESHOLD, IOU_THRESHOLD)
            got = nms.non_max_suppression_cv_per_class(
                boxes, scores, class_ids, SCORE_THRESHOLD, IOU_THRESHOLD
            )
            assert got == expected, (n, k, got, expected)
            # The floor: one bare NMSBoxes call per class present, on inputs
            # converted and grouped beforehand.
            groups = {}
            for i, c in enumerate(class_ids):
                groups.setdefault(c, []).append(i)
            prebuilt = [
                (
                    [np.array(boxes[i], dtype=np.float32) for i in idx],
                    [float(scores[i]) for i in idx],
                )
                for idx in groups.values()
            ]
            nms_boxes = cv2.dnn.NMSBoxes

            def floor():
                for float_boxes, float_scores in prebuilt:
                    nms_boxes(
                        bboxes=float_boxes,
                        scores=float_scores,
                        score_threshold=SCORE_THRESHOLD,
                        nms_threshold=IOU_THRESHOLD,
                    )

            fn = nms.non_max_suppression_cv_per_class

            def module_call():
                fn(boxes, scores, class_ids, SCORE_THRESHOLD, IOU_THRESHOLD)

            def plain_call():
                plain_nms_per_class(boxes, scores, class_ids, SCORE_THRESHOLD, IOU_THRESHOLD)

            rows.append(measure("per_class", n, k, module_call, floor, plain_call))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument(
        "--memory", action="store_true", help="also report the peak-RSS growth over a loop of calls"
    )
    args = parser.parse_args()
    global MEMORY_CALLS
    MEMORY_CALLS = 2_000_000 if args.memory else 0

    machine = {
        "machine": platform.machine(),
        "processor": platform.processor() or platform.machine(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "opencv": cv2.__version__,
        "cpus": os.cpu_count(),
    }
    print("machine: " + ", ".join(f"{k} {v}" for k, v in machine.items()))
    print(
        f"thresholds: score {SCORE_THRESHOLD}, IoU {IOU_THRESHOLD}; " f"median of {REPEATS} repeats"
    )
    started = time.perf_counter()
    rows = standard_workloads() + per_class_workloads()
    header = (
        f"{'workload':<10} {'N':>5} {'K':>3} {'module ns':>12} {'floor ns':>12} "
        f"{'plain ns':>12} {'module/floor':>13} {'plain/floor':>12}"
        + (f" {'RSS +KiB':>9}" if MEMORY_CALLS else "")
    )
    print(header)
    print("-" * len(header))
    for row in rows:
        row["module_ratio"] = row["module_ns"] / row["floor_ns"]
        row["plain_ratio"] = row["plain_ns"] / row["floor_ns"]
        k = "" if row["k"] is None else row["k"]
        print(
            f"{row['workload']:<10} {row['n']:>5} {k:>3} {row['module_ns']:>12.0f} "
            f"{row['floor_ns']:>12.0f} {row['plain_ns']:>12.0f} "
            f"{row['module_ratio']:>13.3f} {row['plain_ratio']:>12.3f}"
            + (f" {row['rss_growth_kib']:>9}" if MEMORY_CALLS else "")
        )
    print(f"({time.perf_counter() - started:.1f} s)")
    targets = harness.Targets()
    for row in rows:
        label = f"nms {row['workload']} N={row['n']}" + (
            "" if row["k"] is None else f" K={row['k']}"
        )
        if row["workload"] == "standard" and row["n"] in FLOOR_GOALS:
            targets.add(f"{label} over the floor", row["module_ratio"], "<=", FLOOR_GOALS[row["n"]])
        targets.add(f"{label} speed-up", row["plain_ns"] / row["module_ns"], ">=", 1.0)
    targets.report()
    if args.json:
        pathlib.Path(args.json).write_text(
            json.dumps({"machine": machine, "rows": rows}, indent=2) + "\n"
        )


if __name__ == "__main__":
    main()
