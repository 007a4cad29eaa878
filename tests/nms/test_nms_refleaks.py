"""Reference and memory leaks of the detection filtering, under Debian's debug interpreter
(`make test-refleaks`): both functions on their success paths and on their failure paths,
in loops; the total reference count and the live blocks must not grow."""

import pytest

import bad_calls
import nms_cases as cases
import leakcheck
import nalo_sdk.detection.nms as nms

leakcheck.require_debug_build(nms)

# NumPy and OpenCV are Debian's release builds: their reference counting does
# not keep the debug interpreter's total, so the loops run the functions
# against stand-in `np` and `cv2` globals written in Python (the real ones
# are looped in the release interpreter, tests/core/test_core_memory_loops.py).


@pytest.mark.parametrize("entry", bad_calls.NMS, ids=bad_calls.ids)
def test_bad_calls(entry):
    leakcheck.assert_no_leak(leakcheck.expect(TypeError, entry[3], bad_calls.call(nms, entry)))


@pytest.mark.parametrize("scenario", cases.FAKE, ids=lambda s: s.__name__)
def test_scenarios(scenario):
    leakcheck.assert_no_leak(lambda: cases.run(nms, scenario), loops=10)


NMS_IMPORTS = [
    ({}, None),
    ({"cv2": None}, "ModuleNotFoundError: import of cv2 halted; None in sys.modules"),
    ({"numpy": None}, "ModuleNotFoundError: import of numpy halted; None in sys.modules"),
    ({"typing": leakcheck.stand_in("typing", List=1)}, "ImportError: cannot import name Union"),
]


@pytest.mark.parametrize(
    "replaced, error", NMS_IMPORTS, ids=lambda v: v if isinstance(v, str) else ""
)
def test_imports(replaced, error):
    leakcheck.assert_import_errors_do_not_leak("nalo_sdk.detection.nms", replaced, error)
