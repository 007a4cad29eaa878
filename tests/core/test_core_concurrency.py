import sys
import threading

import flowsweep_cases as fs_cases
import nalo_sdk.detection.nms as nms
import nalo_sdk.mqtt.utils as mqtt
import nalo_sdk.redis.flowsweep as fs

THREADS = 8
ROUNDS = 150


def workload(seed):
    boxes = [[seed + i, seed + 2 * i, 10 + i, 12] for i in range(12)]
    scores = [((seed * 7 + i * 13) % 100) / 100 for i in range(12)]
    ids = [(seed + i) % 3 for i in range(12)]
    nodes = fs_cases.records(
        **{f"n{seed}_{i}": [[f"n{seed}_{i + 1}", f"n{seed}_{i // 2}"]] for i in range(20)}
    )
    mgr = fs.FlowsweepManager(None, fs_cases.FakeFlow(nodes), nodes[f"n{seed}_0"], "k")
    out = []
    for _ in range(ROUNDS):
        out.append(
            (
                nms.non_max_suppression_cv(boxes, scores, 0.2, 0.3),
                nms.non_max_suppression_cv_per_class(boxes, scores, ids, 0.2, 0.3),
                fs_cases.entries(mgr._discover_downstream_nodes(nodes[f"n{seed}_0"], set())),
                mqtt.gen_mqtt_key_local(seed),
                {
                    k: v
                    for k, v in mqtt.meta_info_to_publish("s", seed, infer_t=seed / 7).items()
                    if k != "ts"
                },
            )
        )
    return out


def test_threads_get_what_a_lone_caller_gets():
    expected = {seed: workload(seed)[0] for seed in range(THREADS)}
    results = {}
    errors = []

    def run(seed):
        try:
            results[seed] = workload(seed)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        threads = [threading.Thread(target=run, args=(seed,)) for seed in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors
    for seed, rounds in results.items():
        assert all(r == expected[seed] for r in rounds), seed
