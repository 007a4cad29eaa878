#!/usr/bin/env bash
# Builds the board's wheel, nalo_sdk-<version>-cp311-cp311-linux_armv6l.whl,
# from the project's own build backend (meson-python) and the armhf cross
# file, then runs the instruction-set gate on the modules inside it.
#
#   tools/arm/wheel.sh [WORK_DIR] [DIST_DIR]     (default build/armhf/wheel, dist)
#
# meson-python accepts only extension modules of the interpreter that runs
# it, so it runs under the emulated armhf interpreter (it is pure Python; the
# meson, ninja and compilers that it starts are host programs). The platform
# tag comes from _PYTHON_HOST_PLATFORM: the interpreter would say armv7l,
# qemu's CPU, while the code inside is ARMv6.
set -euo pipefail

. "$(dirname "$0")/targets.sh"
arm_target armhf
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(realpath -m "${1:-$root/build/armhf/wheel}")
dist=$(realpath -m "${2:-$root/dist}")
python=$arm_python
cross=$arm_cross
[ -x "$python" ] || { echo "no armhf sysroot: run tools/arm/sysroot.sh armhf" >&2; exit 1; }

# meson-python builds inside the source directory and leaves its build
# directory there: work on a copy of the tree as it stands (committed or not).
rm -rf "$work"
mkdir -p "$work/src" "$work/out" "$dist"
tar -C "$root" --exclude=./.git --exclude=./build --exclude=./build-* --exclude=./dist \
    --exclude=__pycache__ --exclude=.hypothesis --exclude=.pytest_cache -cf - . | tar -C "$work/src" -xf -

cd "$work/src"
wheel=$(_PYTHON_HOST_PLATFORM=linux-armv6l "$python" -c '
import sys
import mesonpy
print(mesonpy.build_wheel(sys.argv[1], {"setup-args": sys.argv[2:]}))
' "$work/out" "--cross-file=$cross" -Darmv6_crt=true | tail -1)
case "$wheel" in
  *-cp311-cp311-linux_armv6l.whl) ;;
  *) echo "unexpected wheel name: $wheel" >&2; exit 1 ;;
esac

# The modules as shipped must pass the gate too.
mkdir -p "$work/unpacked"
/usr/bin/python3.11 -m zipfile -e "$work/out/$wheel" "$work/unpacked"
mapfile -t modules < <(find "$work/unpacked" -name '*.so' | sort)
[ ${#modules[@]} -gt 0 ] || { echo "no compiled module in $wheel" >&2; exit 1; }
"$root/tools/arm/check-armv6.sh" --float-abi "$float_abi" "${modules[@]}"
grep -qx 'Tag: cp311-cp311-linux_armv6l' "$work"/unpacked/*.dist-info/WHEEL ||
  { echo "wrong tag in the wheel's WHEEL file" >&2; exit 1; }
# And they load in the target interpreter, next to its numpy and OpenCV.
(cd / && PYTHONPATH=$work/unpacked "$python" -c '
import nalo_sdk.detection.nms, nalo_sdk.mqtt.utils, nalo_sdk.redis.flowsweep
print("imports ok:", nalo_sdk.detection.nms.non_max_suppression_cv([[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]], [0.9, 0.8, 0.95], 0.5, 0.3))')
cp "$work/out/$wheel" "$dist/"
echo "$dist/$wheel"
