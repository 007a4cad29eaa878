"""Benchmark of nalo_sdk.mqtt.utils against a plain-Python rendering of the
same two functions.

Run from the repository root after `make build`:

    NALO_STAGE_DIR=build/python /usr/bin/python3.11 benchmarks/bench_mqtt.py [--json FILE]

Each figure is the median ns per call (thread CPU time) over
NALO_BENCH_REPEATS (at least 15) timed loops, the module's, plain Python's
and the empty loop's taken in turns; "speedup" is plain Python's time over
the module's, held to its target at the end (no call slower than its plain
form; the payload at least twice as fast). Every workload's results are
compared with the plain rendering before timing.
"""

import argparse
import json
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(pathlib.Path(os.environ.get("NALO_STAGE_DIR", ROOT / "build" / "python"))))
sys.path.insert(1, str(ROOT / "benchmarks"))
sys.path.insert(2, str(ROOT / "tests" / "support"))

import harness  # noqa: E402
import mqtt_model  # noqa: E402
from nalo_sdk.mqtt import utils as native  # noqa: E402

# The plain rendering, the tests' model of the module, reads the same globals
# the module reads.
plain = vars(mqtt_model)

DETECTIONS = [{"label": "person", "box": [10, 20, 30, 40], "score": 0.91}]

# The least speed-up over the plain rendering that each function must reach.
GOALS = {"gen_mqtt_key_local": 1.0, "meta_info_to_publish": 2.0}

# (name, function, call arguments as written in the caller's code). The call
# is compiled into the timed function as it stands, so positional and keyword
# calls reach the functions the way a node's code makes them.
WORKLOADS = [
    ("gen_mqtt_key_local(str id)", "gen_mqtt_key_local", "'cam_front_01'"),
    ("gen_mqtt_key_local(int id)", "gen_mqtt_key_local", "7"),
    ("meta_info_to_publish(2 args)", "meta_info_to_publish", "'front door', 'cam1'"),
    (
        "meta_info_to_publish(8 positional)",
        "meta_info_to_publish",
        "'front door', 'cam1', 3, DETECTIONS, 'node42', 'detector', 0.0123456, 'info'",
    ),
    (
        "meta_info_to_publish(keywords)",
        "meta_info_to_publish",
        "source_name='front door', source_id='cam1', source_idx=3, result=DETECTIONS, "
        "node_id='node42', node_type='detector', infer_t=0.0123456, category='warning'",
    ),
]


def caller(fn, arguments):
    """A function of no arguments that makes the call `fn(arguments)`."""
    return eval(f"lambda: fn({arguments})", {"fn": fn, "DETECTIONS": DETECTIONS})


def comparable(value):
    """The result without its clock reading, which differs between calls."""
    if isinstance(value, dict):
        assert isinstance(value["ts"], float)
        return [(k, v) for k, v in value.items() if k != "ts"]
    return value


def check(name, native_call, plain_call):
    got = native_call()
    want = plain_call()
    if comparable(got) != comparable(want) or type(got) is not type(want):
        raise SystemExit(f"{name}: module gives {got!r}, plain Python {want!r}")
    if isinstance(got, dict):
        rounded = "inference time(sec)"
        got_type, want_type = type(got[rounded]), type(want[rounded])
        if got_type is not want_type:
            raise SystemExit(f"{name}: rounding gives a different type")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the figures to this file")
    options = parser.parse_args()

    info = harness.machine()
    print("machine:", ", ".join(f"{k}={v}" for k, v in info.items()))
    table = harness.Table("nalo_sdk.mqtt.utils: ns per call (median)")
    targets = harness.Targets()
    for name, fn_name, arguments in WORKLOADS:
        native_call = caller(getattr(native, fn_name), arguments)
        plain_call = caller(plain[fn_name], arguments)
        check(name, native_call, plain_call)
        # The timing loop's own cost (calling the wrapper that makes the
        # call) is taken out; the call itself is part of what a node pays.
        native_ns, plain_ns, empty_ns = harness.interleaved_ns(
            [native_call, plain_call, lambda: None]
        )
        native_net = native_ns - empty_ns
        plain_net = plain_ns - empty_ns
        table.add(
            name,
            native=native_net,
            plain=plain_net,
            speedup=plain_net / native_net,
            rss_kib=harness.rss_growth_kib(native_call),
        )
        targets.add(f"mqtt {name} speed-up", plain_net / native_net, ">=", GOALS[fn_name])
    targets.report()
    if options.json:
        with open(options.json, "w") as f:
            json.dump({"machine": info, "mqtt": table.rows}, f, indent=2)


if __name__ == "__main__":
    main()
