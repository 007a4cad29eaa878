import importlib
import os
import pathlib
import platform
import struct
import subprocess
import sys
import sysconfig

import pytest

TARGET = os.environ.get("NALO_TARGET")
pytestmark = pytest.mark.skipif(
    TARGET is None, reason="target-only: runs under qemu in make test-armhf / make test-arm1176"
)

TRIPLETS = {"armhf": "arm-linux-gnueabihf", "armel": "arm-linux-gnueabi"}

# ELF header fields of a 32-bit little-endian ARM EABI5 object.
EM_ARM = 40
EF_ARM_EABIMASK = 0xFF000000
EF_ARM_EABI_VER5 = 0x05000000
EF_ARM_ABI_FLOAT_SOFT = 0x200
EF_ARM_ABI_FLOAT_HARD = 0x400

# Linux AT_HWCAP bits of 32-bit ARM.
AT_HWCAP = 16
HWCAP_VFP = 1 << 6
HWCAP_NEON = 1 << 12
HWCAP_VFPv3 = 1 << 13
HWCAP_VFPv4 = 1 << 16
HWCAP_IDIVA = 1 << 17


def staged_modules():
    stage = pathlib.Path(os.environ.get("NALO_STAGE_DIR", "build/python"))
    return sorted(stage.rglob("*.so")) if TARGET else []


def hwcap():
    words = pathlib.Path("/proc/self/auxv").read_bytes()
    pairs = struct.iter_unpack("<II", words)
    return next(value for key, value in pairs if key == AT_HWCAP)


def test_the_interpreter_is_32_bit_arm():
    assert platform.machine().startswith("armv")
    assert struct.calcsize("P") == struct.calcsize("n") == struct.calcsize("l") == 4
    assert sys.maxsize == 2**31 - 1
    assert sysconfig.get_config_var("MULTIARCH") == TRIPLETS[TARGET]


@pytest.mark.skipif(TARGET != "armel", reason="only the armel userland runs on the ARM1176 model")
def test_armel_run_is_on_the_arm1176_model():
    # A run that silently fell back to qemu's default (ARMv7) model would
    # execute ARMv7 code that the boards cannot.
    assert platform.machine() == "armv6l"
    caps = hwcap()
    assert caps & HWCAP_VFP
    assert not caps & (HWCAP_NEON | HWCAP_VFPv3 | HWCAP_VFPv4 | HWCAP_IDIVA)


def test_child_interpreters_run_on_the_same_target():
    # Several tests start a child interpreter through sys.executable.
    run = subprocess.run(
        [
            sys.executable,
            "-c",
            "import platform, struct; print(platform.machine(), struct.calcsize('P'))",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    assert run.stdout.split() == [platform.machine(), "4"]


def test_every_compiled_module_is_built_for_the_target():
    modules = staged_modules()
    assert modules, "no compiled module in the staged build"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    float_abi = EF_ARM_ABI_FLOAT_HARD if TARGET == "armhf" else EF_ARM_ABI_FLOAT_SOFT
    for path in modules:
        assert path.name.endswith(suffix) and TRIPLETS[TARGET] in suffix, path
        header = path.read_bytes()[:52]
        assert (
            header[:4] == b"\x7fELF" and header[4] == 1 and header[5] == 1
        ), path  # 32-bit, little
        (machine,) = struct.unpack_from("<H", header, 18)
        (flags,) = struct.unpack_from("<I", header, 36)
        assert machine == EM_ARM, path
        assert flags & EF_ARM_EABIMASK == EF_ARM_EABI_VER5, path
        assert flags & (EF_ARM_ABI_FLOAT_SOFT | EF_ARM_ABI_FLOAT_HARD) == float_abi, path


@pytest.mark.parametrize("path", staged_modules(), ids=lambda p: p.name)
def test_the_suite_imports_the_staged_target_module(path):
    stage = pathlib.Path(os.environ["NALO_STAGE_DIR"])
    name = ".".join(path.relative_to(stage).parts[:-1] + (path.name.split(".")[0],))
    assert pathlib.Path(importlib.import_module(name).__file__).resolve() == path.resolve()
