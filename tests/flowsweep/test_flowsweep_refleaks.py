"""Reference and memory leaks of the stream cleanup, under Debian's debug interpreter
(`make test-refleaks`): every callable on its success paths and on its failure paths,
in loops; the total reference count and the live blocks must not grow."""

import pytest

import bad_calls
import flowsweep_cases as cases
import leakcheck
import nalo_sdk.redis.flowsweep as fs

leakcheck.require_debug_build(fs)


@pytest.mark.parametrize("entry", bad_calls.FLOWSWEEP, ids=bad_calls.ids)
def test_bad_calls(entry):
    leakcheck.assert_no_leak(leakcheck.expect(TypeError, entry[3], bad_calls.call(fs, entry)))


# The endless walks go 250,000 levels deep before they fail, so one call per
# round has to do (a leak on that path grows every round all the same). The
# walk over a made-up table unwinds the same way and only takes longer.
FS_SLOW = {"visited_cleared_always"}
FS_LOOPED = [s for s in cases.ALL if s.__name__ != "endless_fresh_nodes"]


@pytest.mark.parametrize("scenario", FS_LOOPED, ids=lambda s: s.__name__)
def test_scenarios(scenario):
    loops = 1 if scenario.__name__ in FS_SLOW else leakcheck.LOOPS
    leakcheck.assert_no_leak(lambda: cases.run(fs, scenario), loops=loops)


def test_failure_keeps_exception_state():
    """The handled exception is set and restored around the error line, here
    in a generator that runs inside a caller's except block."""

    def steps(manager):
        yield manager.clear_stream_keys()

    def run():
        wrapper = cases.Wrapper(scan=lambda p: cases._raise(RuntimeError("down")))
        gen = steps(fs.FlowsweepManager(wrapper, cases.Flow({}), {"id": "a"}, "k"))
        try:
            raise ValueError("outer")
        except ValueError:
            assert next(gen) is False
        gen.close()

    fs.logger, saved = cases.NullLogger(), fs.logger
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


@pytest.mark.parametrize(
    "replaced, error", FS_IMPORTS, ids=lambda v: v if isinstance(v, str) else ""
)
def test_imports(replaced, error):
    leakcheck.assert_import_errors_do_not_leak("nalo_sdk.redis.flowsweep", replaced, error)
