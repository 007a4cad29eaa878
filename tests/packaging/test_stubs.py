"""The compiled modules' stubs carry the modules' own docstrings, which
editors show in place of the compiled code's; stubtest checks the rest."""

import ast
import importlib
import pathlib

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src" / "nalo_sdk"


def documented(tree, prefix=""):
    """(qualified name, docstring) of the module and every class and
    function in ``tree`` that has one in the stub."""
    if isinstance(tree, ast.Module):
        yield "", ast.get_docstring(tree, clean=False)
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            name = prefix + node.name
            doc = ast.get_docstring(node, clean=False)
            if doc is not None:
                yield name, doc
            if isinstance(node, ast.ClassDef):
                yield from documented(node, name + ".")


@pytest.mark.parametrize("module", ["nalo_sdk.redis.flowsweep", "nalo_sdk.detection.nms"])
def test_stub_docstrings_are_the_modules_own(module):
    stub = SOURCE.joinpath(*module.split(".")[1:]).with_suffix(".pyi")
    runtime = importlib.import_module(module)
    for name, doc in documented(ast.parse(stub.read_text())):
        target = runtime
        for part in filter(None, name.split(".")):
            target = getattr(target, part)
        assert doc == target.__doc__, f"{module} {name or '(module)'}: the stub's docstring differs"
