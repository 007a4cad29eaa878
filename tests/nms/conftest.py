"""Fixtures of the NMS tests."""

import importlib

import pytest

from nms_support import Plain


@pytest.fixture
def nms():
    """The module; every global a test rebinds is put back afterwards."""
    module = importlib.import_module("nalo_sdk.detection.nms")
    saved = dict(vars(module))
    yield module
    for name in list(vars(module)):
        if name not in saved:
            delattr(module, name)
    for name, value in saved.items():
        setattr(module, name, value)


@pytest.fixture
def plain():
    return Plain()
