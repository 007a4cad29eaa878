import bad_calls
import mqtt_cases as cases
import leakcheck
import nalo_sdk.mqtt.utils as mqtt


def test_fast_paths():
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

test_bad_calls, test_scenarios, test_imports = leakcheck.module_tests(
    mqtt, bad_calls.MQTT, cases.run, cases.SCENARIOS, MQTT_IMPORTS, loops=lambda scenario: 10
)
