"""Fixtures of the NMS tests."""

import importlib

import pytest


def restored(name):
    """Module `name`; every global a test rebinds is put back afterwards."""
    module = importlib.import_module(name)
    saved = dict(vars(module))
    yield module
    for key in list(vars(module)):
        if key not in saved:
            delattr(module, key)
    for key, value in saved.items():
        setattr(module, key, value)


@pytest.fixture
def nms():
    yield from restored("nalo_sdk.detection.nms")


@pytest.fixture
def plain():
    """The plain-Python model of the module (tests/support/nms_model.py)."""
    yield from restored("nms_model")
