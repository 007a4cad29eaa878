#!/usr/bin/env bash
# Runs a command inside an image of an ARM port, every program of it under
# qemu-user, through proot: proot catches each exec and starts the foreign
# program under qemu, so maintainer scripts, apt and dpkg work as on a board,
# and this machine needs no binfmt registration. The CPU model is the port's
# of tools/arm/targets.sh. proot runs under old-syscalls (old-syscalls.c,
# compiled into $NALO_DEBS_CACHE/bin): the newer path calls that it does not
# translate fail, and qemu and the guest take the older ones.
#
#   tools/debs/emulated.sh [--bind SRC DST]... armhf|armel|arm64 ROOT COMMAND [ARGS...]
#
# Each SRC of this machine is seen at DST inside (proot's own binding: no
# mount is made).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../arm/targets.sh"
binds=()
while [ "${1:-}" = --bind ]; do
  binds+=(-b "$2:$3")
  shift 3
done
arm_target "${1:-}" && [ $# -ge 3 ] ||
  { echo "usage: $0 [--bind SRC DST]... armhf|armel|arm64 ROOT COMMAND [ARGS...]" >&2; exit 2; }
root=$2
shift 2
command -v proot > /dev/null || { echo "missing proot (packages.txt)" >&2; exit 1; }
bin=${NALO_DEBS_CACHE:-/var/cache/nalo-sdk-debs}/bin
if [ ! -x "$bin/old-syscalls" ] || [ "$here/old-syscalls.c" -nt "$bin/old-syscalls" ]; then
  mkdir -p "$bin"
  gcc -O2 -Wall -Wextra -Werror -o "$bin/old-syscalls.new" "$here/old-syscalls.c"
  mv "$bin/old-syscalls.new" "$bin/old-syscalls"
fi
exec "$bin/old-syscalls" proot -r "$root" -q "$(command -v "$qemu") -cpu $qemu_cpu" \
  -b /proc -b /sys -b /dev "${binds[@]}" -w / \
  /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin HOME=/root LANG=C.UTF-8 "$@"
