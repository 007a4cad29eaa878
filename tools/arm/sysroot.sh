#!/usr/bin/env bash
# Assembles a Debian userland for an ARM target (armhf, armel or arm64; Debian
# 12 or 13 as $DEBIAN says, see targets.sh) out of Debian's own packages, for
# building against and for running the test suite under qemu-user. The host's
# dpkg is never touched: a private apt configuration resolves and downloads
# the packages, and each .deb is unpacked with dpkg-deb, so no maintainer
# script runs (the few things they would have done are done here).
#
#   [DEBIAN=12|13] tools/arm/sysroot.sh armhf|armel|arm64
#
# Everything lives in the target's cache directory ($NALO_ARM_CACHE/<arch>, or
# <arch>-debian13; default /var/cache/nalo-sdk-arm), outside any clone, so
# later runs and other clones reuse it:
#   sysroot/                   the target tree (merged /usr, no tmp/)
#   bin/python3.X-<arch>       the target interpreter under qemu-user (a link
#                              to the script in sysroot/usr/bin)
#   <isa>-<arch>.cross         meson cross file for our instruction set
#                              (armv6-armhf.cross, armv8-arm64.cross, ...)
#   manifest.txt               exact package versions in the sysroot
#   apt/                       private apt state and the downloaded .debs
#
# The packages: tools/arm/sysroot-packages.txt (the entries for every release
# and those for this one) and the python3-* entries of the project's
# packages.txt, with their dependencies, less tools/arm/sysroot-skip.txt and
# the project's programs.
#
# An existing sysroot is reused without any network access while the package
# lists and this script are unchanged; NALO_ARM_REFRESH=1 re-resolves against
# the archive (point and security updates) and unpacks again if anything moved.
# The archive is this machine's (tools/apt-archive.sh: DEBIAN_MIRROR and
# DEBIAN_SECURITY_MIRROR may point at a snapshot to pin it); a -security or
# -updates suite caught mid-sync is left out (tools/apt-update.sh).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/targets.sh"
. "$here/../apt-archive.sh"
arm_target "${1:-}" || { echo "usage: [DEBIAN=12|13] $0 armhf|armel|arm64" >&2; exit 2; }
work=$arm_work
sysroot=$arm_sysroot
apt_dir=$work/apt
debs=$apt_dir/debs
debian_archive
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
host_python=/usr/bin/python3.11

log() { printf '[sysroot %s, Debian %s] %s\n' "$arch" "$debian" "$*"; }
# A list's entries: the first word of each line. A line with more words
# holds for the releases (codenames) named after the package only.
list_items() {
  sed -e 's/#.*//' "$@" |
    awk -v suite="$suite" 'NF { ok = NF == 1; for (i = 2; i <= NF; i++) ok = ok || $i == suite; if (ok) print $1 }'
}

# The target gets our own list plus every Python package that the project
# lists for itself (what the test suite imports), and never one of the
# project's programs (servers, build tools): those the emulated interpreter
# runs as host programs, and a target copy would shadow them.
project_list=$here/../../packages.txt
# Its python3-*-dev entries are headers for building Debian packages on the
# host, not modules.
mapfile -t wanted < <({ list_items "$here/sysroot-packages.txt"; list_items "$project_list" | grep '^python3-' | grep -v -- '-dev$'; } | sort -u)
mapfile -t skipped < <({ list_items "$here/sysroot-skip.txt"; list_items "$project_list" | grep -vE '^(python3|lib)'; } | sort -u)

mkdir -p "$work"
exec 9>"$work/.lock"
flock 9

# Anything that changes what the sysroot holds invalidates it. Of the skipped
# packages only those in the dependency closure count: a program added to the
# project's packages.txt (a host tool) leaves the sysroots as they are.
stamp_of() {
  local closure=$1 in_closure=()
  if [ -f "$closure" ]; then
    mapfile -t in_closure < <(printf '%s\n' "${skipped[@]}" | grep -Fx -f <(cut -d' ' -f1 "$closure") || true)
  fi
  { cat "$0" "$here/targets.sh"; echo "${wanted[*]} / ${in_closure[*]} / $mirror $security_mirror"; } |
    sha256sum | cut -d' ' -f1
}
stamp=$(stamp_of "$work/closure.txt")

target_python=usr/bin/python$py_version
wrapper=$sysroot/usr/bin/python$py_version-$arch
cross=$arm_cross

# Writes $2 to file $1 only when it differs, so that meson build directories
# configured from it are not invalidated by a rerun.
write_if_changed() {
  local tmp
  tmp=$(mktemp "$1.XXXXXX")
  printf '%s' "$2" > "$tmp"
  if cmp -s "$tmp" "$1"; then rm -f "$tmp"; else mv -f "$tmp" "$1"; fi
}

write_wrapper_and_cross_file() {
  # The interpreter starts through its sysroot path and is told (qemu's -0)
  # that it is this script, which sits next to it: its prefix is then the
  # sysroot's /usr, so no Python file can come from the host's
  # /usr/lib/python3.X, and sys.executable is a program that the emulated
  # process can itself run (a host shell script; an ARM binary cannot be
  # exec'ed without binfmt), so tests that start a child interpreter work.
  # QEMU_CPU overrides the CPU model.
  write_if_changed "$wrapper" "#!/bin/sh
# The $arch target interpreter (Debian $debian), emulated (written by tools/arm/sysroot.sh).
exec $qemu -cpu \"\${QEMU_CPU:-$qemu_cpu}\" -0 '$wrapper' -L '$sysroot' '$sysroot/$target_python' \"\$@\"
"
  chmod 755 "$wrapper"
  mkdir -p "$work/bin"
  ln -sfn "$wrapper" "$arm_python"
  # NumPy 2 moved its C headers from numpy/core to numpy/_core.
  local numpy_include=usr/lib/python3/dist-packages/numpy/_core/include
  [ -d "$sysroot/$numpy_include" ] || numpy_include=usr/lib/python3/dist-packages/numpy/core/include
  write_if_changed "$cross" "$(arm_cross_file "$sysroot" "$wrapper" "$numpy_include")
"
}

# emulated ROOT ARGS... : the target interpreter of the tree ROOT (the sysroot
# or the one being assembled)
emulated() {
  local root=$1
  shift
  "$qemu" -cpu "$qemu_cpu" -L "$root" "$root/$target_python" "$@"
}

smoke_test() {
  "$wrapper" -c 'import platform, sys, numpy, cv2, pytest, hypothesis, redis
print(platform.machine(), sys.version.split()[0], "numpy", numpy.__version__, "cv2", cv2.__version__)'
}

# The sysroot in place was made by this script from these lists.
current=false
if [ -f "$work/stamp" ] && [ "$(cat "$work/stamp")" = "$stamp" ] && [ -x "$sysroot/$target_python" ]; then
  current=true
fi
if $current && [ "${NALO_ARM_REFRESH:-0}" != 1 ]; then
  write_wrapper_and_cross_file
  "$wrapper" -c pass || { echo "cached sysroot $sysroot does not start" >&2; exit 1; }
  log "reusing $sysroot ($(wc -l < "$work/manifest.txt") packages)"
  exit 0
fi

for tool in "$qemu" dpkg-deb apt-get "$host_python"; do
  command -v "$tool" > /dev/null || { echo "missing $tool (packages.txt)" >&2; exit 1; }
done
[ -r "$keyring" ] || { echo "missing $keyring (debian-archive-keyring)" >&2; exit 1; }

# --- private apt: own state, empty dpkg status, target architecture --------
mkdir -p "$apt_dir"/{etc/apt.conf.d,etc/preferences.d,state/lists/partial,cache/archives/partial,log} "$debs"
: > "$apt_dir/state/status"
sources_options="[signed-by=$keyring]" sources_lines "$suite" > "$apt_dir/etc/sources.list"
{
  cat <<EOF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Sandbox::User "root";
Dir::State "$apt_dir/state";
Dir::State::status "$apt_dir/state/status";
Dir::Cache "$apt_dir/cache";
Dir::Etc "$apt_dir/etc";
Dir::Etc::Parts "$apt_dir/etc/apt.conf.d";
Dir::Log "$apt_dir/log";
Acquire::Languages "none";
Acquire::Retries "3";
EOF
  # The host's way of reaching the archive (proxies, date checks) still holds;
  # its hooks and other settings do not belong to this private setup.
  apt-config dump 2>/dev/null |
    grep -E '^Acquire::(https?::Proxy|ftp::Proxy|Check-Valid-Until|Check-Date|Retries|ForceIPv4|ForceIPv6)' || true
} > "$apt_dir/apt.conf"
export APT_CONFIG=$apt_dir/apt.conf

t0=$(date +%s)
log "apt update ($mirror)"
sh "$here/../apt-update.sh" -o Dpkg::Use-Pty=0

# The whole dependency closure, as if nothing were installed.
apt-get -q -s install "${wanted[@]}" > "$apt_dir/log/resolve.log"
# "Inst NAME (VERSION ORIGIN... [ARCH])", sometimes followed by " []"
sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*\[\([a-z0-9][a-z0-9]*\)\]).*/\1 \2 \3/p' "$apt_dir/log/resolve.log" |
  sort > "$work/closure.txt"
[ -s "$work/closure.txt" ] || { echo "apt resolved nothing: see $apt_dir/log/resolve.log" >&2; exit 1; }
stamp=$(stamp_of "$work/closure.txt")
declare -A skip=()
for p in "${skipped[@]}"; do skip[$p]=1; done
: > "$work/manifest.new"
files=()
while read -r name version pkg_arch; do
  [ -n "${skip[$name]:-}" ] && continue
  echo "$name=$version" >> "$work/manifest.new"
  files+=("${name}_${version//:/%3a}_${pkg_arch}.deb")
done < "$work/closure.txt"

# Download what is not cached yet; drop .debs that left the closure.
cd "$debs"
missing=()
while read -r entry; do
  name=${entry%%=*}; version=${entry#*=}
  ls "${name}_${version//:/%3a}_"*.deb > /dev/null 2>&1 || missing+=("$entry")
done < "$work/manifest.new"
if [ ${#missing[@]} -gt 0 ]; then
  log "downloading ${#missing[@]} of $(wc -l < "$work/manifest.new") packages"
  if ! apt-get -q download "${missing[@]}" > "$apt_dir/log/download.log" 2>&1; then
    # What the archive failed to serve (a port's pool can lag behind its
    # index): the closure cannot be assembled without these files.
    lacking=$(sed -n 's|^E: Failed to fetch .*/\([^/ ]*\.deb\) *\(.*\)$|  \1 (\2)|p' "$apt_dir/log/download.log" |
              sed 's/%2[bB]/+/g; s/%7[eE]/~/g; s/%3[aA]/:/g')
    if [ -n "$lacking" ]; then
      echo "the archive did not serve $(grep -c . <<< "$lacking") .deb(s) of the $arch $suite closure:" >&2
      echo "$lacking" >&2
    else
      tail -20 "$apt_dir/log/download.log" >&2
    fi
    echo "(full log: $apt_dir/log/download.log; the port's pool lags its index: retry later with NALO_ARM_REFRESH=1, or pin a complete snapshot with DEBIAN_MIRROR/DEBIAN_SECURITY_MIRROR)" >&2
    exit 1
  fi
fi
declare -A keep=()
for f in "${files[@]}"; do keep[$f]=1; done
for f in *.deb; do [ -n "${keep[$f]:-}" ] || rm -f "$f"; done
for f in "${files[@]}"; do [ -f "$f" ] || { echo "download lost $f" >&2; exit 1; }; done
t1=$(date +%s)

if $current && cmp -s "$work/manifest.new" "$work/manifest.txt"; then
  rm -f "$work/manifest.new"
  write_wrapper_and_cross_file
  smoke_test
  echo "$stamp" > "$work/stamp"
  log "archive unchanged: keeping $sysroot"
  exit 0
fi

# --- unpack -----------------------------------------------------------------
new=$work/sysroot.new
rm -rf "$new"
# Debian's merged /usr (since bookworm): /bin, /sbin and /lib are links into /usr. There is
# no tmp/: qemu looks paths up in the sysroot first, and an empty tmp/ there
# would split /tmp in two (files created on the host's, listings of ours).
mkdir -p "$new/usr/bin" "$new/usr/sbin" "$new/usr/lib"
ln -s usr/bin "$new/bin"; ln -s usr/sbin "$new/sbin"; ln -s usr/lib "$new/lib"
log "unpacking ${#files[@]} packages"
export new
# shellcheck disable=SC2016 # the inner shell expands them
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 16 sh -c '
  for deb do
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$new" --keep-directory-symlink \
      --exclude=./usr/share/doc --exclude=./usr/share/man --exclude=./usr/share/info \
      --exclude=./usr/share/locale --exclude=./usr/share/lintian --exclude=./tmp || exit 255
  done' sh
rm -rf "$new/tmp"
t2=$(date +%s)

# --- what the maintainer scripts would have done ------------------------------
# BLAS/LAPACK are reached through update-alternatives links that numpy needs.
libdir=$new/usr/lib/$triplet
for lib in blas lapack; do
  if [ -e "$libdir/$lib/lib$lib.so.3" ] && [ ! -e "$libdir/lib$lib.so.3" ]; then
    ln -s "$lib/lib$lib.so.3" "$libdir/lib$lib.so.3"
  fi
done
# Debian ships no bytecode (its postinst compiles it). Without it every
# emulated run would compile numpy and OpenCV's Python parts from source,
# since PYTHONDONTWRITEBYTECODE is set. Bytecode does not depend on the
# architecture but on the CPython version (its magic number): the host's
# interpreter writes it when it is the same version (fast), the emulated
# target interpreter otherwise (Python 3.13 on this Debian 12 host: some 35 s
# for numpy, OpenCV and the standard library on arm64). The emulated one
# compiles in one process: its worker pool would start a helper through
# sys.executable, an ARM program here, and is no faster under qemu anyway.
magic='import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())'
if [ "$("$host_python" -c "$magic")" = "$(emulated "$new" -c "$magic")" ]; then
  compiler=("$host_python" -m compileall -j 0)
else
  compiler=(emulated "$new" -m compileall)
fi
log "byte-compiling with ${compiler[*]}"
"${compiler[@]}" -q "$new/usr/lib/python$py_version" "$new/usr/lib/python3/dist-packages" \
  > "$apt_dir/log/compileall.log" 2>&1 || true
t3=$(date +%s)

rm -rf "$sysroot.old"
[ -d "$sysroot" ] && mv "$sysroot" "$sysroot.old"
mv "$new" "$sysroot"
rm -rf "$sysroot.old"
mv "$work/manifest.new" "$work/manifest.txt"

write_wrapper_and_cross_file
smoke_test
echo "$stamp" > "$work/stamp"
t4=$(date +%s)
log "ready: $(wc -l < "$work/manifest.txt") packages, $(du -sh "$sysroot" | cut -f1) sysroot," \
    "$(du -sh "$debs" | cut -f1) of .debs; resolve+download $((t1 - t0)) s, unpack $((t2 - t1)) s," \
    "fix-ups (byte-compiling) $((t3 - t2)) s, smoke test $((t4 - t3)) s"
