import bad_calls
import flowsweep_cases as cases
import leakcheck
import nalo_sdk.redis.flowsweep as fs

# The endless walks go 250,000 levels deep before they fail, so one call per
# round has to do (a leak on that path grows every round all the same). The
# walk over a made-up table unwinds the same way and only takes longer.
FS_SLOW = {"visited_cleared_always"}
FS_LOOPED = [s for s in cases.ALL if s.__name__ != "endless_fresh_nodes"]


def test_failure_keeps_exception_state():
    def steps(manager):
        yield manager.clear_stream_keys()

    def run():
        wrapper = cases.FakeWrapper(scan=cases.raising(RuntimeError, "down"))
        gen = steps(fs.FlowsweepManager(wrapper, cases.FakeFlow({}), {"id": "a"}, "k"))
        try:
            raise ValueError("outer")
        except ValueError:
            assert next(gen) is False
        gen.close()

    fs.logger, saved = cases.FakeLogger(keep=False), fs.logger
    try:
        leakcheck.assert_no_leak(run)
    finally:
        fs.logger = saved


FS_IMPORTS = [
    ({}, None),
    (
        {"nalo_sdk.logging": leakcheck.stand_in("nalo_sdk.logging")},
        "ImportError: cannot import name get_logger",
    ),
    (
        {
            "nalo_sdk.logging": leakcheck.stand_in(
                "nalo_sdk.logging", get_logger=leakcheck.raising(OSError, "no log sink")
            )
        },
        "OSError: no log sink",
    ),
    (
        {"nalo_sdk.redis.utils": leakcheck.stand_in("nalo_sdk.redis.utils")},
        "ImportError: cannot import name gen_redis_key_local",
    ),
    (
        {"nalo_sdk.redis.utils": None},
        "ModuleNotFoundError: import of nalo_sdk.redis.utils halted; None in sys.modules",
    ),
    (
        {"typing": leakcheck.stand_in("typing", Any=1, Dict=2, Set=3)},
        "ImportError: cannot import name List",
    ),
]

test_bad_calls, test_scenarios, test_imports = leakcheck.module_tests(
    fs,
    bad_calls.FLOWSWEEP,
    cases.run,
    FS_LOOPED,
    FS_IMPORTS,
    loops=lambda scenario: 1 if scenario.__name__ in FS_SLOW else leakcheck.LOOPS,
)
