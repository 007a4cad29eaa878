#!/usr/bin/env bash
# Instruction-set gate for the arm64 target modules: every file given must be
# AArch64 code that a Cortex-A53 without optional extensions (ARMv8.0-A with
# FP and Advanced SIMD only; the oldest 64-bit boards) can run.
#
#   tools/arm/check-arm64.sh FILE.so...
#
# AArch64 objects carry no build attributes that record the architecture, and
# inline assembly, intrinsics behind a target attribute or a toolchain object
# can bring in newer code whatever -march said; so the disassembly is the
# evidence. Checked:
#  - ELF64, little-endian, AArch64;
#  - no instruction from an extension beyond ARMv8.0-A: LSE atomics, RDM,
#    LOR (8.1); FP16 arithmetic, dot product, FHM, SHA3/SHA512/SM3/SM4 (8.2);
#    pointer authentication outside the hint space, JSCVT, FCMA, LRCPC (8.3);
#    LRCPC2, flag manipulation (8.4); FRINTTS, SB, MTE, RNG (8.5); BF16, I8MM
#    (8.6); WFxT, LS64 (8.7); MOPS, HBC (8.8); CSSC; SVE, SVE2 and SME;
#  - nor the crypto (AES, SHA1, SHA2, 64-bit PMULL) and CRC32 instructions,
#    optional in ARMv8.0-A and absent from some Cortex-A53 boards (qemu's
#    cortex-a53 model has them, so only this check catches them);
#  - no word that the disassembler cannot decode (".inst"), which could hide
#    anything.
# Allowed: the hint-space forms of pointer authentication and BTI (paciasp,
# autiasp, bti c...), which ARMv8.0 cores execute as NOPs, as the
# .note.gnu.property features that go with them; and LSE atomics inside GCC's
# outline-atomics helpers (__aarch64_ldadd4_acq_rel and the like, linked from
# libgcc.a under -moutline-atomics, the default), which take the LSE path only
# when the kernel reports it (HWCAP_ATOMICS) and the load/store-exclusive path
# otherwise. Attributing instructions to those helpers needs the symbol table:
# run it before stripping. Exits 1 when any file fails, naming what was found.
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
case "$1" in -*) echo "usage: $0 FILE..." >&2; exit 2 ;; esac
for t in readelf objdump; do
  command -v "aarch64-linux-gnu-$t" > /dev/null ||
    { echo "no aarch64-linux-gnu-$t (binutils-aarch64-linux-gnu)" >&2; exit 2; }
done

suffixes='(a|al|l)?[bh]?'
# name<TAB>mnemonic pattern (whole mnemonic, extended regular expression;
# handed to awk through the environment, which keeps its backslashes)
extensions=(
  $'LSE atomics (8.1)\t(casp?|swp|ld(add|clr|eor|set|smax|smin|umax|umin)|st(add|clr|eor|set|smax|smin|umax|umin))'"$suffixes"
  $'RDM (8.1)\tsqrdml[as]h2?'
  $'LOR (8.1)\t(ldlar|stllr)[bh]?'
  $'dot product (8.2)\t(s|u|us|su)dot'
  $'FHM (8.2)\tfml[as]l2?'
  $'SHA3/SHA512/SM3/SM4 (8.2)\teor3|bcax|rax1|xar|sha512(h2?|su[01])|sm3[a-z0-9]*|sm4ekey|sm4e'
  $'pointer authentication (8.3)\t(pac|aut)(ia|ib|da|db|iza|izb|dza|dzb)|pacga|xpac[id]|bla?ra(a|b|az|bz)|e?reta[ab]|ldra[ab]'
  $'JSCVT (8.3)\tfjcvtzs'
  $'FCMA (8.3)\tfcmla|fcadd'
  $'LRCPC (8.3)\tldapr[bh]?'
  $'LRCPC2 (8.4)\tldapurs?[bhw]?|stlur[bh]?'
  $'flag manipulation (8.4, 8.5)\tcfinv|rmif|setf(8|16)|axflag|xaflag'
  $'FRINTTS (8.5)\tfrint(32|64)[xz]'
  $'SB (8.5)\tsb'
  $'MTE (8.5)\tirg|gmi|addg|subg|subps?|stz?2?g|stgp|ldgm?|stz?gm'
  $'BF16 (8.6)\tbf(dot|mmla|mlal[bt]|cvtn?2?)'
  $'I8MM (8.6)\t(s|u|us)mmla'
  $'WFxT, LS64 (8.7)\twfet|wfit|ld64b|st64bv?0?'
  $'MOPS (8.8)\tcpyf?[pme][a-z]*|setg?[pme][a-z]*'
  $'HBC (8.8)\tbc\\..*'
  $'SME\tsmstart|smstop|[su]mop[as]|fmop[as]|bfmop[as]|zero'
  $'crypto (optional in 8.0)\taes[de]|aesi?mc|sha1[cmph]|sha1su[01]|sha256(h2?|su[01])'
  $'CRC32 (optional in 8.0)\tcrc32c?[bhwx]'
)
# LSE instructions that may stand in these functions only.
outline_helpers='^__aarch64_(casp?|swp|ldadd|ldclr|ldeor|ldset)[0-9]+_(relax|acq|rel|acq_rel|sync)$'

# lines FUNCTION<TAB>MNEMONIC<TAB>OPERANDS of the disassembly, operands
# without objdump's comments and symbol annotations
disassemble() {
  aarch64-linux-gnu-objdump -d --no-show-raw-insn "$1" | awk -F'\t' '
    /^[0-9a-f]+ <.*>:$/ { fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn); next }
    /^ *[0-9a-f]+:\t/ {
      ops = $3; sub(/ *\/\/.*/, "", ops); sub(/ *;.*/, "", ops); gsub(/<[^>]*>/, "", ops)
      print fn "\t" $2 "\t" ops
    }'
}

# summary COUNT-LINES : "n mnemonic" pairs on one line, most frequent first
summary() {
  sort | uniq -c | sort -rn | head -6 | awk '{ printf " %s %s", $1, $2 }'
}

check_one() {
  local f=$1 problems=() header asm entry name re found n_helper_lse=0 props
  if ! header=$(aarch64-linux-gnu-readelf -h "$f" 2>&1); then
    echo "FAIL $f: not an ELF file"; return 1
  fi
  grep -q 'Class:[[:space:]]*ELF64' <<< "$header" || problems+=("not ELF64")
  grep -q 'Data:.*little endian' <<< "$header" || problems+=("not little-endian")
  grep -q 'Machine:[[:space:]]*AArch64' <<< "$header" || problems+=("not an AArch64 object")
  if [ ${#problems[@]} -gt 0 ]; then
    local IFS=';'
    echo "FAIL $f: ${problems[*]}"
    return 1
  fi
  aarch64-linux-gnu-readelf -SW "$f" | grep -q ' \.symtab ' ||
    problems+=("no .symtab (stripped): outline-atomics helpers cannot be told apart")

  asm=$(disassemble "$f")
  for entry in "${extensions[@]}"; do
    name=${entry%%$'\t'*}
    re="^(${entry#*$'\t'})\$"
    if [[ $name == LSE* ]]; then
      found=$(re=$re ok=$outline_helpers awk -F'\t' '$2 ~ ENVIRON["re"] && $1 !~ ENVIRON["ok"] { print $2 }' <<< "$asm" | summary)
      n_helper_lse=$(re=$re ok=$outline_helpers awk -F'\t' '$2 ~ ENVIRON["re"] && $1 ~ ENVIRON["ok"]' <<< "$asm" | wc -l)
    else
      found=$(re=$re awk -F'\t' '$2 ~ ENVIRON["re"] { print $2 }' <<< "$asm" | summary)
    fi
    [ -z "$found" ] || problems+=("$name:$found")
  done
  # Forms that only their operands tell apart from ARMv8.0 instructions.
  # FP16 arithmetic (8.2): an FP instruction on half-precision registers or
  # lanes; the conversions to and from single precision are ARMv8.0.
  found=$(awk -F'\t' '($2 ~ /^(f|[su]cvtf)/ && $2 !~ /^fcvt[ln]?2?$/) && $3 ~ /(^|[^a-z0-9_])h[0-9]+([^0-9]|$)|\.[48]?h([^a-z0-9]|$)/ { print $2 }' <<< "$asm" | summary)
  [ -z "$found" ] || problems+=("FP16 arithmetic (8.2):$found")
  # 64-bit polynomial multiply (crypto) against the 8-bit one (ARMv8.0).
  found=$(awk -F'\t' '$2 ~ /^pmull2?$/ && $3 ~ /\.1q/ { print $2 }' <<< "$asm" | summary)
  [ -z "$found" ] || problems+=("crypto (optional in 8.0):$found")
  # CSSC: scalar forms of instructions that ARMv8.0 has for vectors only.
  found=$(awk -F'\t' '$2 ~ /^(abs|cnt|ctz|[su]max|[su]min)$/ && $3 ~ /^[wx]([0-9]|zr)/ { print $2 }' <<< "$asm" | summary)
  [ -z "$found" ] || problems+=("CSSC:$found")
  # RNG (8.5): the random-number system registers.
  found=$(awk -F'\t' '$2 == "mrs" && $3 ~ /rndr/ { print $2 }' <<< "$asm" | summary)
  [ -z "$found" ] || problems+=("RNG (8.5):$found")
  # SVE, SVE2 and SME: their vector (z), predicate (p) and array (za) registers.
  found=$(awk -F'\t' '$3 ~ /(^|[^a-z0-9_])(z[0-9]+|p[0-9]+|za[0-9]*)([^a-z0-9_]|$)/ { print $2 }' <<< "$asm" | summary)
  [ -z "$found" ] || problems+=("SVE/SME:$found")
  found=$(awk -F'\t' '$2 == ".inst" { print $2 }' <<< "$asm" | summary)
  [ -z "$found" ] || problems+=("undecodable words in code:$found")

  if [ ${#problems[@]} -gt 0 ]; then
    local IFS=';'
    echo "FAIL $f: ${problems[*]}"
    return 1
  fi
  local n_insn n_simd note=
  n_insn=$(grep -c . <<< "$asm" || true)
  n_simd=$(awk -F'\t' '$3 ~ /(^|[^a-z0-9_])[vqdsbh][0-9]+/' <<< "$asm" | wc -l)
  [ "$n_helper_lse" -eq 0 ] ||
    note=", $n_helper_lse LSE in outline-atomics helpers (chosen at run time)"
  props=$(aarch64-linux-gnu-readelf -n "$f" | sed -n 's/^ *AArch64 feature: *//p' | paste -sd' ')
  [ -z "$props" ] || note+=", GNU property $props (hint space)"
  echo "ok   $f: ARMv8.0-A, $n_insn instructions, $n_simd FP/SIMD$note"
}

status=0
for f in "$@"; do
  check_one "$f" || status=1
done
exit $status
