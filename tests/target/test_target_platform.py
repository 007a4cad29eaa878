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
    TARGET is None, reason="target-only: runs under qemu in make test-armhf/-arm1176/-arm64"
)

# Per port: multiarch triplet, pointer bits, platform.machine() prefix, ELF
# e_machine, and the EABI float-ABI flag of 32-bit ARM (None: no such flags).
EM_ARM = 40
EM_AARCH64 = 183
EF_ARM_ABI_FLOAT_SOFT = 0x200
EF_ARM_ABI_FLOAT_HARD = 0x400
PORTS = {
    "armhf": ("arm-linux-gnueabihf", 32, "armv", EM_ARM, EF_ARM_ABI_FLOAT_HARD),
    "armel": ("arm-linux-gnueabi", 32, "armv", EM_ARM, EF_ARM_ABI_FLOAT_SOFT),
    "arm64": ("aarch64-linux-gnu", 64, "aarch64", EM_AARCH64, None),
}
TRIPLET, BITS, MACHINE, EM, FLOAT_ABI = PORTS.get(TARGET, PORTS["armhf"])
EF_ARM_EABIMASK = 0xFF000000
EF_ARM_EABI_VER5 = 0x05000000

# Linux AT_HWCAP bits of 32-bit ARM and of AArch64.
AT_HWCAP = 16
HWCAP_VFP = 1 << 6
HWCAP_NEON = 1 << 12
HWCAP_VFPv3 = 1 << 13
HWCAP_VFPv4 = 1 << 16
HWCAP_IDIVA = 1 << 17
HWCAP64_FP, HWCAP64_ASIMD = 1 << 0, 1 << 1
HWCAP64_BEYOND_V8_0 = {
    "atomics": 1 << 8,
    "fphp": 1 << 9,
    "asimdhp": 1 << 10,
    "asimdrdm": 1 << 12,
    "jscvt": 1 << 13,
    "fcma": 1 << 14,
    "lrcpc": 1 << 15,
    "asimddp": 1 << 20,
    "sve": 1 << 22,
    "paca": 1 << 30,
}


def staged_modules():
    stage = pathlib.Path(os.environ.get("NALO_STAGE_DIR", "build/python"))
    return sorted(stage.rglob("*.so")) if TARGET else []


def hwcap():
    words = pathlib.Path("/proc/self/auxv").read_bytes()
    pairs = struct.iter_unpack("<II" if BITS == 32 else "<QQ", words)
    return next(value for key, value in pairs if key == AT_HWCAP)


def test_the_interpreter_is_the_ports():
    assert platform.machine().startswith(MACHINE)
    assert struct.calcsize("P") == struct.calcsize("n") == struct.calcsize("l") == BITS // 8
    assert sys.maxsize == 2 ** (BITS - 1) - 1
    assert sysconfig.get_config_var("MULTIARCH") == TRIPLET


@pytest.mark.skipif(TARGET != "armel", reason="only the armel userland runs on the ARM1176 model")
def test_armel_run_is_on_the_arm1176_model():
    # A run that silently fell back to qemu's default (ARMv7) model would
    # execute ARMv7 code that the boards cannot.
    assert platform.machine() == "armv6l"
    caps = hwcap()
    assert caps & HWCAP_VFP
    assert not caps & (HWCAP_NEON | HWCAP_VFPv3 | HWCAP_VFPv4 | HWCAP_IDIVA)


@pytest.mark.skipif(TARGET != "arm64", reason="the arm64 run is the one on the Cortex-A53 model")
def test_arm64_run_is_on_an_armv8_0_model():
    # On qemu's default model (max) the userland, and the outline-atomics
    # helpers in our modules, would take ARMv8.1+ paths that the oldest
    # 64-bit boards lack.
    caps = hwcap()
    assert caps & HWCAP64_FP and caps & HWCAP64_ASIMD
    assert [name for name, bit in HWCAP64_BEYOND_V8_0.items() if caps & bit] == []


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
    assert run.stdout.split() == [platform.machine(), str(BITS // 8)]


def test_every_compiled_module_is_built_for_the_target():
    modules = staged_modules()
    assert modules, "no compiled module in the staged build"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    elf_class = 1 if BITS == 32 else 2
    for path in modules:
        assert path.name.endswith(suffix) and TRIPLET in suffix, path
        header = path.read_bytes()[:64]
        assert header[:4] == b"\x7fELF" and header[4:6] == bytes([elf_class, 1]), path  # little
        (machine,) = struct.unpack_from("<H", header, 18)
        (flags,) = struct.unpack_from("<I", header, 36 if BITS == 32 else 48)
        assert machine == EM, path
        if FLOAT_ABI is None:
            assert flags == 0, path
        else:
            assert flags & EF_ARM_EABIMASK == EF_ARM_EABI_VER5, path
            assert flags & (EF_ARM_ABI_FLOAT_SOFT | EF_ARM_ABI_FLOAT_HARD) == FLOAT_ABI, path


@pytest.mark.parametrize("path", staged_modules(), ids=lambda p: p.name)
def test_the_suite_imports_the_staged_target_module(path):
    stage = pathlib.Path(os.environ["NALO_STAGE_DIR"])
    name = ".".join(path.relative_to(stage).parts[:-1] + (path.name.split(".")[0],))
    assert pathlib.Path(importlib.import_module(name).__file__).resolve() == path.resolve()
