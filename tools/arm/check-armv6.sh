#!/usr/bin/env bash
# Instruction-set gate for the target modules: every file given must be ARM
# code that an ARM1176JZF-S (ARMv6KZ, VFPv2, no NEON, no Thumb-2) can run.
#
#   tools/arm/check-armv6.sh --float-abi hard|softfp FILE.so...
#
# Flags alone do not guarantee this: the linker gives the output the highest
# architecture among its inputs, and toolchain objects (start files, static
# libgcc helpers) or inline assembly can bring in newer code. Checked:
#  - ELF32 ARM, EABI5, the expected float ABI (hard: VFP argument registers;
#    softfp: core registers), so a module cannot be loaded by the wrong port;
#  - build attributes: Tag_CPU_arch v6, v6K or v6KZ; no Thumb-2; FP no newer
#    than VFPv2; no Advanced SIMD (NEON); no hardware divide;
#  - no Thumb code at all ($t mapping symbols; the modules are ARM-only), which
#    needs the symbol table: run it before stripping;
#  - a disassembly scan for ARMv7-only and Thumb-2 instructions and for
#    NEON/VFPv3+ forms, which catches what attributes miss (inline assembly,
#    objects assembled with a lying .arch).
# Exits 1 when any file fails, naming what was found.
set -euo pipefail

float_abi=
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --float-abi) float_abi=$2; shift 2 ;;
    --float-abi=*) float_abi=${1#*=}; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done
case "$float_abi" in hard|softfp) ;; *) echo "usage: $0 --float-abi hard|softfp FILE..." >&2; exit 2 ;; esac
[ ${#files[@]} -gt 0 ] || { echo "no files to check" >&2; exit 2; }

. "$(dirname "$0")/targets.sh"
# Either 32-bit port's binutils read both ports' objects. (arm_target runs in
# a subshell: float_abi is the caller's option.)
tool() {
  local a t
  for a in armhf armel; do
    t=$(DEBIAN=12 arm_target "$a" && echo "$triplet-$1")
    command -v "$t" > /dev/null && { echo "$t"; return; }
  done
  echo "no ARM $1 found (binutils-arm-linux-gnueabihf)" >&2
  exit 2
}
readelf=$(tool readelf)
objdump=$(tool objdump)

cond='(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?'
# ARM-state instructions that ARMv6KZ lacks: ARMv6T2/ARMv7 data processing
# and divide, barriers (v6 uses CP15 operations instead), v7 hints and
# preload, ARMv8 acquire/release and CRC, and Thumb-2-only forms.
v7_only="^((movw|movt|ubfx|sbfx|bfi|bfc|rbit|mls|sdiv|udiv|ldrht|ldrsht|ldrsbt|strht)$cond|dmb|dsb|isb|pli|dbg|sevl|hlt|lda[a-z]*|stl[a-z]*|crc32[a-z]*|it[te]*|cbn?z|tb[bh])\$"
# VFP mnemonics that VFPv2 has. Anything else starting with v is NEON,
# VFPv3 half-precision or VFPv4 fused multiply-add.
vfp2="^(vadd|vsub|vmul|vnmul|vdiv|vmla|vmls|vnmla|vnmls|vabs|vneg|vsqrt|vcmp|vcmpe|vcvt|vcvtr|vmov|vmrs|vmsr|vldr|vstr|vldm(ia|db)?|vstm(ia|db)?|vpush|vpop)$cond(\\.(f32|f64|s32|u32|32|f64\\.f32|f32\\.f64|f64\\.[su]32|f32\\.[su]32|[su]32\\.f64|[su]32\\.f32))?\$"

check_one() {
  local f=$1 problems=() header attrs syms arch thumb fp simd div asm bad_v7 bad_vfp
  if ! header=$("$readelf" -h "$f" 2>&1); then
    echo "FAIL $f: not an ELF file"; return 1
  fi
  grep -q 'Class:[[:space:]]*ELF32' <<< "$header" || problems+=("not ELF32")
  grep -q 'Machine:[[:space:]]*ARM$' <<< "$header" || problems+=("not an ARM object")
  grep -q 'Version5 EABI' <<< "$header" || problems+=("not EABI5")
  if [ "$float_abi" = hard ]; then
    grep -q 'hard-float ABI' <<< "$header" || problems+=("not the hard-float ABI")
  else
    grep -q 'soft-float ABI' <<< "$header" || problems+=("not the soft-float ABI")
  fi

  attrs=$("$readelf" -A "$f")
  arch=$(sed -n 's/^ *Tag_CPU_arch: *//p' <<< "$attrs")
  case "$arch" in v6|v6K|v6KZ) ;; *) problems+=("Tag_CPU_arch ${arch:-missing}") ;; esac
  thumb=$(sed -n 's/^ *Tag_THUMB_ISA_use: *//p' <<< "$attrs")
  case "$thumb" in *Thumb-2*) problems+=("Tag_THUMB_ISA_use $thumb") ;; esac
  fp=$(sed -n 's/^ *Tag_FP_arch: *//p' <<< "$attrs")
  case "$fp" in ''|VFPv1|VFPv2) ;; *) problems+=("Tag_FP_arch $fp") ;; esac
  simd=$(sed -n 's/^ *Tag_Advanced_SIMD_arch: *//p' <<< "$attrs")
  [ -z "$simd" ] || problems+=("Tag_Advanced_SIMD_arch $simd")
  div=$(sed -n 's/^ *Tag_DIV_use: *//p' <<< "$attrs")
  case "$div" in *Allowed*v7-A*) problems+=("Tag_DIV_use $div") ;; esac
  if [ "$float_abi" = hard ]; then
    grep -q 'Tag_ABI_VFP_args: VFP registers' <<< "$attrs" || problems+=("no Tag_ABI_VFP_args VFP registers")
  else
    ! grep -q 'Tag_ABI_VFP_args: VFP registers' <<< "$attrs" || problems+=("Tag_ABI_VFP_args VFP registers")
  fi

  syms=$("$readelf" -sW "$f")
  if ! grep -q "Symbol table '.symtab'" <<< "$syms"; then
    problems+=("no .symtab (stripped): Thumb code cannot be ruled out")
  else
    local n_thumb
    n_thumb=$(awk '$8 ~ /^\$t(\.|$)/' <<< "$syms" | wc -l)
    [ "$n_thumb" -eq 0 ] || problems+=("$n_thumb Thumb regions (\$t mapping symbols)")
  fi

  asm=$("$objdump" -d --no-show-raw-insn "$f" |
        awk -F'\t' '/^ *[0-9a-f]+:\t/ { split($2, w, " "); print w[1] "\t" $0 }')
  bad_v7=$(grep -E "$v7_only" <<< "$(cut -f1 <<< "$asm")" | sort | uniq -c | sort -rn | head -8 | awk '{printf " %s %s", $1, $2}' || true)
  [ -z "$bad_v7" ] || problems+=("ARMv7/Thumb-2 instructions:$bad_v7")
  # Wide (.w) Thumb-2 encodings and registers that only VFPv3-D32/NEON have.
  local n_wide n_highreg
  n_wide=$(cut -f1 <<< "$asm" | grep -cE '\.w$' || true)
  [ "$n_wide" -eq 0 ] || problems+=("$n_wide Thumb-2 wide (.w) instructions")
  bad_vfp=$(cut -f1 <<< "$asm" | grep -E '^v' | grep -vE "$vfp2" | sort | uniq -c | sort -rn | head -8 |
            awk '{printf " %s %s", $1, $2}' || true)
  [ -z "$bad_vfp" ] || problems+=("NEON/VFPv3+ instructions:$bad_vfp")
  n_highreg=$(grep -E $'^v[^\t]*\t' <<< "$asm" | grep -cE '\b(d(1[6-9]|2[0-9]|3[01])|q[0-9]+)\b' || true)
  [ "$n_highreg" -eq 0 ] || problems+=("$n_highreg instructions on d16-d31/q registers")
  # VFPv3 added immediate moves (vmov.f64 d0, #0.5) and fixed-point vcvt.
  local n_vfp3
  n_vfp3=$(grep -E $'^(vmov|vcvt)[^\t]*\t' <<< "$asm" | grep -c '#' || true)
  [ "$n_vfp3" -eq 0 ] || problems+=("$n_vfp3 VFPv3 immediate/fixed-point forms")

  if [ ${#problems[@]} -gt 0 ]; then
    local IFS=';'
    echo "FAIL $f: ${problems[*]}"
    return 1
  fi
  local n_insn n_vfp
  n_insn=$(grep -c . <<< "$asm" || true)
  n_vfp=$(cut -f1 <<< "$asm" | grep -cE '^v' || true)
  echo "ok   $f: $arch, ARM only, ${fp:-no FP}, $float_abi float ABI ($n_insn instructions, $n_vfp VFP)"
}

status=0
for f in "${files[@]}"; do
  check_one "$f" || status=1
done
exit $status
