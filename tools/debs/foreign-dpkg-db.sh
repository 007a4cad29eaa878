#!/usr/bin/env bash
# Makes a dpkg database of an ARM port's libraries for dpkg-shlibdeps
# (tools/debs/assemble.sh) and prints its path as the last line:
#
#   tools/debs/foreign-dpkg-db.sh armhf|armel|arm64 bookworm|trixie
#
# tools/arm/sysroot.sh unpacks the port's .debs without dpkg, so the sysroot
# has no record of which package holds a library nor of the libraries'
# symbols and shlibs files. They are taken from those very .debs: each one
# that ships a symbols or shlibs file is entered as installed, with its
# files listed at their paths in the sysroot (at both sides of the merged
# /usr), so that `dpkg-shlibdeps --admindir` finds the package of a library
# found in the sysroot and reads its dependency information. Cached in
# $NALO_DEBS_CACHE/dpkg-db/<release>-<arch>, made anew when the sysroot's
# .debs change.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$here/releases.sh"
deb_release "${2:-}" || { echo "usage: $0 ARCH bookworm|trixie" >&2; exit 2; }
release=$2
DEBIAN=$deb_number . "$project/tools/arm/targets.sh"
DEBIAN=$deb_number arm_target "${1:-}" || { echo "usage: $0 armhf|armel|arm64 RELEASE" >&2; exit 2; }
debs=$arm_work/apt/debs
db=${NALO_DEBS_CACHE:-/var/cache/nalo-sdk-debs}/dpkg-db/$release-$arch

shopt -s nullglob
all=("$debs"/*.deb)
[ ${#all[@]} -gt 0 ] || { echo "no .debs in $debs: run DEBIAN=$deb_number tools/arm/sysroot.sh $arch" >&2; exit 1; }
stamp=$( { cat "$0"; echo "$arm_sysroot"; printf '%s\n' "${all[@]##*/}"; } | sha256sum | cut -d' ' -f1)
if [ -f "$db/stamp" ] && [ "$(cat "$db/stamp")" = "$stamp" ]; then
  echo "$db"
  exit 0
fi

rm -rf "$db"
mkdir -p "$db/info" "$db/updates"
echo 1 > "$db/info/format"
: > "$db/status"
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
count=0
for deb in "${all[@]}"; do
  rm -rf "${control:?}"/*
  dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$control" --wildcards --no-anchored symbols shlibs 2>/dev/null || true
  [ -f "$control/symbols" ] || [ -f "$control/shlibs" ] || continue
  name=$(dpkg-deb -f "$deb" Package)
  [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] && name=$name:$arch
  { dpkg-deb -f "$deb" Package Version Architecture Multi-Arch Maintainer Description |
      sed '1a Status: install ok installed'; echo; } >> "$db/status"
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./\(..*\)$|/\1|p' | sed 's|/$||' |
    awk -v root="$arm_sysroot" '{ print root $0 } /^\/(lib|bin|sbin)\// { print root "/usr" $0 }' \
    > "$db/info/$name.list"
  for file in symbols shlibs; do
    [ -f "$control/$file" ] && cp "$control/$file" "$db/info/$name.$file"
  done
  count=$((count + 1))
done
echo "$stamp" > "$db/stamp"
echo "[debs] dpkg database of $count $arch library packages of $release in $db" >&2
echo "$db"
