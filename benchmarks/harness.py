"""Timing helpers shared by the benchmarks: medians of repeated runs, the
machine's description, peak-memory loops and the targets' verdicts."""

import gc
import os
import platform
import resource
import statistics
import time

REPEATS = int(os.environ.get("NALO_BENCH_REPEATS", "7"))

# CPU time of this thread: a busy machine (other builds, other tests) then
# slows a run far less than it would wall-clock figures.
clock_ns = time.thread_time_ns


def ns_per_call(fn, *, min_time=0.05, repeats=REPEATS):
    """Median ns per call of `fn()` over `repeats` runs of an auto-sized loop."""
    loops = 1
    while True:
        start = clock_ns()
        for _ in range(loops):
            fn()
        elapsed = clock_ns() - start
        if elapsed >= min_time * 1e9 or loops >= 1 << 24:
            break
        loops *= 2 if elapsed * 4 > min_time * 1e9 else 8
    samples = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            start = clock_ns()
            for _ in range(loops):
                fn()
            samples.append((clock_ns() - start) / loops)
    finally:
        if gc_was_enabled:
            gc.enable()
    return statistics.median(samples)


def interleaved_ns(calls, *, repeats=max(REPEATS, 15), min_time=0.01):
    """Median ns per call of each function in `calls`, timed in turns so that
    a busy machine slows all of them alike. The thread's CPU time is measured,
    so time spent while other processes run is not counted."""
    clock = time.thread_time_ns
    loops = 1
    while True:
        start = clock()
        for _ in range(loops):
            calls[0]()
        if clock() - start >= min_time * 1e9 or loops >= 1 << 24:
            break
        loops *= 2
    samples = [[] for _ in calls]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            for fn, out in zip(calls, samples):
                start = clock()
                for _ in range(loops):
                    fn()
                out.append((clock() - start) / loops)
    finally:
        if gc_was_enabled:
            gc.enable()
    return [statistics.median(s) for s in samples]


def rss_growth_kib(fn, calls=20000):
    """Growth of the peak RSS (KiB) over `calls` calls, after a warm-up."""
    for _ in range(calls // 10):
        fn()
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(calls):
        fn()
    gc.collect()
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before


def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "python": platform.python_version(),
        "machine": platform.machine(),
        "cpu": cpu or platform.processor(),
        "cores": os.cpu_count(),
    }


class Table:
    """Collects rows and prints them as they come."""

    def __init__(self, title):
        self.title = title
        self.rows = []
        print(f"\n== {title}")

    def add(self, name, **values):
        self.rows.append({"name": name, **values})
        shown = "  ".join(f"{k}={_fmt(v)}" for k, v in values.items())
        print(f"  {name:<44} {shown}", flush=True)


class Targets:
    """The goals a benchmark's figures are held to. Each verdict is one line,
    `target <name>: <value> (goal <op> <limit>) ok` or `... MISS`, printed
    when the whole benchmark has run, so that its targets stand together;
    when NALO_BENCH_TARGETS names a file the lines are also appended to it,
    so that a run of several benchmarks can show all of them at its end."""

    checks = {">=": lambda value, limit: value >= limit, "<=": lambda value, limit: value <= limit}

    def __init__(self):
        self.lines = []

    def add(self, name, value, op, limit):
        verdict = "ok" if self.checks[op](value, limit) else "MISS"
        self.lines.append(f"target {name}: {value:.2f} (goal {op} {limit}) {verdict}")
        return verdict == "ok"

    def report(self):
        print()
        for line in self.lines:
            print(line)
        path = os.environ.get("NALO_BENCH_TARGETS")
        if path:
            with open(path, "a") as f:
                f.writelines(line + "\n" for line in self.lines)


def _fmt(value):
    if isinstance(value, float):
        return f"{value:,.2f}" if value < 100 else f"{value:,.0f}"
    return str(value)
