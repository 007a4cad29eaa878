#!/usr/bin/env bash
# Builds the binary package python3-nalo-sdk from debian/ for one Debian
# release on this machine's architecture, offline, and checks it with that
# release's lintian:
#
#   tools/debs/build.sh bookworm|trixie [DIST]
#
# bookworm builds on this (Debian 12) machine; trixie inside the Debian 13
# root (tools/debian13). The tree as it is in the checkout (tracked and new
# files, not ignored ones) is copied to build/debs/<release>-<arch>/src, so
# that the two releases can build at once and no build output lands in the
# checkout. The copy's changelog gets an entry of the release's own version,
# <version>~deb12 or ~deb13, so that both packages can sit side by side in
# DIST (default dist/). lintian's report goes beside the copy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$here/releases.sh"
release=${1:-}
deb_release "$release" || { echo "usage: $0 bookworm|trixie [DIST]" >&2; exit 2; }
dist=$(realpath -m "${2:-$project/dist}")
arch=$(dpkg --print-architecture)
work=$project/build/debs/$release-$arch
log() { printf '[debs %s-%s] %s\n' "$release" "$arch" "$*"; }
if [ "$release" = bookworm ] && ! grep -qx 'VERSION_ID="12"' /etc/os-release; then
  echo "the bookworm package is built on a Debian 12 machine" >&2
  exit 1
fi

# Runs a command on the release's own system, in the checkout, with that
# system's own programs only (not another python3 first on PATH).
on_release() {
  if [ "$release" = bookworm ]; then
    (cd "$project" && env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$HOME" LANG=C.UTF-8 "$@")
  else
    "$project/tools/debian13/run.sh" "$@"
  fi
}

t0=$(date +%s)
rm -rf "$work"
mkdir -p "$work/src" "$dist"
(cd "$project" && git ls-files -z --cached --others --exclude-standard |
  xargs -0 -r sh -c 'for f; do [ ! -e "$f" ] || printf "%s\0" "$f"; done' sh |
  tar -c --null -T - -f -) | tar -x -C "$work/src"

# The release's changelog entry, dated a minute after the newest one: the
# same in every build of the same tree (reproducible), and newer.
changelog=$work/src/debian/changelog
base=$(dpkg-parsechangelog -l "$changelog" -S Version)
source=$(dpkg-parsechangelog -l "$changelog" -S Source)
stamp=$(date -u -R -d "@$(($(dpkg-parsechangelog -l "$changelog" -S Timestamp) + 60))")
maintainer=$(dpkg-parsechangelog -l "$changelog" -S Maintainer)
version=$base~deb$deb_number
{
  printf '%s (%s) %s; urgency=medium\n\n' "$source" "$version" "$release"
  printf '  * Build for Debian %s (%s).\n\n' "$deb_number" "$release"
  printf ' -- %s  %s\n\n' "$maintainer" "$stamp"
  cat "$changelog"
} > "$changelog.new"
mv "$changelog.new" "$changelog"

log "dpkg-buildpackage $version"
rel=${work#"$project"/}
on_release env DEB_BUILD_OPTIONS="noddebs ${DEB_BUILD_OPTIONS:-}" \
  sh -c 'cd "$1" && exec dpkg-buildpackage -b -us -uc' sh "$rel/src" > "$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; log "failed: $work/build.log"; exit 1; }
deb=python3-nalo-sdk_${version}_$arch.deb
[ -f "$work/$deb" ] || { log "no $deb in $work"; exit 1; }
t1=$(date +%s)

# lintian of the release: any error or warning fails the build (explained
# exceptions are in debian/python3-nalo-sdk.lintian-overrides).
status=0
on_release lintian --fail-on error,warning --display-info "$rel/$deb" > "$work/lintian.txt" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.txt" | sed 's/^/  lintian: /' || true
[ $status -eq 0 ] || { log "lintian failed ($status)"; exit 1; }

rm -f "$dist"/python3-nalo-sdk_*~deb"${deb_number}"_"$arch".deb
cp "$work/$deb" "$dist/"
log "$dist/$deb ($(du -k "$work/$deb" | cut -f1) KiB; build $((t1 - t0)) s, lintian $(($(date +%s) - t1)) s)"
log "$(dpkg-deb -f "$work/$deb" Depends)"
