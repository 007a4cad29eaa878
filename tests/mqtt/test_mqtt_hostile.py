import pytest

import mqtt_cases as cases
import mqtt_model
import nalo_sdk.mqtt.utils as native


@pytest.mark.parametrize("scenario", cases.SCENARIOS, ids=lambda s: s.__name__)
def test_same_outcome_as_the_model(scenario):
    assert cases.run(native, scenario) == cases.run(mqtt_model, scenario)
