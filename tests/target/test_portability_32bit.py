import numpy as np
import cv2
import pytest

import nalo_sdk.detection.nms as nms
import nalo_sdk.mqtt.utils as mu
from nalo_sdk.constants import PREFIX

# Either side of the 32- and 64-bit boundaries.
WIDE_INTS = [
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32,
    2**32 + 1,
    2**63 - 1,
    2**63,
] + [-(2**63) - 1, 10**30]


@pytest.mark.parametrize("n", WIDE_INTS)
def test_integer_texts_are_not_narrowed(n):
    assert mu.gen_mqtt_key_local(n) == f"{PREFIX.MQTT.LOCAL}_{n}"
    payload = mu.meta_info_to_publish("name", n, n, infer_t=n)
    assert payload["source_key"] == f"{n}_{n}"
    assert payload["inference time(sec)"] == n


def test_non_ascii_node_ids_survive():
    # Bytes >= 0x80 are negative in a signed char, which ARM's char is not.
    for node_id in ["cam\u00e9ra", "\u00ff", "\u65e5\u672c", "\U0001f4f7", "a\x80b"]:
        assert mu.gen_mqtt_key_local(node_id) == f"{PREFIX.MQTT.LOCAL}_{node_id}"


def spread_boxes(n):
    return [[100 * i, 0, 10, 10] for i in range(n)]


@pytest.mark.parametrize(
    "class_ids",
    [
        # Ints above 2**31 hash differently on 32 and 64 bits, so the set of
        # classes, and with it the order of the groups, differ between them.
        [2**40, 7, 2**31 + 5, -(2**35), 2**61 - 1, 3],
        [2**40, float(2**40), 2**40 + 1, 5, 5.0, True, 1],
    ],
)
def test_per_class_groups_follow_this_interpreters_set_order(class_ids):
    n = len(class_ids)
    scores = [0.9 - 0.01 * i for i in range(n)]
    expected = []
    for cls in set(class_ids):
        expected += [i for i, c in enumerate(class_ids) if c == cls]
    assert nms.non_max_suppression_cv_per_class(spread_boxes(n), scores, class_ids) == expected


def test_coordinates_beyond_32_bits_are_not_truncated():
    # Truncated to 32 bits, the first box would land on the second and
    # suppress it.
    boxes = [[2**32 + 1000, 0, 10, 10], [1000, 0, 10, 10], [2**40, 2**33, 2**31, 2**31]]
    scores = [0.9, 0.8, 0.7]
    reference = cv2.dnn.NMSBoxes([np.array(b, dtype=np.float32) for b in boxes], scores, 0.5, 0.5)
    kept = nms.non_max_suppression_cv(boxes, scores, 0.5, 0.5)
    assert kept == np.array(reference).flatten().tolist() == [0, 1, 2]
