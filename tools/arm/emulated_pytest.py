"""Pytest plugin for the test runs under qemu-user (tools/arm/run-tests.sh).

Emulated code runs some 7 to 20 times slower than native, and unevenly
(translation of new code is slow, translated code is fast), so per-example
deadlines and the slow-data health check of hypothesis would fail tests for
the emulator's sake; examples and their count stay as they are natively.
"""

import os
import platform
import struct
import sys

from hypothesis import HealthCheck, settings

settings.register_profile(
    "emulated",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("emulated")


def pytest_report_header(config):
    return (
        f"target {os.environ.get('NALO_TARGET', '?')}: {platform.machine()}, "
        f"{struct.calcsize('P') * 8}-bit, interpreter {sys.executable}"
    )
