# Target builds for the boards: cross-built modules, checked instruction set,
# and the whole test suite under qemu-user against Debian's own userland
# (tools/arm/; the ports' triplets, CPU models, releases and cache locations
# are in tools/arm/targets.sh).
#   ARMv6 boards (ARM1176JZF-S: ARMv6KZ, VFPv2): the armhf build, and armel
#   for running the same code on qemu's ARM1176 model.
#   64-bit boards (Cortex-A53 and later: ARMv8.0-A): the arm64 build.
#
#   make test-armhf     the ARMv6 hard-float build; suite on qemu's default CPU
#   make test-arm1176   the same sources for armel (soft-float ABI, same ARMv6
#                       code), suite on qemu's ARM1176 model: our code executes
#                       on the boards' own CPU model
#   make test-arm64     the ARMv8.0-A build; suite on qemu's Cortex-A53 model
#   make check-gate     shows on a probe module that each port's instruction-set
#                       gate refuses newer code (ARMv7, VFPv3, hidden ARMv7;
#                       ARMv8.1+ atomics, pointer authentication, hidden LSE)
#                       and passes ours; on the ARM1176 and Cortex-A53 models
#                       the refused builds die of SIGILL
#   make bench-arm1176  make bench's benchmarks with the armel build on the
#                       ARM1176 model
#   make wheel-armhf    dist/nalo_sdk-*-cp311-cp311-linux_armv6l.whl
#   make wheel-arm64    dist/nalo_sdk-*-cp311-cp311-linux_aarch64.whl
#   make build-armel-without-userland DEBIAN=13
#                       when the archive does not serve armel's whole userland
#                       (Debian 13 today), the armel modules built from the
#                       headers that did download and gated; nothing can run
#   make wheels         the four board wheels (cp311 and cp313; 32-bit tagged
#                       linux_armv6l.linux_armv7l, 64-bit linux_aarch64) into
#                       dist/, each installed with pip and run in its emulated
#                       userland (tools/arm/wheels.sh)
#
# DEBIAN=13 does any of these against Debian 13 (trixie: Python 3.13, cp313
# wheels) instead of Debian 12 (bookworm, the default), in build/<arch>-debian13
# with sysroots in $NALO_ARM_CACHE/<arch>-debian13. Sysroots are cached in
# $NALO_ARM_CACHE (default /var/cache/nalo-sdk-arm) and reused while the
# package lists are unchanged; NALO_ARM_REFRESH=1 picks up archive updates.
DEBIAN ?= 12
ARM_BUILD_TAIL := $(if $(filter 13,$(DEBIAN)),-debian13)
ARMHF_DIR ?= build/armhf$(ARM_BUILD_TAIL)
ARMEL_DIR ?= build/armel$(ARM_BUILD_TAIL)
ARM64_DIR ?= build/arm64$(ARM_BUILD_TAIL)
ARM_ENV = DEBIAN=$(DEBIAN)

.PHONY: sysroot-armhf sysroot-armel sysroot-arm64 build-armhf build-armel build-arm64 \
        test-armhf test-arm1176 test-arm64 check-gate bench-arm1176 wheel-armhf wheel-arm64 wheels

sysroot-armhf sysroot-armel sysroot-arm64: sysroot-%: deps
	$(ARM_ENV) tools/arm/sysroot.sh $*

build-armhf: sysroot-armhf
	$(ARM_ENV) tools/arm/build.sh armhf $(ARMHF_DIR)

build-armel: sysroot-armel
	$(ARM_ENV) tools/arm/build.sh armel $(ARMEL_DIR)

build-arm64: sysroot-arm64
	$(ARM_ENV) tools/arm/build.sh arm64 $(ARM64_DIR)

test-armhf: build-armhf
	$(ARM_ENV) tools/arm/run-tests.sh armhf $(ARMHF_DIR) -- $(PYTEST_ARGS)

test-arm1176: build-armel
	$(ARM_ENV) tools/arm/run-tests.sh armel $(ARMEL_DIR) -- $(PYTEST_ARGS)

test-arm64: build-arm64
	$(ARM_ENV) tools/arm/run-tests.sh arm64 $(ARM64_DIR) -- $(PYTEST_ARGS)

check-gate: sysroot-armhf sysroot-armel sysroot-arm64
	$(ARM_ENV) tools/arm/gate-demo.sh armhf $(ARMHF_DIR)/gate-demo
	$(ARM_ENV) tools/arm/gate-demo.sh armel $(ARMEL_DIR)/gate-demo
	$(ARM_ENV) tools/arm/gate-demo.sh arm64 $(ARM64_DIR)/gate-demo

# Under emulation the absolute figures mean little; the ratios between the
# native modules and the plain-Python renderings on the boards' CPU model are
# the point. JSON goes to $(ARMEL_DIR)/bench.
bench-arm1176: build-armel
	$(ARM_ENV) tools/arm/bench.sh armel $(ARMEL_DIR)

wheel-armhf: sysroot-armhf
	$(ARM_ENV) tools/arm/wheel.sh armhf $(ARMHF_DIR)/wheel dist

wheel-arm64: sysroot-arm64
	$(ARM_ENV) tools/arm/wheel.sh arm64 $(ARM64_DIR)/wheel dist

wheels: deps
	tools/arm/wheels.sh dist

# sysroot.sh fails on the missing files (and names them) after downloading
# the rest, which is all this build needs.
.PHONY: build-armel-without-userland
build-armel-without-userland: deps
	-$(ARM_ENV) tools/arm/sysroot.sh armel
	$(ARM_ENV) tools/arm/sysroot.sh armhf
	$(ARM_ENV) tools/arm/build-without-userland.sh armel $(ARMEL_DIR)
