import pytest

from fakes import FakeLogger


@pytest.fixture
def fs():
    import nalo_sdk.redis.flowsweep as module

    return module


@pytest.fixture
def log(fs, monkeypatch):
    rec = FakeLogger()
    monkeypatch.setattr(fs, "logger", rec)
    return rec
