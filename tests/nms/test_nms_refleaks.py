import bad_calls
import nms_cases as cases
import leakcheck
import nalo_sdk.detection.nms as nms

NMS_IMPORTS = [
    ({}, None),
    ({"cv2": None}, "ModuleNotFoundError: import of cv2 halted; None in sys.modules"),
    ({"numpy": None}, "ModuleNotFoundError: import of numpy halted; None in sys.modules"),
    ({"typing": leakcheck.stand_in("typing", List=1)}, "ImportError: cannot import name Union"),
]

# NumPy and OpenCV are Debian's release builds: their reference counting does
# not keep the debug interpreter's total, so the loops run the functions
# against stand-in `np` and `cv2` globals written in Python (the real ones
# are looped in the release interpreter, tests/core/test_core_memory_loops.py).
test_bad_calls, test_scenarios, test_imports = leakcheck.module_tests(
    nms, bad_calls.NMS, cases.run, cases.FAKE, NMS_IMPORTS, loops=lambda scenario: 10
)
