import importlib

import pytest


def restored(name):
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
    yield from restored("nms_model")
