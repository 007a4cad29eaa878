#!/usr/bin/env bash
# Runs make bench's benchmarks with the emulated target interpreter against
# the target build staged by tools/arm/build.sh: the same scripts and command
# lines, the same printed figures and ratios.
#
#   [DEBIAN=12|13] tools/arm/bench.sh armhf|armel|arm64 [BUILD_DIR]
#                                  (default build/ARCH, build/ARCH-debian13)
#
# armel runs on qemu's ARM1176 model (the ARMv6 boards' CPU), armhf on qemu's
# default CPU, arm64 on the Cortex-A53 model. Emulation slows native and plain-Python code by different
# factors, so the ratios are indications, not the boards' own figures. JSON
# per benchmark goes to BUILD_DIR/bench; every benchmark's target lines are
# repeated together at the end.
set -euo pipefail

. "$(dirname "$0")/targets.sh"
arm_target "${1:-}" || { echo "usage: [DEBIAN=12|13] $0 armhf|armel|arm64 [BUILD_DIR]" >&2; exit 2; }
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(realpath -m "${2:-$root/$arm_build}")
stage=$build_dir/python
[ -x "$arm_python" ] || { echo "no $arch sysroot: run DEBIAN=$debian tools/arm/sysroot.sh $arch" >&2; exit 1; }
[ -d "$stage/nalo_sdk" ] || { echo "no $arch build: run DEBIAN=$debian tools/arm/build.sh $arch" >&2; exit 1; }

cd "$root"
mkdir -p "$build_dir/bench"
targets=$build_dir/bench/targets.txt
: >"$targets"
export PYTHONDONTWRITEBYTECODE=1 NALO_STAGE_DIR=$stage PYTHONPATH=$stage:$root/benchmarks
export NALO_BENCH_TARGETS=$targets
for bench in flowsweep nms mqtt; do
  QEMU_CPU=$qemu_cpu "$arm_python" "benchmarks/bench_$bench.py" --json "$build_dir/bench/$bench.json"
done
echo "$arch on qemu's $qemu_cpu CPU model: figures written to $build_dir/bench/"
echo
echo "targets ($arch, Debian $debian, qemu's $qemu_cpu CPU model):"
cat "$targets"
