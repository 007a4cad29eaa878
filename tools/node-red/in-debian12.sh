#!/bin/sh
# Runs inside a fresh Debian 12 image (test-debian12.sh), in the checkout:
# installs Debian 12's nodejs and the Python the workers run on, nothing
# more (the node's tests import no NumPy), then the node's tests.
#
#   sh tools/node-red/in-debian12.sh DIR STAGE [test files...]
set -eu
dir=$1 stage=$2
shift 2
export DEBIAN_FRONTEND=noninteractive
# The machine's extra CA bundle (passed on for npm) is not in a minimal
# image, and these tests stay on loopback: no warning about it.
[ -f "${NODE_EXTRA_CA_CERTS:-/}" ] || unset NODE_EXTRA_CA_CERTS
start=$(date +%s)
step() { printf '[in debian12] %s (%s s)\n' "$*" $(($(date +%s) - start)); }

step "apt-get update"
sh tools/apt-update.sh
# The Python node's Redis server and MQTT broker: the kit's clients in the worker.
step "apt-get install nodejs python3.11 python3-redis python3-paho-mqtt"
# dpkg's unsafe I/O: the image is thrown away after the run.
apt-get -q -y -o Acquire::Retries=3 -o Dpkg::Options::=--force-unsafe-io \
  --no-install-recommends install nodejs python3.11 python3-redis python3-paho-mqtt \
  > /tmp/install.log 2>&1 || { tail -40 /tmp/install.log; exit 1; }
grep -E '^[0-9]+ upgraded, [0-9]+ newly installed' /tmp/install.log
step "node $(node --version), $(/usr/bin/python3.11 --version)"
exec bash tools/node-red/test-node.sh "$dir" "$stage" /usr/bin/python3.11 "$@"
