"""The module as a whole: what loading binds, the function objects, and how
bad calls are refused (which check comes first, with which message)."""

import importlib.util
import inspect
import sys

import numpy as np
import pytest

from nms_support import CountingNumpy

STANDARD = "non_max_suppression_cv"
PER_CLASS = "non_max_suppression_cv_per_class"
BOX = [[0, 0, 10, 10]]


def test_module_globals_in_load_order(nms):
    import cv2
    import typing

    names = [n for n in vars(nms) if not n.startswith("__")]
    assert names == ["cv2", "np", "List", "Union", STANDARD, PER_CLASS]
    assert nms.cv2 is cv2 and nms.np is np
    assert nms.List is typing.List and nms.Union is typing.Union
    assert not hasattr(nms, "__all__")
    doc = nms.__doc__
    assert doc.startswith("Non-Maximum Suppression utilities for object detection.\n\n")
    assert doc.endswith("\n") and "sleeve containing cards" in doc


@pytest.mark.parametrize(
    "name, annotations, first_line",
    [
        (STANDARD,
         {"boxes": "List[List[float]]", "scores": "List[float]", "score_threshold": "float",
          "iou_threshold": "float", "return": "List[int]"},
         "Apply Non-Maximum Suppression using OpenCV's cv2.dnn.NMSBoxes."),
        (PER_CLASS,
         {"boxes": "List[List[float]]", "scores": "List[float]",
          "class_ids": "List[Union[int, str]]", "score_threshold": "float",
          "iou_threshold": "float", "return": "List[int]"},
         "Apply NMS independently for each class."),
    ],
)
def test_function_objects(nms, name, annotations, first_line):
    fn = getattr(nms, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "nalo_sdk.detection.nms"
    assert fn.__defaults__ == (0.5, 0.5) and all(type(d) is float for d in fn.__defaults__)
    assert fn.__kwdefaults__ is None
    assert list(fn.__annotations__.items()) == list(annotations.items())
    params = list(inspect.signature(fn).parameters.values())
    assert [p.name for p in params] == [k for k in annotations if k != "return"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    doc = fn.__doc__
    assert doc.split("\n")[0] == first_line
    assert doc.endswith("\n    ")
    lines = doc.split("\n")[1:-1]
    assert all(line == "" or line.startswith("    ") for line in lines)
    for section in ("Args:", "Returns:", "Example:"):
        assert "    " + section in lines


def test_docstring_examples_show_what_the_functions_return(nms):
    # The standard example keeps boxes 0 and 2, box 2 first (higher score).
    assert "[2, 0]" in nms.non_max_suppression_cv.__doc__
    assert "[0, 2]" not in nms.non_max_suppression_cv.__doc__
    assert "[0, 2]" in nms.non_max_suppression_cv_per_class.__doc__


@pytest.mark.parametrize(
    "fn_name, args, kwargs, message",
    [
        (STANDARD, (BOX, [0.9], 0.5, 0.5, 1), {},
         "non_max_suppression_cv() takes at most 4 positional arguments (5 given)"),
        (STANDARD, (BOX,), {},
         "non_max_suppression_cv() takes at least 2 positional arguments (1 given)"),
        (PER_CLASS, (BOX, [0.9]), {},
         "non_max_suppression_cv_per_class() takes at least 3 positional arguments (2 given)"),
        (PER_CLASS, (BOX, [0.9], [1], 0.5, 0.5, 0), {},
         "non_max_suppression_cv_per_class() takes at most 5 positional arguments (6 given)"),
        (STANDARD, (BOX, [0.9]), {"nms_threshold": 0.5},
         "non_max_suppression_cv() got an unexpected keyword argument 'nms_threshold'"),
        (STANDARD, (BOX, [0.9]), {"boxes": BOX},
         "non_max_suppression_cv() got multiple values for keyword argument 'boxes'"),
        # Thresholds are converted before any list is tested.
        (STANDARD, ((1, 2), [0.9], "0.5"), {}, "must be real number, not str"),
        (STANDARD, (None, None), {"score_threshold": None, "iou_threshold": "x"},
         "must be real number, not NoneType"),
        (STANDARD, (BOX, [0.9], 0.5, []), {}, "must be real number, not list"),
        (PER_CLASS, ((), (), (), 0.5, "x"), {}, "must be real number, not str"),
        # Then boxes, scores, class_ids, in that order.
        (STANDARD, ((1,), (0.9,)), {},
         "Argument 'boxes' has incorrect type (expected list, got tuple)"),
        (STANDARD, (None, [0.9]), {},
         "Argument 'boxes' has incorrect type (expected list, got NoneType)"),
        (STANDARD, (np.zeros((1, 4)), [0.9]), {},
         "Argument 'boxes' has incorrect type (expected list, got numpy.ndarray)"),
        (STANDARD, ([], (0.9,)), {},
         "Argument 'scores' has incorrect type (expected list, got tuple)"),
        (PER_CLASS, (BOX, None, None), {},
         "Argument 'scores' has incorrect type (expected list, got NoneType)"),
        (PER_CLASS, ([], [], (1,)), {},
         "Argument 'class_ids' has incorrect type (expected list, got tuple)"),
    ],
)
def test_bad_calls(nms, fn_name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(nms, fn_name)(*args, **kwargs)
    assert str(caught.value) == message


def test_list_subclass_is_refused(nms):
    class Boxes(list):
        pass

    with pytest.raises(TypeError, match=r"expected list, got Boxes"):
        nms.non_max_suppression_cv(Boxes(BOX), [0.9])


def fresh_instance():
    """A new instance of the extension module, executed now."""
    module_spec = importlib.util.find_spec("nalo_sdk.detection.nms")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "missing, error, message",
    [
        (["cv2", "numpy"], ImportError, "import of cv2 halted; None in sys.modules"),
        (["numpy"], ImportError, "import of numpy halted; None in sys.modules"),
        (["typing.Union"], ImportError, "cannot import name Union"),
        (["typing.List", "typing.Union"], ImportError, "cannot import name List"),
    ],
)
def test_failing_imports_at_load(monkeypatch, missing, error, message):
    import typing

    for name in missing:
        if name.startswith("typing."):
            monkeypatch.delattr(typing, name.split(".")[1])
        else:
            monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(error) as caught:
        fresh_instance()
    assert str(caught.value) == message


def test_direct_call_reads_the_globals_of_the_function_found(nms):
    other = fresh_instance()
    counting = CountingNumpy()
    other.np = counting
    nms.non_max_suppression_cv = other.non_max_suppression_cv
    boxes = [[0, 0, 10, 10], [1, 1, 10, 10], [40, 40, 5, 5]]
    assert nms.non_max_suppression_cv_per_class(boxes, [0.9, 0.8, 0.7], [1, 1, 2]) == [0, 2]
    assert [args[0] for args, _ in counting.array_calls if len(args[0]) == 4] == boxes
