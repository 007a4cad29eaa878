#!/usr/bin/env bash
# Runs the node's tests (test-node.sh) on Debian 12's own Node.js 18, in a
# fresh minimal Debian 12 image of this machine's architecture, against the
# pinned Node-RED in DIR (`make node-red`: pure JavaScript, so the same
# install serves every Node.js) and the kit staged in STAGE, with workers on
# the image's own Python 3.11 (the kit's ABI: this machine is Debian 12):
#
#   tools/node-red/test-debian12.sh DIR STAGE [test files...]
#
# The image is a copy of the cached tarball of tools/debs/image.sh, unpacked
# anew under build/node-red-debian12 and removed when the run passes; apt's
# downloads and lists are those of the package tests' Debian 12 images
# ($NALO_DEBS_CACHE/apt/bookworm-ARCH), so a warm run fetches nothing. The
# checkout, DIR and STAGE are bind-mounted at their own paths; every mount
# lives in a mount namespace of the run's own and vanishes with it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$project/tools/debian13/root-lib.sh"
dir=$(realpath "${1:?usage: $0 DIR STAGE [test files...]}")
stage=$(realpath "${2:?}")
shift 2
cache=${NALO_DEBS_CACHE:-/var/cache/nalo-sdk-debs}
arch=$(dpkg --print-architecture)
log() { printf '[node-red debian12] %s\n' "$*"; }

t0=$SECONDS
image=$("$project/tools/debs/image.sh" bookworm "$arch" | tail -n 1)
root=$project/build/node-red-debian12/root
apt=$cache/apt/bookworm-$arch
mkdir -p "$apt/archives/partial" "$apt/lists/partial"
# One apt at a time in a cache that other runs (another CI lane) share.
exec 8>"$apt/.lock"
flock 8
remove_tree "$root"
mkdir -p "$root"
tar -C "$root" -xf "$image"
mkdir -p "$root$dir" "$root$stage"
log "fresh bookworm $arch image ready in $((SECONDS - t0)) s"

status=0
in_root --bind "$apt/archives" /var/cache/apt/archives --bind "$apt/lists" /var/lib/apt/lists \
  --bind "$dir" "$dir" --bind "$stage" "$stage" \
  "$root" "$project" /bin/sh tools/node-red/in-debian12.sh "$dir" "$stage" "$@" || status=$?

# A process of the run that outlived it (its root is the image's) fails the
# run, and is ended: only processes of this run can have that root. (-ef
# compares the directories themselves: the link's text is that of another
# mount namespace.)
left=()
for link in /proc/[0-9]*/root; do
  [ "$link" -ef "$root" ] 2>/dev/null || continue
  pid=${link#/proc/}
  left+=("${pid%/root}")
done
if [ ${#left[@]} -gt 0 ]; then
  log "processes left behind: $(ps -o pid=,args= -p "$(IFS=,; echo "${left[*]}")" | tr '\n' ';')" >&2
  kill -KILL "${left[@]}" 2>/dev/null || true
  [ $status -ne 0 ] || status=1
fi

if [ $status -eq 0 ]; then
  remove_tree "$root"
  log "passed in $((SECONDS - t0)) s (apt cache $(du -sh "$apt" | cut -f1))"
else
  log "FAILED ($status); the image is left in $root" >&2
fi
exit $status
