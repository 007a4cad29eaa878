import gc
import importlib
import os
import sys
import types

import pytest

import bad_calls
from fakes import raising  # noqa: F401 (for the import tables)

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Calls per measured round; a leak of one reference per call shows as this
# many. Several rounds, because caches fill once and then stay.
LOOPS = int(os.environ.get("NALO_LEAK_LOOPS", "30"))
ROUNDS = 3


def deltas(fn, loops=LOOPS, rounds=ROUNDS, warmup=2):
    refs = [0] * rounds
    blocks = [0] * rounds
    for _ in range(warmup):
        for _ in range(loops):
            fn()
    for r in range(rounds):
        gc.collect()
        refs_before = sys.gettotalrefcount()
        blocks_before = sys.getallocatedblocks()
        for _ in range(loops):
            fn()
        gc.collect()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks()
        refs[r] = refs_after - refs_before
        blocks[r] = blocks_after - blocks_before
    return refs, blocks


def assert_no_leak(fn, loops=LOOPS, check_refs=True, check_blocks=True):
    refs, blocks = deltas(fn, loops)
    leaked = []
    if check_refs and all(d > 0 for d in refs):
        leaked.append(f"references grew by {refs} over {loops} calls per round")
    if check_blocks and all(d > 0 for d in blocks):
        leaked.append(f"live blocks grew by {blocks} over {loops} calls per round")
    assert not leaked, "; ".join(leaked)


def require_debug_build(module):
    if not DEBUG_BUILD:
        pytest.skip("needs the debug interpreter: make test-refleaks", allow_module_level=True)
    assert module.__file__.endswith(".cpython-311d-x86_64-linux-gnu.so"), module.__file__


def expect(exc_type, message, call):
    def run():
        try:
            call()
        except exc_type as error:
            return str(error)
        raise AssertionError("no error")

    assert run() == message
    return run


def reimport(name, replaced):
    parent_name, _, child = name.rpartition(".")
    parent = sys.modules[parent_name]
    saved = {n: sys.modules.get(n) for n in [name, *replaced]}
    saved_attr = getattr(parent, child, None)
    try:
        del sys.modules[name]
        sys.modules.update(replaced)
        try:
            importlib.import_module(name)
        except Exception as error:  # noqa: BLE001 - the error is the result
            return error
        return None
    finally:
        for n, module in saved.items():
            if module is None:
                sys.modules.pop(n, None)
            else:
                sys.modules[n] = module
        setattr(parent, child, saved_attr)


def stand_in(name, **attrs):
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    return module


def assert_import_errors_do_not_leak(name, replaced, error):
    def run():
        got = reimport(name, replaced)
        assert (got and f"{type(got).__name__}: {got}") == error

    # Live blocks are no measure here: re-importing any module with
    # multi-phase initialisation, the standard library's own (_queue, array)
    # included, leaves a few blocks behind in the interpreter's import
    # machinery. References do not grow for them, and must not for ours.
    assert_no_leak(run, loops=10, check_blocks=False)


def module_tests(module, bad, run, scenarios, imports, loops=lambda scenario: LOOPS):
    require_debug_build(module)

    @pytest.mark.parametrize("entry", bad, ids=bad_calls.ids)
    def test_bad_calls(entry):
        assert_no_leak(expect(TypeError, entry[3], bad_calls.call(module, entry)))

    @pytest.mark.parametrize("scenario", scenarios, ids=lambda s: s.__name__)
    def test_scenarios(scenario):
        assert_no_leak(lambda: run(module, scenario), loops=loops(scenario))

    @pytest.mark.parametrize(
        "replaced, error", imports, ids=lambda v: v if isinstance(v, str) else ""
    )
    def test_imports(replaced, error):
        assert_import_errors_do_not_leak(module.__name__, replaced, error)

    return test_bad_calls, test_scenarios, test_imports
