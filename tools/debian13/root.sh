#!/usr/bin/env bash
# Prepares a Debian 13 ("trixie") amd64 root with Debian's debootstrap
# (minbase) and the packages of packages-debian13.txt, for building and
# testing the tree on that release. Prints the root's path as its last line.
#
#   tools/debian13/root.sh
#
# The root lives in $NALO_DEBIAN13_CACHE (default /var/cache/nalo-sdk-debian13),
# outside any clone. It is reused without network access while the package
# list and this script are unchanged; NALO_DEBIAN13_REFRESH=1 makes it anew.
# The archive is this machine's (tools/apt-archive.sh: DEBIAN_MIRROR and
# DEBIAN_SECURITY_MIRROR may point at a snapshot to pin it); a -security or
# -updates suite caught mid-sync is left out (tools/apt-update.sh).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$here/root-lib.sh"
. "$project/tools/apt-archive.sh"
debian_archive
list=$project/packages-debian13.txt
work=$debian13_cache
root=$debian13_root

log() { printf '[debian13 root] %s\n' "$*"; }
mapfile -t wanted < <(sed -e 's/#.*//' "$list" | awk 'NF { print $1 }' | sort -u)

mkdir -p "$work"
exec 9>"$work/.lock"
flock 9

stamp=$( { cat "$0"; echo "${wanted[*]} / $mirror $security_mirror"; } | sha256sum | cut -d' ' -f1)
if [ "${NALO_DEBIAN13_REFRESH:-0}" != 1 ] && [ -f "$work/stamp" ] &&
   [ "$(cat "$work/stamp")" = "$stamp" ] && [ -x "$root/usr/bin/python3" ]; then
  log "reusing $root ($(wc -l < "$work/manifest.txt") packages)"
  echo "$root"
  exit 0
fi

for tool in debootstrap chroot mount unshare; do
  command -v "$tool" > /dev/null || { echo "missing $tool (packages.txt)" >&2; exit 1; }
done

new=$work/root.new
remove_tree "$new"
rm -f "$work/stamp"
t0=$(date +%s)
log "debootstrap trixie ($mirror)"
debootstrap --variant=minbase trixie "$new" "$mirror" > "$work/debootstrap.log" 2>&1 ||
  { tail -20 "$work/debootstrap.log" >&2; exit 1; }
sources_lines trixie > "$new/etc/apt/sources.list"
# No service may start inside the root: it shares the host's network.
printf '#!/bin/sh\nexit 101\n' > "$new/usr/sbin/policy-rc.d"
chmod 755 "$new/usr/sbin/policy-rc.d"
t1=$(date +%s)
log "installing ${#wanted[@]} packages"
in_root "$new" "$project" sh tools/apt-update.sh
in_root "$new" "" sh -c "DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Acquire::Retries=3 \
  --no-install-recommends install ${wanted[*]} && apt-get clean" \
  > "$work/install.log" 2>&1 || { tail -30 "$work/install.log" >&2; exit 1; }
in_root "$new" "" dpkg-query -W -f='${Package}=${Version}\n' > "$work/manifest.txt"
t2=$(date +%s)

remove_tree "$root"
mv "$new" "$root"
echo "$stamp" > "$work/stamp"
log "ready: $(wc -l < "$work/manifest.txt") packages, $(du -sh "$root" | cut -f1);" \
    "debootstrap $((t1 - t0)) s, packages $((t2 - t1)) s"
echo "$root"
