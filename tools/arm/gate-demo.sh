#!/usr/bin/env bash
# Shows that the port's instruction-set gate (check-armv6.sh, check-arm64.sh)
# refuses what it must and accepts our build, on a small probe module
# (gate-probe/) built several ways with the target's cross compiler. Fails
# when any outcome differs.
#
#   [DEBIAN=12|13] tools/arm/gate-demo.sh armhf|armel|arm64 [OUT_DIR]
#                                  (default build/ARCH[-debian13]/gate-demo)
#
# armhf: Debian's default flags (ARMv7, Thumb-2, VFPv3-D16), our ARMv6 flags
# without the start-file stand-in (the toolchain's ARMv7 crtbeginS.o gets in)
# and our recipe with one ARMv7 instruction in inline assembly (which no
# build attribute records) must all fail; our recipe must pass and run.
# armel: on top of the static verdicts, each build is run on qemu's ARM1176
# model: the ARMv7, VFPv3 and inline-ARMv7 builds must die of SIGILL there (while running
# on qemu's default model), ours must run. This is the dynamic proof that the
# gate's verdict matches what the boards' CPU does.
# arm64: our ARMv8.0-A build (outline atomics, GCC's default) and the same
# with hint-space pointer authentication and BTI must pass and run on qemu's
# Cortex-A53 model; ARMv8.1 (inlined LSE atomics), ARMv8.3 pointer
# authentication (retaa, without LSE) and our recipe with one hidden LSE
# instruction must fail and die of SIGILL there (while running on qemu's
# default model, max).
# Then one instruction of each extension that the gate knows, assembled
# alone, must be refused under that extension's name: the gate's patterns
# against what the assembler really emits.
# All: our build, loaded as a plain shared object and unloaded, must run its
# static destructor at the unload (the start-file stand-in's job on 32-bit
# ARM, the toolchain's start files' on arm64).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/targets.sh"
arm_target "${1:-}" || { echo "usage: [DEBIAN=12|13] $0 armhf|armel|arm64 [OUT_DIR]" >&2; exit 2; }
root=$(cd "$here/../.." && pwd)
out=$(realpath -m "${2:-$root/$arm_build/gate-demo}")
sysroot=$arm_sysroot
python=$arm_python
[ -x "$python" ] || { echo "no $arch sysroot: run DEBIAN=$debian tools/arm/sysroot.sh $arch" >&2; exit 1; }
suffix=$ext_suffix
ours=("${march_flags[@]}")
common=(-std=c++20 -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Wno-psabi
        -I"$sysroot/usr/include/python$py_version" -idirafter "$sysroot/usr/include")

mkdir -p "$out"
if $armv6_crt; then
  "$triplet-gcc" "${ours[@]}" -O2 -fPIC -c "$here/armv6-crt.c" -o "$out/armv6-crt.o"
  ours+=(-nostartfiles "$out/armv6-crt.o")
fi

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
  local name=$1 want_gate=$2 verdict outcome line
  shift 2
  if verdict=$("${gate[@]}" "$out/$name/gate_probe$suffix"); then
    outcome=pass
  else
    outcome=fail
  fi
  line=$(printf '%-26s gate %-4s' "$name" "$outcome")
  [ "$outcome" = "$want_gate" ] || { line+=" (expected $want_gate)"; failures=$((failures + 1)); }
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

# extension_samples : one instruction of each extension that check-arm64.sh
# refuses, assembled alone (.arch armv9.4-a with the optional extensions);
# each must fail the gate under the name given
extension_samples() {
  local samples=(
    'LSE atomics|ldaddal w0, w0, [x1]' 'LSE atomics|casal x0, x1, [x2]' 'LSE atomics|swpb w0, w1, [x2]'
    'RDM|sqrdmlah v0.4s, v1.4s, v2.4s' 'LOR|ldlarb w0, [x1]'
    'FP16 arithmetic|fadd h0, h1, h2' 'FP16 arithmetic|fmul v0.8h, v1.8h, v2.8h' 'FP16 arithmetic|fmov w0, h1'
    'dot product|sdot v0.4s, v1.16b, v2.16b' 'FHM|fmlal v0.2s, v1.2h, v2.2h'
    'SHA3/SHA512/SM3/SM4|eor3 v0.16b, v1.16b, v2.16b, v3.16b' 'SHA3/SHA512/SM3/SM4|sm4e v0.4s, v1.4s'
    'pointer authentication|pacia x0, x1' 'pointer authentication|retaa' 'pointer authentication|ldraa x0, [x1]'
    'JSCVT|fjcvtzs w0, d1' 'FCMA|fcmla v0.4s, v1.4s, v2.4s, #90' 'LRCPC|ldapr x0, [x1]'
    'LRCPC2|ldapur w0, [x1, #4]' 'flag manipulation|cfinv' 'FRINTTS|frint32z d0, d1' 'SB|sb'
    'MTE|irg x0, x1' 'MTE|stz2g x0, [x1]' 'RNG|mrs x0, rndr' 'BF16|bfdot v0.4s, v1.8h, v2.8h'
    'I8MM|smmla v0.4s, v1.16b, v2.16b' 'WFxT, LS64|wfet x0' 'WFxT, LS64|ld64b x0, [x1]'
    'MOPS|cpyfp [x0]!, [x1]!, x2!' 'HBC|bc.eq .' 'CSSC|abs x0, x1' 'CSSC|umax w0, w1, w2'
    'SVE/SME|ld1d {z0.d}, p0/z, [x0]' 'SME|smstart'
    'crypto|aese v0.16b, v1.16b' 'crypto|sha256h q0, q1, v2.4s' 'crypto|pmull v0.1q, v1.1d, v2.1d'
    'CRC32|crc32cx w0, w1, x2' 'undecodable words|.inst 0xffffffff'
  )
  local arch_line=".arch armv9.3-a+crypto+sm4+sha3+fp16+fp16fml+rcpc+memtag+rng+sb+bf16+i8mm+ls64+mops+cssc+sve2+sme+lse+rdma+dotprod+crc+flagm+pauth+hbc+lor"
  local sample want insn verdict n=0 bad=0
  mkdir -p "$out/samples"
  for sample in "${samples[@]}"; do
    want=${sample%%|*}; insn=${sample#*|}
    n=$((n + 1))
    printf '%s
	.text
	.globl sample
	.type sample, %%function
sample:
	%s
	ret
' "$arch_line" "$insn" |
      "$triplet-as" -o "$out/samples/$n.o" - 2> "$out/samples/$n.log" ||
      { echo "    cannot assemble '$insn': $(head -1 "$out/samples/$n.log")"; bad=$((bad + 1)); continue; }
    if verdict=$("${gate[@]}" "$out/samples/$n.o"); then
      echo "    '$insn' passed the gate (expected: refused as $want)"; bad=$((bad + 1))
    elif [[ $verdict != *": $want"* && $verdict != *";$want"* ]]; then
      echo "    '$insn' refused, but not as $want: ${verdict#*: }"; bad=$((bad + 1))
    fi
  done
  echo "extension samples: $((n - bad)) of $n refused under their extension's name"
  failures=$((failures + bad))
}

case "$arch" in
  armhf)
    build debian-defaults
    build armv6-flags-only "${march_flags[@]}"
    build armv6-with-stand-in "${ours[@]}"
    build armv6-hidden-v7 "${ours[@]}" -DGATE_PROBE_HIDDEN
    echo "gate on armhf builds of the probe (runs use qemu's default CPU: Debian's armhf userland is ARMv7):"
    expect debian-defaults fail max=ok
    expect armv6-flags-only fail max=ok
    expect armv6-with-stand-in pass max=ok
    expect armv6-hidden-v7 fail max=ok
    cpus=(max) ours_name=armv6-with-stand-in
    ;;
  armel)
    build armv7 -march=armv7-a+fp -mfpu=vfp -mfloat-abi=softfp -marm
    build armv7-thumb2 -march=armv7-a+fp -mfpu=vfp -mfloat-abi=softfp -mthumb
    build armv6-vfpv3 -march=armv6kz -mfpu=vfpv3-d16 -mfloat-abi=softfp -marm
    build armv6-with-stand-in "${ours[@]}"
    build armv6-hidden-v7 "${ours[@]}" -DGATE_PROBE_HIDDEN
    echo "gate on armel builds of the probe, each also run on qemu's default CPU and on the ARM1176 model:"
    expect armv7 fail max=ok arm1176=SIGILL
    expect armv7-thumb2 fail max=ok arm1176=SIGILL
    expect armv6-vfpv3 fail max=ok arm1176=SIGILL
    expect armv6-with-stand-in pass max=ok arm1176=ok
    expect armv6-hidden-v7 fail max=ok arm1176=SIGILL
    cpus=(arm1176) ours_name=armv6-with-stand-in
    ;;
  arm64)
    build armv8.0 "${ours[@]}"
    build armv8.0-branch-protection "${ours[@]}" -mbranch-protection=standard
    build armv8.1-lse -march=armv8.1-a
    build armv8.3-pauth -march=armv8.3-a+nolse -mbranch-protection=pac-ret
    build armv8.0-hidden-lse "${ours[@]}" -DGATE_PROBE_HIDDEN
    echo "gate on arm64 builds of the probe, each also run on qemu's default CPU and on the Cortex-A53 model:"
    expect armv8.0 pass max=ok cortex-a53=ok
    expect armv8.0-branch-protection pass max=ok cortex-a53=ok
    expect armv8.1-lse fail max=ok cortex-a53=SIGILL
    expect armv8.3-pauth fail max=ok cortex-a53=SIGILL
    expect armv8.0-hidden-lse fail max=ok cortex-a53=SIGILL
    extension_samples
    cpus=(cortex-a53) ours_name=armv8.0
    ;;
esac
# ours also runs its static destructor when unloaded
for cpu in "${cpus[@]}"; do
  got=$(unload "$ours_name" "$cpu")
  printf '%-26s static destructor at unload on %s: %s\n' "$ours_name" "$cpu" "$got"
  [ "$got" = ok ] || failures=$((failures + 1))
done
if [ $failures -ne 0 ]; then
  echo "gate demonstration: $failures outcome(s) differ from the expected ones (logs in $out)" >&2
  exit 1
fi
echo "gate demonstration: every outcome as expected"
