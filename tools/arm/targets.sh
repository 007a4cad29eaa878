# The ARM targets, in one place: sourced by every script in tools/arm (and by
# the make recipes that need a target's interpreter). Bash.
#
#   . tools/arm/targets.sh
#   arm_target armhf|armel || usage...
#
# arm_target sets, for the architecture named:
#   arch         Debian's name of the port (armhf, armel)
#   triplet      the cross toolchain's prefix (arm-linux-gnueabihf, ...)
#   float_abi    the float ABI of our code: hard (VFP argument registers) or
#                softfp (VFP code, core-register calling convention)
#   qemu_cpu     the CPU model that qemu-arm-static runs the port's userland
#                on: armhf's userland is ARMv7, so qemu's default (max); armel
#                runs on the boards' own model (arm1176)
#   ext_suffix   the file name suffix of the port's extension modules
#   arm_work     the port's cache directory: $NALO_ARM_CACHE/<arch>
#   arm_sysroot  the unpacked userland in it
#   arm_python   the emulated target interpreter
#   arm_cross    the meson cross file for our ARMv6KZ + VFPv2 code
#
# NALO_ARM_CACHE (default /var/cache/nalo-sdk-arm) lives outside any clone, so
# that other clones and later runs reuse the sysroots.

NALO_ARM_CACHE=${NALO_ARM_CACHE:-/var/cache/nalo-sdk-arm}
ARM_ARCHES=(armhf armel)
# ARM1176JZF-S: ARMv6KZ with VFPv2 and no NEON. ARM state only: ARMv6 has no
# Thumb-2, and Thumb-1 code would buy nothing but interworking trouble.
ARM_MARCH=armv6kz+fp

arm_target() {
  case "${1:-}" in
    armhf) triplet=arm-linux-gnueabihf; float_abi=hard; qemu_cpu=max ;;
    # The soft-float-ABI port is the one whose userland runs on the ARM1176
    # model, the boards' own CPU; our code still computes with VFP (softfp).
    armel) triplet=arm-linux-gnueabi; float_abi=softfp; qemu_cpu=arm1176 ;;
    *) return 1 ;;
  esac
  arch=$1
  ext_suffix=.cpython-311-$triplet.so
  arm_work=$NALO_ARM_CACHE/$arch
  arm_sysroot=$arm_work/sysroot
  arm_python=$arm_work/bin/python3.11-$arch
  arm_cross=$arm_work/armv6-$arch.cross
}
