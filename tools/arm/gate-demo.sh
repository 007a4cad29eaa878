#!/usr/bin/env bash
# Shows that the instruction-set gate (check-armv6.sh) refuses what it must
# and accepts our build, on a small probe module (gate-probe/) built several
# ways with the target's cross compiler. Fails when any outcome differs.
#
#   tools/arm/gate-demo.sh armhf|armel [OUT_DIR]    (default build/ARCH/gate-demo)
#
# armhf: Debian's default flags (ARMv7, Thumb-2, VFPv3-D16), our ARMv6 flags
# without the start-file stand-in (the toolchain's ARMv7 crtbeginS.o gets in)
# and our recipe with one ARMv7 instruction in inline assembly (which no
# build attribute records) must all fail; our recipe must pass and run.
# armel: on top of the static verdicts, each build is run on qemu's ARM1176
# model: the ARMv7, VFPv3 and inline-ARMv7 builds must die of SIGILL there (while running
# on qemu's default model), ours must run. This is the dynamic proof that the
# gate's verdict matches what the boards' CPU does.
# Both: our build, loaded as a plain shared object and unloaded, must run its
# static destructor at the unload, which is the start-file stand-in's job.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/targets.sh"
arm_target "${1:-}" || { echo "usage: $0 armhf|armel [OUT_DIR]" >&2; exit 2; }
root=$(cd "$here/../.." && pwd)
out=$(realpath -m "${2:-$root/build/$arch/gate-demo}")
sysroot=$arm_sysroot
python=$arm_python
[ -x "$python" ] || { echo "no $arch sysroot: run tools/arm/sysroot.sh $arch" >&2; exit 1; }
suffix=$ext_suffix
ours=("-march=$ARM_MARCH" -mfpu=vfp "-mfloat-abi=$float_abi" -marm)
common=(-std=c++20 -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Wno-psabi
        -I"$sysroot/usr/include/python3.11" -idirafter "$sysroot/usr/include")

mkdir -p "$out"
"$triplet-gcc" "${ours[@]}" -O2 -fPIC -c "$here/armv6-crt.c" -o "$out/armv6-crt.o"

# build NAME FLAGS... : one variant of the probe in its own directory
build() {
  local name=$1; shift
  mkdir -p "$out/$name"
  "$triplet-g++" "${common[@]}" "$@" -shared "$here/gate-probe/gate_probe.cpp" \
    -o "$out/$name/gate_probe$suffix"
}

# run NAME CPU : imports and calls the variant on the given CPU model; prints
# "ok" or how it died
run() {
  local rc=0
  PYTHONPATH=$out/$1 QEMU_CPU=$2 "$python" -c \
    'import gate_probe; r = gate_probe.run(4.0); assert r == (3.0, (3 << 40) // 4 + 0, 1), r' \
    > "$out/$1/run-$2.log" 2>&1 || rc=$?
  case $rc in
    0) echo ok ;;
    132) echo SIGILL ;;
    *) echo "exit $rc" ;;
  esac
}

# unload NAME CPU : loads the variant as a plain shared object and unloads it;
# its static destructor must run at the unload, not at exit (when the code
# would be gone already)
unload() {
  local got
  got=$(QEMU_CPU=$2 "$python" -c '
import _ctypes, ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
_ctypes.dlclose(lib._handle)
print("after dlclose", flush=True)' "$out/$1/gate_probe$suffix" 2>&1 | tr '\n' '|' || true)
  if [ "$got" = "static destructor ran|after dlclose|" ]; then echo ok; else echo "wrong: $got"; fi
}

failures=0
# expect NAME GATE(pass|fail) [CPU=OUTCOME]...
expect() {
  local name=$1 want_gate=$2 verdict gate line
  shift 2
  if verdict=$("$here/check-armv6.sh" --float-abi "$float_abi" "$out/$name/gate_probe$suffix"); then
    gate=pass
  else
    gate=fail
  fi
  line=$(printf '%-26s gate %-4s' "$name" "$gate")
  [ "$gate" = "$want_gate" ] || { line+=" (expected $want_gate)"; failures=$((failures + 1)); }
  local entry cpu want got
  for entry in "$@"; do
    cpu=${entry%%=*}; want=${entry#*=}
    got=$(run "$name" "$cpu")
    line+=$(printf '  %s: %-6s' "$cpu" "$got")
    [ "$got" = "$want" ] || { line+=" (expected $want)"; failures=$((failures + 1)); }
  done
  echo "$line"
  echo "    ${verdict#*: }"
}

if [ "$arch" = armhf ]; then
  build debian-defaults
  build armv6-flags-only "${ours[@]}"
  build armv6-with-stand-in "${ours[@]}" -nostartfiles "$out/armv6-crt.o"
  build armv6-hidden-v7 "${ours[@]}" -nostartfiles "$out/armv6-crt.o" -DGATE_PROBE_HIDDEN_V7
  echo "gate on armhf builds of the probe (runs use qemu's default CPU: Debian's armhf userland is ARMv7):"
  expect debian-defaults fail max=ok
  expect armv6-flags-only fail max=ok
  expect armv6-with-stand-in pass max=ok
  expect armv6-hidden-v7 fail max=ok
  cpus=(max)
else
  build armv7 -march=armv7-a+fp -mfpu=vfp -mfloat-abi=softfp -marm
  build armv7-thumb2 -march=armv7-a+fp -mfpu=vfp -mfloat-abi=softfp -mthumb
  build armv6-vfpv3 -march=armv6kz -mfpu=vfpv3-d16 -mfloat-abi=softfp -marm
  build armv6-with-stand-in "${ours[@]}" -nostartfiles "$out/armv6-crt.o"
  build armv6-hidden-v7 "${ours[@]}" -nostartfiles "$out/armv6-crt.o" -DGATE_PROBE_HIDDEN_V7
  echo "gate on armel builds of the probe, each also run on qemu's default CPU and on the ARM1176 model:"
  expect armv7 fail max=ok arm1176=SIGILL
  expect armv7-thumb2 fail max=ok arm1176=SIGILL
  expect armv6-vfpv3 fail max=ok arm1176=SIGILL
  expect armv6-with-stand-in pass max=ok arm1176=ok
  expect armv6-hidden-v7 fail max=ok arm1176=SIGILL
  cpus=(arm1176)
fi
# ours is also the start-file stand-in at work
for cpu in "${cpus[@]}"; do
  got=$(unload armv6-with-stand-in "$cpu")
  echo "armv6-with-stand-in        static destructor at unload on $cpu: $got"
  [ "$got" = ok ] || failures=$((failures + 1))
done
if [ $failures -ne 0 ]; then
  echo "gate demonstration: $failures outcome(s) differ from the expected ones (logs in $out)" >&2
  exit 1
fi
echo "gate demonstration: every outcome as expected"
