import copy
import functools
import gc
import itertools
import multiprocessing
import operator
import os
import pickle
import signal
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import nalo_sdk.detection.nms as nms
import nalo_sdk.mqtt.utils as mqtt
import nalo_sdk.redis.flowsweep as fs
from common import run_python
from fakes import FakeFlow, FakeWrapper

# A daemon thread is inside a native call, in Python code called from it
# that keeps giving up the interpreter lock and taking it back, when the
# main thread ends the process. The interpreter ends such a thread with
# pthread_exit() as soon as it asks for the lock, which unwinds our frames.
EXIT_SCRIPT = r"""
import atexit, sys, threading, time, types
which, watch = sys.argv[1], sys.argv[2]
started = threading.Event()

if watch == "atexit replaced":
    fake = types.ModuleType("atexit")
    fake.register = lambda func, *args, **kwargs: func
    fake.unregister = lambda func: None
    sys.modules["atexit"] = fake

def busy(*args, **kwargs):
    started.set()
    while True:
        time.sleep(0.0001)

if which == "flowsweep":
    from nalo_sdk.redis.flowsweep import clear_stream_redis_keys
    from fakes import FakeFlow, FakeWrapper
    work = lambda: clear_stream_redis_keys(FakeWrapper(scan=busy), FakeFlow({}), {"id": "a"}, "k")
elif which == "nms":
    import nalo_sdk.detection.nms as nms
    nms.non_max_suppression_cv = busy
    work = lambda: nms.non_max_suppression_cv_per_class([[0, 0, 1, 1]], [0.9], [1])
else:
    from nalo_sdk.mqtt.utils import gen_mqtt_key_local
    class Slow:
        __format__ = busy
    work = lambda: gen_mqtt_key_local(Slow())

class EqualToAll:
    def __eq__(self, other):
        return True

if watch == "atexit cleared":
    atexit._clear()
elif watch == "every callback unregistered":
    atexit.unregister(EqualToAll())
threading.Thread(target=work, daemon=True).start()
started.wait()
"""

# Each run is a whole interpreter start; under emulation that takes seconds.
EXIT_RUNS = 3 if os.environ.get("NALO_TARGET") else 20


# What the script does to the interpreter's exit callbacks first: nothing
# may leave the modules unaware that the interpreter is ending threads.
EXIT_WATCH = ["untouched", "atexit cleared", "every callback unregistered", "atexit replaced"]


def run_exit_script(argv):
    return run_python(EXIT_SCRIPT, argv=argv, timeout=300)


@pytest.mark.parametrize("watch", EXIT_WATCH)
@pytest.mark.parametrize("which", ["flowsweep", "nms", "mqtt"])
def test_exit_with_a_daemon_thread_inside_a_call(which, watch):
    with ThreadPoolExecutor(max_workers=4) as pool:
        runs = list(pool.map(run_exit_script, [[which, watch]] * EXIT_RUNS))
    failed = [(run.returncode, run.stderr[-300:]) for run in runs if run.returncode != 0]
    assert not failed, f"{len(failed)} of {EXIT_RUNS} runs failed: {failed[:3]}"


class Namespace:
    pass


@pytest.fixture
def restore():
    saved = [(m, dict(vars(m))) for m in (fs, nms, mqtt)]
    yield
    for module, values in saved:
        vars(module).update(values)


def test_a_cleanup_cycle_through_c_returns_false(restore):
    errors = []
    fs.logger = Namespace()
    fs.logger.debug = fs.logger.info = lambda line: None
    fs.logger.error = errors.append
    mgr = fs.FlowsweepManager(FakeWrapper(), FakeFlow({}), {"id": "a"}, "k")
    mgr._collect_stream_redis_keys = mgr.clear_stream_keys
    assert mgr.clear_stream_keys() is False
    assert errors[0].startswith("Failed to clear Redis keys: maximum recursion depth exceeded")


def cycle_cases():
    def manager_class():
        fs.FlowsweepManager = fs.clear_stream_redis_keys
        return lambda: fs.clear_stream_redis_keys(FakeWrapper(), FakeFlow({}), {"id": "a"}, "k")

    def clock():
        mqtt.time = Namespace()
        mqtt.time.time = functools.partial(mqtt.meta_info_to_publish, "cam", "src")
        return lambda: mqtt.meta_info_to_publish("cam", "src")

    def prefix():
        hook = staticmethod(functools.partial(mqtt.gen_mqtt_key_local))
        local = type("Local", (), {"__format__": hook})
        mqtt.PREFIX = Namespace()
        mqtt.PREFIX.MQTT = Namespace()
        mqtt.PREFIX.MQTT.LOCAL = local()
        return lambda: mqtt.gen_mqtt_key_local("cam")

    def score():
        boxes = [[0, 0, 1, 1]]
        score = type("Score", (), {})()
        hook = functools.partial(nms.non_max_suppression_cv, boxes, [score])
        type(score).__float__ = staticmethod(hook)
        return lambda: nms.non_max_suppression_cv(boxes, [score])

    return [manager_class, clock, prefix, score]


@pytest.mark.parametrize("case", cycle_cases(), ids=lambda case: case.__name__)
def test_a_call_cycle_through_c_raises_recursion_error(restore, case):
    call = case()
    # Whichever guard of the cycle meets the limit first raises: ours ("while
    # calling a Python object") or one of the interpreter's on the way (a
    # comparison's), depending on the depth the test starts at.
    with pytest.raises(RecursionError, match="maximum recursion depth exceeded"):
        call()


class Alarm(Exception):
    pass


@pytest.fixture
def alarm():
    ran = []

    def handler(*_):
        ran.append(time.monotonic())
        raise Alarm

    previous = signal.signal(signal.SIGALRM, handler)
    # A collection during the call runs the collector's callbacks (the
    # property tests' library registers one), and the handler may run inside
    # one: there the interpreter reports its exception as unraisable and
    # drops it.
    collecting = gc.isenabled()
    gc.disable()

    def arm(seconds):
        signal.setitimer(signal.ITIMER_REAL, seconds)
        return time.monotonic() + seconds

    arm.ran = ran
    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
    if collecting:
        gc.enable()


def test_a_signal_stops_an_endless_walk(alarm):
    flow = Namespace()
    flow._nodes = {"a": {"id": "a"}}
    targets = itertools.repeat("a", 5_000_000)
    mgr = fs.FlowsweepManager(None, flow, {"id": "s", "wires": [targets]}, "k")
    alarm(0.1)
    with pytest.raises(Alarm):
        mgr._discover_downstream_nodes(mgr.node_config, set())
    assert operator.length_hint(targets) > 0  # stopped inside the walk


def test_a_signal_stops_per_class_suppression_over_many_classes(alarm):
    n = 100_000
    boxes = [[i * 10, 0, 5, 5] for i in range(n)]
    scores = [0.9] * n
    class_ids = list(range(n))
    due = alarm(0.1)
    with pytest.raises(Alarm):
        nms.non_max_suppression_cv_per_class(boxes, scores, class_ids)
    # Without the checks the handler waited for the whole call, over a second.
    assert alarm.ran[0] - due < 0.5


FUNCTIONS = [
    fs.clear_stream_redis_keys,
    fs.FlowsweepManager.clear_stream_keys,
    nms.non_max_suppression_cv,
    mqtt.meta_info_to_publish,
]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_functions_pickle_and_copy_by_reference(function):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


def test_a_partial_of_a_function_runs_in_a_process_pool():
    job = functools.partial(nms.non_max_suppression_cv, [[0, 0, 10, 10], [1, 1, 10, 10]])
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.map(job, [[0.9, 0.8], [0.7, 0.95]]) == [[0], [1]]
