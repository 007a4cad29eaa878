import sys

import pytest

import flowsweep_cases as cases
import flowsweep_model
import nalo_sdk.redis.flowsweep as native


@pytest.mark.parametrize("scenario", cases.EXACT, ids=lambda s: s.__name__)
def test_same_outcome_as_the_model(scenario):
    assert cases.run(native, scenario) == cases.run(flowsweep_model, scenario)


@pytest.mark.parametrize("scenario", cases.ENDLESS, ids=lambda s: s.__name__)
def test_endless_walks_raise_recursion_error(scenario):
    for mod in (native, flowsweep_model):
        outcome, lines = cases.run(mod, scenario)
        assert outcome[:2] == ("raised", "RecursionError"), mod
        assert lines == []


@pytest.mark.parametrize("scenario", cases.ENDLESS_CAUGHT, ids=lambda s: s.__name__)
def test_endless_walk_inside_the_cleanup_is_a_failed_attempt(scenario):
    outcome, lines = cases.run(native, scenario)
    assert outcome == ("returned", (False, False, []))
    assert [level for level, _ in lines] == ["info", "info", "error"]
    assert lines[-1][1].startswith("Failed to clear Redis keys: maximum recursion depth exceeded")


def test_failure_leaves_no_handled_exception_behind():
    mgr = native.FlowsweepManager(
        cases.FakeWrapper(scan=cases.raising(RuntimeError, "down")),
        cases.FakeFlow({}),
        {"id": "a"},
        "k",
    )
    seen = []

    log = cases.FakeLogger()
    log_error = log.error

    def error(msg):
        seen.append(sys.exception())
        log_error(msg)

    log.error = error

    def steps():
        yield mgr.clear_stream_keys()
        yield sys.exception()
        try:
            raise KeyError("later")
        except KeyError as error:
            yield error.__context__

    saved = native.logger
    native.logger = log
    try:
        gen = steps()
        try:
            raise ValueError("outer")
        except ValueError:
            assert next(gen) is False
            assert type(sys.exception()) is ValueError
        assert next(gen) is None
        assert next(gen) is None
        assert sys.exception() is None
    finally:
        native.logger = saved
    assert [type(e) for e in seen] == [RuntimeError]
