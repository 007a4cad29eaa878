#!/usr/bin/env bash
# Cross-builds every extension module of the meson project for an ARM target
# and stages the importable package, then runs the port's instruction-set gate
# on every compiled module. Needs tools/arm/sysroot.sh ARCH (same DEBIAN) to
# have run.
#
#   [DEBIAN=12|13] tools/arm/build.sh armhf|armel|arm64 [BUILD_DIR]
#                                  (default build/ARCH, build/ARCH-debian13)
#
# armhf is the ARMv6 boards' artifact (hard-float, our start-file stand-in
# instead of the toolchain's ARMv7 ones); armel is the same sources for the
# soft-float ABI, whose userland runs on qemu's ARM1176 model; arm64 is the
# 64-bit boards' artifact (ARMv8.0-A).
set -euo pipefail

. "$(dirname "$0")/targets.sh"
arm_target "${1:-}" || { echo "usage: [DEBIAN=12|13] $0 armhf|armel|arm64 [BUILD_DIR]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(realpath -m "${2:-$root/$arm_build}")
meson_dir=$build_dir/meson
stage=$build_dir/python
# NALO_ARM_CROSS: another cross file (build-without-userland.sh).
cross=${NALO_ARM_CROSS:-$arm_cross}
[ -f "$cross" ] || { echo "no cross file $cross: run DEBIAN=$debian tools/arm/sysroot.sh $arch" >&2; exit 1; }

cd "$root"
# A changed cross file (new sysroot location, flags) needs a fresh configure.
if [ ! -f "$meson_dir/build.ninja" ] || [ "$cross" -nt "$meson_dir/build.ninja" ]; then
  wipe=()
  [ -d "$meson_dir/meson-private" ] && wipe=(--wipe)
  meson setup "${wipe[@]}" "$meson_dir" --cross-file "$cross" -Darmv6_crt="$armv6_crt" \
    -Dpython.platlibdir="$stage" -Dpython.purelibdir="$stage"
fi
meson compile -C "$meson_dir"
rm -rf "$stage"
meson install -C "$meson_dir" --quiet --no-rebuild

# No header of the host may have gone into a target object: the host's
# pyconfig.h and NumPy's _numpyconfig.h describe a 64-bit x86 machine with
# Python 3.11 (8-byte long, Py_ssize_t and npy_intp), and code compiled
# against them would misread every structure of a 32-bit interpreter, or of
# another Python version, without any error.
leaks=$(ninja -C "$meson_dir" -t deps | grep -E '^ +/usr/(local/)?include/|^ +/usr/lib/python3' | sort -u || true)
if [ -n "$leaks" ]; then
  echo "host headers used by the $arch build:" >&2
  echo "$leaks" >&2
  exit 1
fi

# Every extension module that the project defines must have been built with the
# target's suffix, and every one must pass the gate.
suffix=$ext_suffix
expected=$(meson introspect --targets "$meson_dir" |
  /usr/bin/python3.11 -c 'import json, sys; print(sum(t["type"] == "shared module" for t in json.load(sys.stdin)))')
mapfile -t modules < <(find "$stage" -name '*.so' | sort)
wrong=$(printf '%s\n' "${modules[@]}" | grep -v -- "$suffix\$" || true)
if [ -n "$wrong" ] || [ "${#modules[@]}" -ne "$expected" ]; then
  echo "expected $expected modules named *$suffix in $stage, found:" >&2
  printf '  %s\n' "${modules[@]}" >&2
  exit 1
fi
"${gate[@]}" "${modules[@]}"
