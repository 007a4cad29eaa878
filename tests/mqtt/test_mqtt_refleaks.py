"""Reference and memory leaks of the MQTT utilities, under Debian's debug interpreter
(`make test-refleaks`): both functions on their success paths and on their failure paths,
in loops; the total reference count and the live blocks must not grow."""

import pytest

import bad_calls
import mqtt_cases as cases
import leakcheck
import nalo_sdk.mqtt.utils as mqtt

leakcheck.require_debug_build(mqtt)


@pytest.mark.parametrize("entry", bad_calls.MQTT, ids=bad_calls.ids)
def test_bad_calls(entry):
    leakcheck.assert_no_leak(leakcheck.expect(TypeError, entry[3], bad_calls.call(mqtt, entry)))


@pytest.mark.parametrize("scenario", cases.SCENARIOS, ids=lambda s: s.__name__)
def test_scenarios(scenario):
    leakcheck.assert_no_leak(lambda: cases.run(mqtt, scenario), loops=10)


def test_fast_paths():
    """The paths that skip Python calls: the module's own clock, exact str
    and int texts, exact float and int rounding."""

    def run():
        mqtt.gen_mqtt_key_local(12345)
        mqtt.gen_mqtt_key_local("cam1")
        mqtt.meta_info_to_publish("name", "id", 2**70, [1], "n", "t", 0.123456, "info")
        mqtt.meta_info_to_publish("é", 7, -1, None, infer_t=12)

    leakcheck.assert_no_leak(run)


MQTT_IMPORTS = [
    ({}, None),
    (
        {"nalo_sdk.constants": leakcheck.stand_in("nalo_sdk.constants", NODE_ID=1, NODE_TYPE=2)},
        "ImportError: cannot import name PREFIX",
    ),
    (
        {"nalo_sdk.constants": leakcheck.stand_in("nalo_sdk.constants", PREFIX=1, NODE_ID=1)},
        "ImportError: cannot import name NODE_TYPE",
    ),
    ({"time": None}, "ModuleNotFoundError: import of time halted; None in sys.modules"),
]


@pytest.mark.parametrize(
    "replaced, error", MQTT_IMPORTS, ids=lambda v: v if isinstance(v, str) else ""
)
def test_imports(replaced, error):
    leakcheck.assert_import_errors_do_not_leak("nalo_sdk.mqtt.utils", replaced, error)
