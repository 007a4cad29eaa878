# Debian 13 ("trixie"): Python 3.13, NumPy 2.2, OpenCV 4.10, redis-py 6,
# paho-mqtt 2 and Redis 8, beside the Debian 12 build. The same tree is built
# and tested inside a Debian 13 root made with debootstrap (tools/debian13/;
# cached in /var/cache/nalo-sdk-debian13), by this Makefile's own targets run
# there with that release's interpreter and package list.
#
#   make debian13-root    prepare the root; its path is the last line printed
#   make test-debian13    build into build/debian13 (staged package in
#                         build/debian13/python), run make check-types there
#                         (stubtest and mypy on Python 3.13), then the whole
#                         suite: native modules, the kit against Debian 13's
#                         redis-server and mosquitto, Redis Cluster, Node-RED
#   make bench-debian13   make bench there (figures in build/debian13/bench)
#   make wheel-debian13   the cp313 wheel, into dist/
# Warnings are errors there: the modules must build cleanly against Python
# 3.13's and NumPy 2's headers too.
DEBIAN13_MAKE = tools/debian13/run.sh make PYTHON=/usr/bin/python3.13 \
    BUILD_DIR=build/debian13 PACKAGES=packages-debian13.txt MESON_SETUP_ARGS=-Dwerror=true

.PHONY: debian13-root test-debian13 bench-debian13 wheel-debian13

debian13-root: deps
	@tools/debian13/root.sh

# tests/roots checks the tools that make the roots on this machine (apt
# against a local archive, runs in mount namespaces): they never run inside one.
test-debian13: debian13-root
	$(DEBIAN13_MAKE) check-types test PYTEST_ARGS="$(PYTEST_ARGS) --ignore=tests/roots"

bench-debian13: debian13-root
	$(DEBIAN13_MAKE) bench

wheel-debian13: debian13-root
	$(DEBIAN13_MAKE) wheel
