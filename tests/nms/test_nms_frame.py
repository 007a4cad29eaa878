import importlib.util
import inspect
import sys

import numpy as np
import pytest

from fakes import CountingNumpy

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
        (
            STANDARD,
            {
                "boxes": "List[List[float]]",
                "scores": "List[float]",
                "score_threshold": "float",
                "iou_threshold": "float",
                "return": "List[int]",
            },
            "Apply Non-Maximum Suppression using OpenCV's cv2.dnn.NMSBoxes.",
        ),
        (
            PER_CLASS,
            {
                "boxes": "List[List[float]]",
                "scores": "List[float]",
                "class_ids": "List[Union[int, str]]",
                "score_threshold": "float",
                "iou_threshold": "float",
                "return": "List[int]",
            },
            "Apply NMS independently for each class.",
        ),
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


def fresh_instance():
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
