# shellcheck shell=bash disable=SC2034 # the variables are for the scripts that source it
# The ARM targets, in one place: sourced by every script in tools/arm. Bash.
#
#   . tools/arm/targets.sh
#   arm_target armhf|armel|arm64 || usage...
#
# The Debian release of the target userland is $DEBIAN: 12 (bookworm, Python
# 3.11, the default) or 13 (trixie, Python 3.13). arm_target fails for any
# other value, as for an unknown port.
#
# arm_target sets, for the port named:
#   arch          Debian's name of the port (armhf, armel, arm64)
#   triplet       the cross toolchain's prefix (arm-linux-gnueabihf, ...)
#   isa           the instruction set of our code: armv6 (ARMv6KZ + VFPv2)
#                 or armv8 (ARMv8.0-A)
#   march_flags   the compiler flags that select it (an array)
#   float_abi     32-bit ports: the float ABI of our code, hard (VFP argument
#                 registers) or softfp (VFP code, core-register calling
#                 convention); empty on arm64, which has one ABI
#   gate          the instruction-set gate for our modules (an array: the
#                 script and its options; the files go after it)
#   armv6_crt     true when our start-file stand-in replaces the toolchain's
#   qemu          the qemu-user binary for the port
#   qemu_cpu      the CPU model that the port's userland runs on: armhf's
#                 userland is ARMv7, so qemu's default (max); armel runs on
#                 the ARMv6 boards' own model (arm1176); arm64 on the oldest
#                 64-bit boards' core (cortex-a53, ARMv8.0-A)
#   meson_cpu_family, meson_cpu   the cross file's [host_machine]
#   wheel_platform  the platform tag of the port's wheel; empty for armel,
#                 which is a test-only build
#   debian, suite, py_version   the release: 12 bookworm 3.11 or 13 trixie 3.13
#   ext_suffix    the file name suffix of the port's extension modules
#   arm_work      the cache directory: $NALO_ARM_CACHE/<arch> for Debian 12
#                 (where the first sysroots were made), <arch>-debian13 for 13
#   arm_sysroot   the unpacked userland in it
#   arm_python    the emulated target interpreter
#   arm_cross     the meson cross file
#   arm_build     the default build directory, relative to the project root:
#                 build/<arch>, build/<arch>-debian13
#
# NALO_ARM_CACHE (default /var/cache/nalo-sdk-arm) lives outside any clone, so
# that other clones and later runs reuse the sysroots.

NALO_ARM_CACHE=${NALO_ARM_CACHE:-/var/cache/nalo-sdk-arm}
ARM_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ARM_ARCHES=(armhf armel arm64)
# ARM1176JZF-S: ARMv6KZ with VFPv2 and no NEON. ARM state only: ARMv6 has no
# Thumb-2, and Thumb-1 code would buy nothing but interworking trouble.
ARM_MARCH=armv6kz+fp
# Cortex-A53 (the oldest 64-bit boards): ARMv8.0-A with FP and Advanced SIMD,
# without the optional crypto and CRC32 instructions, which not every such
# board has.
ARM64_MARCH=armv8-a

arm_target() {
  case "${1:-}" in
    armhf | armel)
      isa=armv6
      qemu='qemu-arm-static'
      # The toolchain's start files are ARMv7 Thumb-2 on armhf; on armel they
      # are ARMv5TE, but linking our stand-in there too makes the ARM1176 run
      # execute the code we ship.
      armv6_crt=true
      meson_cpu_family=arm
      meson_cpu=arm1176jzf-s
      ;;&
    armhf)
      triplet=arm-linux-gnueabihf float_abi=hard qemu_cpu=max wheel_platform=linux_armv6l
      ;;
    # The soft-float-ABI port is the one whose userland runs on the ARM1176
    # model, the boards' own CPU; our code still computes with VFP (softfp).
    armel)
      triplet=arm-linux-gnueabi float_abi=softfp qemu_cpu=arm1176 wheel_platform=''
      ;;
    # The toolchain's start files are plain ARMv8.0-A code: no stand-in.
    arm64)
      triplet=aarch64-linux-gnu isa=armv8 float_abi='' qemu=qemu-aarch64-static qemu_cpu=cortex-a53
      armv6_crt=false meson_cpu_family=aarch64 meson_cpu=cortex-a53 wheel_platform=linux_aarch64
      ;;
    *) return 1 ;;
  esac
  arch=$1
  if [ "$isa" = armv6 ]; then
    march_flags=("-march=$ARM_MARCH" -mfpu=vfp "-mfloat-abi=$float_abi" -marm)
    gate=("$ARM_TOOLS/check-armv6.sh" --float-abi "$float_abi")
  else
    march_flags=("-march=$ARM64_MARCH")
    gate=("$ARM_TOOLS/check-arm64.sh")
  fi

  debian=${DEBIAN:-12}
  local tail=
  case "$debian" in
    12) suite=bookworm py_version=3.11 ;;
    13) suite=trixie py_version=3.13 tail=-debian13 ;;
    *) echo "DEBIAN=$debian: the target releases are 12 and 13" >&2; return 1 ;;
  esac
  ext_suffix=.cpython-${py_version/./}-$triplet.so
  arm_work=$NALO_ARM_CACHE/$arch$tail
  arm_sysroot=$arm_work/sysroot
  arm_python=$arm_work/bin/python$py_version-$arch
  arm_cross=$arm_work/$isa-$arch.cross
  arm_build=build/$arch$tail
}

# arm_cross_file SYSROOT PYTHON [NUMPY_INCLUDE]: prints the meson cross file
# of the port set by arm_target, for building against the tree SYSROOT with
# the target interpreter PYTHON. Without NUMPY_INCLUDE the tree is headers
# only (nothing of the port can run): no exe_wrapper then, so meson runs
# none of the programs it builds to check the compilers.
arm_cross_file() {
  local sysroot=$1 python=$2 numpy_include=${3:-} what flags
  if [ "$isa" = armv6 ]; then
    what="ARMv6KZ + VFPv2 ($arch, float ABI $float_abi)"
  else
    what="ARMv8.0-A ($arch)"
  fi
  flags=$(printf "'%s', " "${march_flags[@]}")
  # -nostartfiles and the start-file stand-in are not here but in the project
  # (option armv6_crt): as link arguments here they would also apply to
  # meson's sanity-check executables, which need the real start files.
  cat <<CROSS
# $what against $sysroot (Debian $debian).
# Written by tools/arm; regenerated on every run.
[constants]
sysroot = '$sysroot'
arch = [${flags%, }]

[binaries]
c = '$triplet-gcc'
cpp = '$triplet-g++'
ar = '$triplet-ar'
strip = '$triplet-strip'
objdump = '$triplet-objdump'
readelf = '$triplet-readelf'
pkgconfig = 'pkg-config'
python = '$python'
CROSS
  [ -n "$numpy_include" ] && echo "exe_wrapper = ['$qemu', '-cpu', '$qemu_cpu', '-L', sysroot]"
  cat <<CROSS

[built-in options]
# -idirafter: the multiarch pyconfig.h wrapper includes
# <$triplet/python$py_version/pyconfig.h>, which lives under the sysroot's /usr/include.
c_args = arch + ['-idirafter', sysroot / 'usr/include']
cpp_args = arch + ['-Wno-psabi', '-idirafter', sysroot / 'usr/include']
c_link_args = arch
cpp_link_args = arch

[properties]
sys_root = sysroot
pkg_config_libdir = [sysroot / 'usr/lib/$triplet/pkgconfig', sysroot / 'usr/share/pkgconfig']
CROSS
  if [ -n "$numpy_include" ]; then
    # NumPy's C headers of the target: its _numpyconfig.h records the
    # target's sizes (npy_intp is 4 bytes on 32-bit ARM), so the host's copy
    # must never be used.
    echo "numpy_include = sysroot / '$numpy_include'"
  fi
  cat <<CROSS

[host_machine]
system = 'linux'
cpu_family = '$meson_cpu_family'
cpu = '$meson_cpu'
endian = 'little'
CROSS
}
