#!/usr/bin/env bash
# Builds a board's wheel from the project's own build backend (meson-python)
# and the port's cross file, then runs the port's instruction-set gate on the
# modules inside it:
#   armhf  nalo_sdk-<version>-cp311-cp311-linux_armv6l.whl   (ARMv6 boards)
#   arm64  nalo_sdk-<version>-cp311-cp311-linux_aarch64.whl  (64-bit boards)
# (cp313 with DEBIAN=13). armel is a test-only build and has no wheel.
#
#   [DEBIAN=12|13] tools/arm/wheel.sh armhf|arm64 [WORK_DIR] [DIST_DIR]
#                                  (default build/ARCH[-debian13]/wheel, dist)
#
# meson-python accepts only extension modules of the interpreter that runs
# it, so it runs under the emulated target interpreter (it is pure Python; the
# meson, ninja and compilers that it starts are host programs). The platform
# tag comes from _PYTHON_HOST_PLATFORM: on armhf the interpreter would say
# armv7l, qemu's CPU, while the code inside is ARMv6.
set -euo pipefail

. "$(dirname "$0")/targets.sh"
if ! arm_target "${1:-}" || [ -z "$wheel_platform" ]; then
  echo "usage: [DEBIAN=12|13] $0 armhf|arm64 [WORK_DIR] [DIST_DIR]" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(realpath -m "${2:-$root/$arm_build/wheel}")
dist=$(realpath -m "${3:-$root/dist}")
python=$arm_python
cross=$arm_cross
tag=cp${py_version/./}-cp${py_version/./}-$wheel_platform
[ -x "$python" ] || { echo "no $arch sysroot: run DEBIAN=$debian tools/arm/sysroot.sh $arch" >&2; exit 1; }

# meson-python builds inside the source directory and leaves its build
# directory there: work on a copy of the tree as it stands (committed or not).
rm -rf "$work"
mkdir -p "$work/src" "$work/out" "$dist"
tar -C "$root" --exclude=./.git --exclude=./build --exclude=./build-* --exclude=./dist \
    --exclude=__pycache__ --exclude=.hypothesis --exclude=.pytest_cache --exclude=.mypy_cache -cf - . | tar -C "$work/src" -xf -

cd "$work/src"
wheel=$(_PYTHON_HOST_PLATFORM=${wheel_platform/_/-} "$python" -c '
import sys
import mesonpy
print(mesonpy.build_wheel(sys.argv[1], {"setup-args": sys.argv[2:]}))
' "$work/out" "--cross-file=$cross" -Darmv6_crt="$armv6_crt" | tail -1)
case "$wheel" in
  *-"$tag".whl) ;;
  *) echo "unexpected wheel name: $wheel (expected the tag $tag)" >&2; exit 1 ;;
esac

# The modules as shipped must pass the gate too.
mkdir -p "$work/unpacked"
/usr/bin/python3.11 -m zipfile -e "$work/out/$wheel" "$work/unpacked"
mapfile -t modules < <(find "$work/unpacked" -name '*.so' | sort)
[ ${#modules[@]} -gt 0 ] || { echo "no compiled module in $wheel" >&2; exit 1; }
"${gate[@]}" "${modules[@]}"
grep -qx "Tag: $tag" "$work"/unpacked/*.dist-info/WHEEL ||
  { echo "wrong tag in the wheel's WHEEL file" >&2; exit 1; }
# And they load in the target interpreter, next to its numpy and OpenCV.
(cd / && PYTHONPATH=$work/unpacked "$python" -c '
import nalo_sdk.detection.nms, nalo_sdk.mqtt.utils, nalo_sdk.redis.flowsweep
print("imports ok:", nalo_sdk.detection.nms.non_max_suppression_cv([[10, 10, 50, 50], [15, 15, 50, 50], [100, 100, 30, 30]], [0.9, 0.8, 0.95], 0.5, 0.3))')
cp "$work/out/$wheel" "$dist/"
echo "$dist/$wheel"
