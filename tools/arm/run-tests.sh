#!/usr/bin/env bash
# Runs the project's pytest suite with the emulated target interpreter
# against the target build staged by tools/arm/build.sh.
#
#   [DEBIAN=12|13] tools/arm/run-tests.sh armhf|armel|arm64 [BUILD_DIR] [-- PYTEST_ARGS...]
#
# armhf runs on qemu's default CPU (Debian's armhf userland is ARMv7); armel
# runs on the ARM1176 model; arm64 on the Cortex-A53 model (ARMv8.0-A). The
# Redis-backed tests start a host redis-server (emulated processes reach
# loopback like native ones).
set -euo pipefail

. "$(dirname "$0")/targets.sh"
arm_target "${1:-}" ||
  { echo "usage: [DEBIAN=12|13] $0 armhf|armel|arm64 [BUILD_DIR] [-- PYTEST_ARGS...]" >&2; exit 2; }
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$root/$arm_build
if [ $# -gt 0 ] && [ "$1" != -- ]; then build_dir=$(realpath -m "$1"); shift; fi
[ "${1:-}" = -- ] && shift
python=$arm_python
[ -x "$python" ] || { echo "no $arch sysroot: run DEBIAN=$debian tools/arm/sysroot.sh $arch" >&2; exit 1; }
[ -d "$build_dir/python/nalo_sdk" ] || { echo "no $arch build: run DEBIAN=$debian tools/arm/build.sh $arch" >&2; exit 1; }
redis=$(command -v redis-server) || { echo "no host redis-server (packages.txt)" >&2; exit 1; }

cd "$root"
# NALO_TARGET tells the target-only tests (tests/target) where they run.
# NALO_REDIS_SERVER is the host's server binary: a path that the emulated
# process execs natively, since no redis-server is unpacked in the sysroot.
export NALO_TARGET=$arch
export NALO_STAGE_DIR=$build_dir/python
export NALO_REDIS_SERVER=$redis
export PYTHONDONTWRITEBYTECODE=1
export PYTHONPATH=$root/tools/arm${PYTHONPATH:+:$PYTHONPATH}
# The whole suite unless the arguments name what to run.
selection=(tests)
for arg in "$@"; do
  case "$arg" in -*) ;; *) [ -e "${arg%%::*}" ] && selection=() ;; esac
done
exec "$python" -m pytest -q -p no:cacheprovider -p emulated_pytest "${selection[@]}" "$@"
