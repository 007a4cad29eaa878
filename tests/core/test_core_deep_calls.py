"""Chains of calls through the modules deeper than the C stack holds: a
RecursionError, never a crash, whatever the thread's stack size and the
recursion limit. Each case runs in a child process, since the failure it
guards against kills the process."""

import itertools

import pytest

from common import run_python

SCRIPT = r"""
import functools, logging, sys, threading
case, stack_kib, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

class Namespace:
    pass

def chain(n):
    import nalo_sdk.redis.flowsweep as fs

    class Override(fs.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            return super()._discover_downstream_nodes(node, visited)

    flow = Namespace()
    flow._nodes = {i: {"id": i, "wires": [[i + 1]]} for i in range(n)}
    mgr = Override(None, flow, flow._nodes[0], "k")
    return lambda: len(mgr._discover_downstream_nodes(mgr.node_config, set()))

def cleanup_cycle():
    # Every level catches the error of the level below and logs it through
    # the logging module, at the deepest point of the stack.
    import nalo_sdk.redis.flowsweep as fs
    from fakes import FakeFlow, FakeWrapper
    logging.basicConfig(stream=sys.stdout, level=logging.ERROR, format="%(message).40s")
    mgr = fs.FlowsweepManager(FakeWrapper(), FakeFlow({}), {"id": "a"}, "k")
    mgr._collect_stream_redis_keys = mgr.clear_stream_keys
    return mgr.clear_stream_keys

def score_hook():
    # A cycle through C only: float(score) calls the function again.
    import nalo_sdk.detection.nms as nms
    boxes = [[0, 0, 1, 1]]
    score = type("Score", (), {})()
    hook = functools.partial(nms.non_max_suppression_cv, boxes, [score])
    type(score).__float__ = staticmethod(hook)
    return lambda: nms.non_max_suppression_cv(boxes, [score])

def prefix_hook():
    import nalo_sdk.mqtt.utils as mqtt
    hook = staticmethod(functools.partial(mqtt.gen_mqtt_key_local))
    mqtt.PREFIX = Namespace()
    mqtt.PREFIX.MQTT = Namespace()
    mqtt.PREFIX.MQTT.LOCAL = type("Local", (), {"__format__": hook})()
    return lambda: mqtt.gen_mqtt_key_local("cam")

call = {
    "short chain": lambda: chain(40),
    "long chain": lambda: chain(60_000),
    "cleanup cycle": cleanup_cycle,
    "score hook": score_hook,
    "prefix hook": prefix_hook,
}[case]()
outcome = []

def run():
    sys.setrecursionlimit(limit)
    try:
        outcome.append(repr(call()))
    except RecursionError:
        outcome.append("RecursionError")

threading.stack_size(stack_kib * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(outcome[0])
"""

STACKS_KIB = [256, 1024, 8192]
LIMITS = [1000, 1_000_000]
# (case, outcome): the last line the child prints. The short chain fits in
# the smallest stack, also with the larger frames of a sanitized build.
CASES = [
    ("short chain", "39"),
    ("long chain", "RecursionError"),
    ("cleanup cycle", "False"),
    ("score hook", "RecursionError"),
    ("prefix hook", "RecursionError"),
]


@pytest.mark.parametrize(
    "case, expected, stack_kib, limit",
    [(c, e, s, n) for (c, e), s, n in itertools.product(CASES, STACKS_KIB, LIMITS)],
)
def test_a_deep_chain_ends_in_recursion_error(case, expected, stack_kib, limit):
    run = run_python(SCRIPT, argv=[case, str(stack_kib), str(limit)], timeout=300)
    assert run.returncode == 0, run.stderr[-1000:]
    assert run.stdout.splitlines()[-1] == expected
