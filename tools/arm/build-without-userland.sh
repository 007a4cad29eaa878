#!/usr/bin/env bash
# Cross-builds and gates a port's modules when the archive does not serve the
# port's whole userland (so tools/arm/sysroot.sh cannot assemble it, and
# nothing of the port can run): the compiler needs only the port's Python and
# NumPy headers, taken from the .debs that did download. meson learns the
# port's extension suffix and paths from the port's own sysconfig data, read
# by the interpreter of another port of the same release and Python (armhf
# for armel: both 32-bit ARM), under emulation.
#
#   [DEBIAN=13] tools/arm/build-without-userland.sh armel [BUILD_DIR]
#
# The result is built and gated like any other build (build.sh), but not
# tested: that needs the userland.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/targets.sh"
arm_target "${1:-}" || { echo "usage: [DEBIAN=12|13] $0 armel [BUILD_DIR]" >&2; exit 2; }
[ "$arch" = armel ] || { echo "$0: only armel has a port that can read its sysconfig data" >&2; exit 2; }
build_dir=$(realpath -m "${2:-$root/$arm_build}")
debs=$arm_work/apt/debs
headers=$arm_work/headers
lib=usr/lib/python$py_version
reader_python=$NALO_ARM_CACHE/armhf${arm_work##*/armel}/bin/python$py_version-armhf
[ -x "$reader_python" ] || { echo "no armhf interpreter of Debian $debian: DEBIAN=$debian make sysroot-armhf" >&2; exit 1; }

# The port's Python and NumPy headers, pkg-config files and sysconfig data.
rm -rf "$headers"
mkdir -p "$headers"
for package in libpython$py_version-dev libpython$py_version-minimal python3-numpy-dev python3-numpy; do
  deb=$(ls "$debs/${package}_"*"_$arch.deb" 2>/dev/null | head -1)
  [ -n "$deb" ] || { echo "$package ($arch) was not downloaded: run DEBIAN=$debian tools/arm/sysroot.sh $arch first" >&2; exit 1; }
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$headers" --keep-directory-symlink \
    --wildcards './usr/include/*' './usr/lib/*/pkgconfig/*' "./$lib/_sysconfigdata_*" \
    './usr/lib/python3/dist-packages/numpy/_core/include/*' './usr/lib/python3/dist-packages/numpy/core/include/*' \
    './usr/lib/*/python3-numpy/*' 2>/dev/null || true
done
sysconfigdata=$(cd "$headers/$lib" && ls _sysconfigdata__linux_"$triplet".py)
reader=$arm_work/bin/python$py_version-$arch-sysconfig
mkdir -p "$arm_work/bin"
cat > "$reader" <<WRAPPER
#!/bin/sh
# Python $py_version of armhf reading the sysconfig data of $arch (tools/arm/build-without-userland.sh).
_PYTHON_SYSCONFIGDATA_NAME=${sysconfigdata%.py} PYTHONPATH='$headers/$lib' exec '$reader_python' "\$@"
WRAPPER
chmod 755 "$reader"
cross=$arm_work/$isa-$arch-headers.cross
arm_cross_file "$headers" "$reader" > "$cross"
NALO_ARM_CROSS=$cross "$here/build.sh" "$arch" "$build_dir"
