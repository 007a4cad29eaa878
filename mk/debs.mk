# Debian packages: python3-nalo-sdk, built from debian/ (debhelper, dh-python,
# meson-python through pybuild) for each release and assembled for the ARM
# ports from their cross builds with the same control data (tools/debs/).
#
#   make debs        the amd64 packages of Debian 12 (built on this machine)
#                    and Debian 13 (in the Debian 13 root), and those of the
#                    ports in DEBS_ARM (Debian 12) and DEBS_ARM13 (Debian 13)
#                    assembled from tools/arm's builds; every one checked by
#                    its release's lintian; into dist/ as
#                    python3-nalo-sdk_<version>~deb12_<arch>.deb, ~deb13
#   make test-debs   each of them in a fresh minimal image of its release and
#                    architecture (ARM ones under qemu-user through proot):
#                    apt-get install from the archive, a smoke test against
#                    the image's own redis-server, apt-get purge leaving
#                    nothing behind
#
# Images and apt's downloads are cached in $NALO_DEBS_CACHE (default
# /var/cache/nalo-sdk-debs).
# Every port of each release; Debian 13's armel pool is not served whole by
# the archive (tools/arm cannot assemble its userland), so it has none.
DEBS_ARM ?= armhf armel arm64
DEBS_ARM13 ?= armhf arm64
DEBS_VERSION = $(shell dpkg-parsechangelog -l debian/changelog -S Version)
DEBS_AMD64 := $(shell dpkg --print-architecture)
# DEBS_RELEASES: the releases whose packages debs makes (CI makes each in
# the lane that built its parts).
DEBS_RELEASES ?= 12 13
DEBS_FILES = $(if $(filter 12,$(DEBS_RELEASES)),$(foreach arch,$(DEBS_AMD64) $(DEBS_ARM),dist/python3-nalo-sdk_$(DEBS_VERSION)~deb12_$(arch).deb)) \
    $(if $(filter 13,$(DEBS_RELEASES)),$(foreach arch,$(DEBS_AMD64) $(DEBS_ARM13),dist/python3-nalo-sdk_$(DEBS_VERSION)~deb13_$(arch).deb))

.PHONY: debs test-debs

debs: deps $(if $(filter 13,$(DEBS_RELEASES)),debian13-root)
ifneq ($(filter 12,$(DEBS_RELEASES)),)
	tools/debs/build.sh bookworm
	@set -e; for arch in $(DEBS_ARM); do \
	    $(MAKE) --no-print-directory build-$$arch DEBIAN=12; \
	    tools/debs/assemble.sh $$arch bookworm build/$$arch/python; \
	done
endif
ifneq ($(filter 13,$(DEBS_RELEASES)),)
	tools/debs/build.sh trixie
	@set -e; for arch in $(DEBS_ARM13); do \
	    $(MAKE) --no-print-directory build-$$arch DEBIAN=13; \
	    tools/debs/assemble.sh $$arch trixie build/$$arch-debian13/python; \
	done
endif

# DEBS_TEST: the packages to prove (default: all that debs makes).
DEBS_TEST ?= $(DEBS_FILES)
test-debs: debs
	tools/debs/test.sh $(DEBS_TEST)
