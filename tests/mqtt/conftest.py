import pytest


@pytest.fixture(scope="session")
def mu():
    import nalo_sdk.mqtt.utils as module

    return module
