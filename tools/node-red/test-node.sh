#!/usr/bin/env bash
# Runs the Python node's tests (node-red/test/*_spec.js, node's own test
# runner) against the pinned Node-RED and test helper in DIR (`make
# node-red`), with workers on PYTHON importing the kit staged in STAGE.
#
#   tools/node-red/test-node.sh DIR STAGE PYTHON [spec files...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: $0 DIR STAGE PYTHON [specs...]}
stage=${2:?}
python=${3:?}
shift 3
cd "$here/../../node-red"
# The test helper finds Node-RED from the package.json of the working directory.
export NODE_PATH="$dir/node_modules" PYTHONPATH="$stage" NALO_TEST_PYTHON="$python"
if [ $# -eq 0 ]; then set -- test/*_spec.js; fi
exec node --test --test-concurrency=1 "$@"
