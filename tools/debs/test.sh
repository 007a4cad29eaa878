#!/usr/bin/env bash
# Installs a python3-nalo-sdk package into a fresh minimal image of its
# release and architecture, from the archive, and tests it there
# (tools/debs/in-image.sh: install with apt, smoke test, purge):
#
#   tools/debs/test.sh DEB...
#
# The release comes from the package's version (~deb12: bookworm, ~deb13:
# trixie), the architecture from the package. The image is a copy of the
# cached tarball of tools/debs/image.sh, unpacked anew for every run under
# build/debs/test/<release>-<arch>; apt's downloads and package lists of
# each image kind are kept in $NALO_DEBS_CACHE/apt/<release>-<arch>, so that
# later runs fetch only what changed. Images of this machine's architecture
# run chrooted, others under qemu-user through proot (tools/debs/emulated.sh).
# What a run mounts lives in a mount namespace of its own and vanishes with it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$here/releases.sh"
. "$project/tools/debian13/root-lib.sh"
[ $# -gt 0 ] || { echo "usage: $0 DEB..." >&2; exit 2; }
cache=${NALO_DEBS_CACHE:-/var/cache/nalo-sdk-debs}
flows=$project/tests/data/flows/ha-45sixty-flows.json

test_one() {
  local deb version arch release t0 image root apt inside status=0
  deb=$(realpath "$1")
  version=$(dpkg-deb -f "$deb" Version)
  arch=$(dpkg-deb -f "$deb" Architecture)
  case "$version" in
    *~deb12) release=bookworm ;;
    *~deb13) release=trixie ;;
    *) echo "$deb: version $version names no release (~deb12, ~deb13)" >&2; return 1 ;;
  esac
  t0=$(date +%s)
  image=$("$here/image.sh" "$release" "$arch" | tail -n 1)
  root=$project/build/debs/test/$release-$arch/root
  apt=$cache/apt/$release-$arch
  mkdir -p "$apt/archives/partial" "$apt/lists/partial"
  # One apt at a time in a cache that other runs (another CI lane) share.
  exec 8>"$apt/.lock"
  flock 8
  remove_tree "$root"
  mkdir -p "$root"
  tar -C "$root" -xf "$image"
  inside=/srv/nalo-test
  mkdir -p "$root$inside"
  cp "$deb" "$here/smoke.py" "$here/in-image.sh" "$project/tools/apt-update.sh" "$root$inside/"
  cp "$flows" "$root$inside/flows.json"
  echo "[debs test] $(basename "$deb") in a fresh $release $arch image" \
       "(image ready in $(($(date +%s) - t0)) s)"
  local binds=(--bind "$apt/archives" /var/cache/apt/archives --bind "$apt/lists" /var/lib/apt/lists)
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    in_root "${binds[@]}" "$root" "" /bin/sh "$inside/in-image.sh" || status=$?
  else
    "$here/emulated.sh" "${binds[@]}" "$arch" "$root" /bin/sh "$inside/in-image.sh" || status=$?
  fi
  exec 8>&-
  if [ $status -eq 0 ]; then
    rm -rf "$root"
    echo "[debs test] $(basename "$deb"): passed in $(($(date +%s) - t0)) s" \
         "(apt cache $(du -sh "$apt" | cut -f1))"
  else
    echo "[debs test] $(basename "$deb"): FAILED ($status); the image is left in $root" >&2
  fi
  return $status
}

failed=0
for deb in "$@"; do test_one "$deb" || failed=1; done
exit $failed
