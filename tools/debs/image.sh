#!/usr/bin/env bash
# Prepares a minimal image of a Debian release and architecture for the
# package tests (tools/debs/test.sh) and prints the path of its tarball:
#
#   tools/debs/image.sh bookworm|trixie [ARCH]
#
# debootstrap --variant=minbase of the release, with its updates and security
# suites, a policy-rc.d that keeps every service from starting, and apt told
# to keep what it downloads. ARCH defaults to this machine's; another
# architecture (armhf, armel, arm64) is made with debootstrap --foreign and
# its second stage run under qemu-user through proot (tools/debs/emulated.sh),
# which needs no binfmt registration on this machine.
#
# The tarball lives in $NALO_DEBS_CACHE (default /var/cache/nalo-sdk-debs)
# and is reused offline while this script is unchanged;
# NALO_DEBS_REFRESH=1 makes it anew. debootstrap's downloads are kept there
# too. The archive is this machine's (tools/apt-archive.sh: DEBIAN_MIRROR and
# DEBIAN_SECURITY_MIRROR may point at a snapshot).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/releases.sh"
. "$here/../debian13/root-lib.sh"
. "$here/../apt-archive.sh"
release=${1:-}
arch=${2:-$(dpkg --print-architecture)}
deb_release "$release" || { echo "usage: $0 bookworm|trixie [ARCH]" >&2; exit 2; }
debian_archive
cache=${NALO_DEBS_CACHE:-/var/cache/nalo-sdk-debs}
name=$release-$arch
image=$cache/images/$name.tar
log() { printf '[debs image %s] %s\n' "$name" "$*"; }

mkdir -p "$cache/images" "$cache/debootstrap/$name"
exec 9>"$cache/images/.$name.lock"
flock 9

foreign=false
[ "$arch" = "$(dpkg --print-architecture)" ] || foreign=true
stamp=$( { cat "$0"; $foreign && cat "$here/emulated.sh"; echo "$mirror $security_mirror"; } |
  sha256sum | cut -d' ' -f1)
if [ "${NALO_DEBS_REFRESH:-0}" != 1 ] && [ -f "$image" ] &&
   [ "$(cat "$image.stamp" 2>/dev/null)" = "$stamp" ]; then
  log "reusing $image ($(du -h "$image" | cut -f1))"
  echo "$image"
  exit 0
fi

new=$cache/images/$name.new
remove_tree "$new"
rm -f "$image" "$image.stamp"
t0=$(date +%s)
log "debootstrap --variant=minbase $release ($arch, $mirror)"
if $foreign; then
  debootstrap --variant=minbase --arch="$arch" --foreign --cache-dir="$cache/debootstrap/$name" \
    "$release" "$new" "$mirror" > "$cache/images/$name.log" 2>&1 ||
    { tail -20 "$cache/images/$name.log" >&2; exit 1; }
  # proot binds this machine's /proc where the first stage left a link.
  rm -f "$new/proc"
  mkdir -p "$new/proc"
  log "second stage under emulation"
  "$here/emulated.sh" "$arch" "$new" DEBOOTSTRAP_DIR=/debootstrap /debootstrap/debootstrap --second-stage \
    >> "$cache/images/$name.log" 2>&1 || { tail -20 "$cache/images/$name.log" >&2; exit 1; }
else
  debootstrap --variant=minbase --cache-dir="$cache/debootstrap/$name" \
    "$release" "$new" "$mirror" > "$cache/images/$name.log" 2>&1 ||
    { tail -20 "$cache/images/$name.log" >&2; exit 1; }
fi
rm -f "$new/etc/apt/sources.list.d/debian.sources"
sources_lines "$release" > "$new/etc/apt/sources.list"
# The image shares this machine's network and process table: no package's
# service may start by itself. The tests start what they need by hand.
printf '#!/bin/sh\nexit 101\n' > "$new/usr/sbin/policy-rc.d"
chmod 755 "$new/usr/sbin/policy-rc.d"
# The package caches are bind-mounted from this machine (owned by root): apt
# keeps what it downloads there and reads them as root.
cat > "$new/etc/apt/apt.conf.d/90nalo-test" <<'CONF'
APT::Sandbox::User "root";
Binary::apt::APT::Keep-Downloaded-Packages "true";
APT::Keep-Downloaded-Packages "true";
CONF
rm -rf "$new"/var/cache/apt/archives/*.deb "$new"/var/lib/apt/lists/*_Packages
tar -C "$new" -cf "$image.part" .
mv "$image.part" "$image"
rm -rf "$new"
echo "$stamp" > "$image.stamp"
log "ready: $(du -h "$image" | cut -f1) in $(($(date +%s) - t0)) s"
echo "$image"
