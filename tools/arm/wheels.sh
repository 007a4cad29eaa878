#!/usr/bin/env bash
# The boards' wheels, for Debian 12 (cp311) and Debian 13 (cp313), built into
# DIST_DIR (default dist/) and each proved on an emulated board:
#   32-bit boards, ARMv6 code:  nalo_sdk-V-cpXY-cpXY-linux_armv6l.linux_armv7l.whl
#   64-bit boards:              nalo_sdk-V-cpXY-cpXY-linux_aarch64.whl
#
#   tools/arm/wheels.sh [DIST_DIR]
#
# wheel.sh builds and gates each. The 32-bit wheel then carries both platform
# tags (retag_wheel.py): pip on an ARMv7 board (machine armv7l) accepts only
# linux_armv7l, on an ARMv6 board only linux_armv6l, and our ARMv6 code serves
# both. Each wheel is installed with the port's own pip into a directory of
# its own, in the port's emulated userland, which checks that pip accepts its
# tags on that machine: the armhf userland runs on qemu's default CPU and says
# armv7l, the arm64 one on the Cortex-A53 model. For ARMv6 boards, the armel
# userland on the ARM1176 model (armv6l) shows that its pip would select the
# wheel (a dry run: the wheel's hard-float modules are not for armel). The
# installed wheel then runs tools/debs/smoke.py: the three modules imported
# from where pip put them, nalo-sweep --dry-run and a stream cleanup on a
# host redis-server, per-class NMS and a payload.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=$(realpath -m "${1:-$root/dist}")
redis=$(command -v redis-server) || { echo "no host redis-server (packages.txt)" >&2; exit 1; }
flows=$root/tests/data/flows/ha-45sixty-flows.json
mkdir -p "$dist"

prove() { # prove RELEASE PORT WHEEL WORK [ARMV6L_ONLY_WHEEL]
  local release=$1 port=$2 wheel=$3 work=$4 armv6l_only=${5:-}
  (
    export DEBIAN=$release
    . "$here/targets.sh"
    arm_target "$port"
    rm -rf "$work/site"
    machine=$(cd / && "$arm_python" -c 'import platform; print(platform.machine())')
    echo "== $(basename "$wheel"): pip install on $arch (Debian $debian, qemu CPU $qemu_cpu, $machine)"
    if [ "$arch" = armhf ]; then
      # An ARMv7 board: the tag set is what makes pip take the wheel there.
      [ "$machine" = armv7l ] || { echo "the armhf userland says $machine, not armv7l" >&2; exit 1; }
      if (cd / && "$arm_python" -m pip install --dry-run --quiet --no-deps --no-index \
          --isolated --root-user-action=ignore --target /nonexistent "$armv6l_only") 2>/dev/null; then
        echo "pip on armv7l took a wheel tagged linux_armv6l only" >&2
        exit 1
      fi
    fi
    (cd / && "$arm_python" -m pip install --quiet --no-deps --no-index --no-cache-dir \
      --disable-pip-version-check --isolated --root-user-action=ignore --target "$work/site" "$wheel")
    (cd "$work" && PYTHONPATH=$work/site NALO_SMOKE_PACKAGE_DIR=$work/site/nalo_sdk/ \
      NALO_SMOKE_SWEEP=$work/site/bin/nalo-sweep NALO_SMOKE_REDIS_SERVER=$redis \
      "$arm_python" "$root/tools/debs/smoke.py" "$flows")
  )
}

select_on_armv6() { # select_on_armv6 RELEASE WHEEL
  local release=$1 wheel=$2
  (
    export DEBIAN=$release
    . "$here/targets.sh"
    arm_target armel
    if [ ! -x "$arm_python" ] && ! "$here/sysroot.sh" armel; then
      echo "== no Debian $debian armel userland: pip's choice on armv6l not checked" >&2
      return 0
    fi
    echo "== $(basename "$wheel"): pip's choice on the ARM1176 model ($qemu_cpu)"
    (cd / && "$arm_python" -c 'import platform; assert platform.machine() == "armv6l", platform.machine()')
    (cd / && "$arm_python" -m pip install --dry-run --no-deps --no-index --no-cache-dir \
      --disable-pip-version-check --isolated --root-user-action=ignore --target /nonexistent "$wheel") | grep -E "Would install nalo[-_]sdk"
  )
}

built=()
for release in 12 13; do
  for port in armhf arm64; do
    work_tail=$([ "$release" = 13 ] && echo -debian13 || true)
    work=$root/build/$port$work_tail/wheel
    DEBIAN=$release "$here/sysroot.sh" "$port"
    wheel=$(DEBIAN=$release "$here/wheel.sh" "$port" "$work" "$work/dist" | tail -1)
    single=
    if [ "$port" = armhf ]; then
      single=$wheel
      wheel=$(/usr/bin/python3.11 "$here/retag_wheel.py" "$single" linux_armv6l.linux_armv7l "$work/dist")
      select_on_armv6 "$release" "$wheel"
    fi
    prove "$release" "$port" "$wheel" "$work" "$single"
    cp "$wheel" "$dist/"
    built+=("$dist/$(basename "$wheel")")
  done
done
echo "board wheels:"
printf '  %s\n' "${built[@]}"
