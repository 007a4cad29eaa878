# Target builds for the boards (ARM1176JZF-S: ARMv6KZ, VFPv2, Python 3.11):
# cross-built modules, checked instruction set, and the whole test suite under
# qemu-user against Debian's own armhf/armel userland (tools/arm/).
#
#   make test-armhf    the shipped hard-float build; suite on qemu's default CPU
#   make test-arm1176  the same sources for armel (soft-float ABI, same ARMv6
#                      code), suite on qemu's ARM1176 model: our code executes
#                      on the boards' own CPU model
#   make wheel-armhf   dist/nalo_sdk-*-cp311-cp311-linux_armv6l.whl
#
# Sysroots are cached in $(NALO_ARM_CACHE)/<arch> and reused while the package
# lists are unchanged; NALO_ARM_REFRESH=1 picks up archive updates.
ARMHF_DIR ?= build/armhf
ARMEL_DIR ?= build/armel
NALO_ARM_CACHE ?= /var/cache/nalo-sdk-arm
export NALO_ARM_CACHE

.PHONY: arm-deps-armhf arm-deps-armel sysroot-armhf sysroot-armel build-armhf build-armel \
        test-armhf test-arm1176 wheel-armhf

arm-deps-armhf:
	@tools/ensure-packages.sh packages.txt

arm-deps-armel:
	@tools/ensure-packages.sh packages.txt

sysroot-armhf: arm-deps-armhf
	tools/arm/sysroot.sh armhf

sysroot-armel: arm-deps-armel
	tools/arm/sysroot.sh armel

build-armhf: sysroot-armhf
	tools/arm/build.sh armhf $(ARMHF_DIR)

build-armel: sysroot-armel
	tools/arm/build.sh armel $(ARMEL_DIR)

test-armhf: build-armhf
	tools/arm/gate-demo.sh armhf $(ARMHF_DIR)/gate-demo
	tools/arm/run-tests.sh armhf $(ARMHF_DIR) -- $(PYTEST_ARGS)

test-arm1176: build-armel
	tools/arm/gate-demo.sh armel $(ARMEL_DIR)/gate-demo
	tools/arm/run-tests.sh armel $(ARMEL_DIR) -- $(PYTEST_ARGS)

wheel-armhf: sysroot-armhf
	tools/arm/wheel.sh $(ARMHF_DIR)/wheel dist
