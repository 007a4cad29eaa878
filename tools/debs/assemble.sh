#!/usr/bin/env bash
# Assembles python3-nalo-sdk for an ARM port from a staged cross build
# (tools/arm/build.sh), with the control data of the same release's package
# built from debian/ on this machine (tools/debs/build.sh RELEASE, which must
# have run: its package tree and substitution variables are the reference):
#
#   tools/debs/assemble.sh ARCH RELEASE STAGE_DIR [DIST]
#       ARCH: armhf, armel, arm64; RELEASE: bookworm, trixie
#       STAGE_DIR: the staged package, e.g. build/armhf/python
#
# The package holds the reference's files (kit modules, nalo-sweep, manual
# page, documentation, dist-info, maintainer scripts) with the port's
# compiled modules in place of this machine's, stripped like dh_strip does.
# The staged kit modules must be byte-for-byte the reference's and the
# staged tree must hold nothing else (no demo, test or stale file).
# dpkg-gencontrol writes the control file from debian/control with the
# reference's ${python3:Depends} and ${misc:Depends} (dh_python3 and
# dh_numpy3: interpreter range and NumPy ABI, the same for every port of a
# release) and ${shlibs:Depends} computed by dpkg-shlibdeps from the
# symbols and shlibs files of the port's own libraries: those of the .debs
# that tools/arm/sysroot.sh unpacked, gathered into a dpkg database of
# their own (tools/debs/foreign-dpkg-db.sh). lintian of the release checks
# the result; the package goes to DIST (default dist/).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$here/releases.sh"
usage() { echo "usage: $0 armhf|armel|arm64 bookworm|trixie STAGE_DIR [DIST]" >&2; exit 2; }
[ $# -ge 3 ] || usage
deb_release "$2" || usage
release=$2
DEBIAN=$deb_number . "$project/tools/arm/targets.sh"
DEBIAN=$deb_number arm_target "$1" || usage
stage=$(realpath "$3")
dist=$(realpath -m "${4:-$project/dist}")
host_arch=$(dpkg --print-architecture)
ref=$project/build/debs/$release-$host_arch/src/debian
ref_pkg=$ref/python3-nalo-sdk
work=$project/build/debs/$release-$arch
pkg=$work/python3-nalo-sdk
site=usr/lib/python3/dist-packages
log() { printf '[debs %s-%s] %s\n' "$release" "$arch" "$*"; }

[ -d "$ref_pkg/DEBIAN" ] && [ -f "$ref/python3-nalo-sdk.substvars" ] ||
  { echo "no reference package in $ref: run tools/debs/build.sh $release first" >&2; exit 1; }
[ -d "$arm_sysroot" ] || { echo "no $arch sysroot: run DEBIAN=$deb_number tools/arm/sysroot.sh $arch" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work" "$dist"
cp -a "$ref_pkg" "$pkg"
rm -f "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
# dh_python3's maintainer scripts name the package with its architecture
# (py3compile -p python3-nalo-sdk:amd64): the port's own.
sed -i "s/python3-nalo-sdk:$host_arch\b/python3-nalo-sdk:$arch/g" "$pkg"/DEBIAN/*
! grep -l ":$host_arch\b" "$pkg"/DEBIAN/* ||
  { echo "the maintainer scripts above still name $host_arch" >&2; exit 1; }

# The staged tree against the reference's modules: the same kit modules,
# and for each compiled module of this machine the port's one.
host_suffix=$(find "$pkg/$site" -name '*.so' -print -quit | sed 's/.*\(\.cpython-[^/]*\.so\)$/\1/')
problems=$( (cd "$pkg/$site" && find nalo_sdk -type f | sed "s/$host_suffix\$/$ext_suffix/" | sort) |
  diff - <(cd "$stage" && find nalo_sdk -type f ! -path '*/__pycache__/*' | sort) || true)
[ -z "$problems" ] || { echo "$stage differs from the reference's files (<: reference, >: staged):" >&2
  echo "$problems" >&2; exit 1; }
(cd "$stage" && find nalo_sdk -name '*.py') | while read -r module; do
  cmp -s "$stage/$module" "$pkg/$site/$module" ||
    { echo "$stage/$module is not the reference's: stage the same tree" >&2; exit 1; }
done
find "$pkg/$site" -name "*$host_suffix" -delete
(cd "$stage" && find nalo_sdk -name "*$ext_suffix") | while read -r module; do
  install -m 644 "$stage/$module" "$pkg/$site/$module"
  "$triplet-strip" --remove-section=.comment --remove-section=.note --strip-unneeded \
    "$pkg/$site/$module"
done

# dist-info: the wheel's tag and the hashes of the files it records.
/usr/bin/python3.11 - "$pkg/$site" "$host_suffix" "$ext_suffix" "${wheel_platform:-linux_armv6l}" <<'PY'
import base64, hashlib, pathlib, re, sys

site, host_suffix, port_suffix, platform = pathlib.Path(sys.argv[1]), *sys.argv[2:]
info = next(site.glob("*.dist-info"))
wheel = info / "WHEEL"
wheel.write_text(re.sub(r"(?m)^(Tag: [^-]+-[^-]+)-.*$", rf"\1-{platform}", wheel.read_text()))
record = info / "RECORD"  # Debian 13's dh_python3 leaves none
rows = []
for line in record.read_text().splitlines() if record.exists() else ():
    name = line.rsplit(",", 2)[0].replace(host_suffix, port_suffix)
    path = site / name
    if path.name == "RECORD" or not path.is_file():
        rows.append(f"{name},,")
        continue
    digest = base64.urlsafe_b64encode(hashlib.sha256(path.read_bytes()).digest()).rstrip(b"=")
    rows.append(f"{name},sha256={digest.decode()},{path.stat().st_size}")
if rows:
    record.write_text("\n".join(rows) + "\n")
PY

# ${shlibs:Depends} from the port's own libraries.
db=$("$here/foreign-dpkg-db.sh" "$arch" "$release" | tail -n 1)
mkdir -p "$work/debian"
cp "$ref/control" "$ref/changelog" "$work/debian/"
grep -v '^shlibs:Depends=' "$ref/python3-nalo-sdk.substvars" > "$work/debian/python3-nalo-sdk.substvars"
mapfile -t modules < <(find "$pkg/$site" -name '*.so' | sort)
export DEB_HOST_ARCH=$arch
(cd "$work" && dpkg-shlibdeps --admindir="$db" -Tdebian/python3-nalo-sdk.substvars \
  -l"$arm_sysroot/usr/lib/$triplet" -l"$arm_sysroot/lib/$triplet" "${modules[@]}")
(cd "$work" && dpkg-gencontrol -ppython3-nalo-sdk -P"$pkg" -Tdebian/python3-nalo-sdk.substvars)
unset DEB_HOST_ARCH
(cd "$pkg" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z |
  xargs -0 md5sum > DEBIAN/md5sums)
chmod 644 "$pkg/DEBIAN/md5sums" "$pkg/DEBIAN/control"
# Reproducible: every file dated as the release's changelog entry.
epoch=$(dpkg-parsechangelog -l "$work/debian/changelog" -S Timestamp)
find "$pkg" -newermt "@$epoch" -exec touch -h -d "@$epoch" {} +
version=$(sed -n 's/^Version: //p' "$pkg/DEBIAN/control")
deb=$work/python3-nalo-sdk_${version}_$arch.deb
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" > /dev/null

status=0
rel=${deb#"$project"/}
if [ "$release" = bookworm ]; then
  (cd "$project" && lintian --fail-on error,warning "$rel") > "$work/lintian.txt" 2>&1 || status=$?
else
  "$project/tools/debian13/run.sh" lintian --fail-on error,warning "$rel" > "$work/lintian.txt" 2>&1 || status=$?
fi
grep -v 'running with root privileges' "$work/lintian.txt" | sed 's/^/  lintian: /' || true
[ $status -eq 0 ] || { log "lintian failed ($status)"; exit 1; }
rm -f "$dist"/python3-nalo-sdk_*~deb"$deb_number"_"$arch".deb
cp "$deb" "$dist/"
log "$dist/$(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"
log "$(dpkg-deb -f "$deb" Depends)"
