# Target builds for the boards (ARM1176JZF-S: ARMv6KZ, VFPv2, Python 3.11):
# cross-built modules, checked instruction set, and the whole test suite under
# qemu-user against Debian's own armhf/armel userland (tools/arm/; the ports'
# triplets, CPU models and cache location are in tools/arm/targets.sh).
#
#   make test-armhf     the shipped hard-float build; suite on qemu's default CPU
#   make test-arm1176   the same sources for armel (soft-float ABI, same ARMv6
#                       code), suite on qemu's ARM1176 model: our code executes
#                       on the boards' own CPU model
#   make check-gate     shows that the instruction-set gate refuses ARMv7, VFPv3
#                       and hidden ARMv7 code and passes ours, on both ports (on
#                       the ARM1176 model the refused builds die of SIGILL)
#   make bench-arm1176  make bench's benchmarks with the armel build on the
#                       ARM1176 model
#   make wheel-armhf    dist/nalo_sdk-*-cp311-cp311-linux_armv6l.whl
#
# Sysroots are cached in $NALO_ARM_CACHE/<arch> (default
# /var/cache/nalo-sdk-arm) and reused while the package lists are unchanged;
# NALO_ARM_REFRESH=1 picks up archive updates.
ARMHF_DIR ?= build/armhf
ARMEL_DIR ?= build/armel

.PHONY: sysroot-armhf sysroot-armel build-armhf build-armel \
        test-armhf test-arm1176 check-gate bench-arm1176 wheel-armhf

sysroot-armhf sysroot-armel: sysroot-%: deps
	tools/arm/sysroot.sh $*

build-armhf: sysroot-armhf
	tools/arm/build.sh armhf $(ARMHF_DIR)

build-armel: sysroot-armel
	tools/arm/build.sh armel $(ARMEL_DIR)

test-armhf: build-armhf
	tools/arm/run-tests.sh armhf $(ARMHF_DIR) -- $(PYTEST_ARGS)

test-arm1176: build-armel
	tools/arm/run-tests.sh armel $(ARMEL_DIR) -- $(PYTEST_ARGS)

check-gate: sysroot-armhf sysroot-armel
	tools/arm/gate-demo.sh armhf $(ARMHF_DIR)/gate-demo
	tools/arm/gate-demo.sh armel $(ARMEL_DIR)/gate-demo

# Under emulation the absolute figures mean little; the ratios between the
# native modules and the plain-Python renderings on the boards' CPU model are
# the point. JSON goes to $(ARMEL_DIR)/bench.
bench-arm1176: build-armel
	tools/arm/bench.sh armel $(ARMEL_DIR)

wheel-armhf: sysroot-armhf
	tools/arm/wheel.sh $(ARMHF_DIR)/wheel dist
