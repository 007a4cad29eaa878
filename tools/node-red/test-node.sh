#!/usr/bin/env bash
# Runs the Python node's tests (node-red/test/*_spec.js, node's own test
# runner) against the pinned Node-RED and test helper in DIR (`make
# node-red`), with workers on PYTHON importing the kit staged in STAGE.
#
#   tools/node-red/test-node.sh DIR STAGE PYTHON [test files...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: $0 DIR STAGE PYTHON [test files...]}
stage=${2:?}
python=${3:?}
shift 3
cd "$here/../../node-red"
# The test helper finds Node-RED from the package.json of the working directory.
export NODE_PATH="$dir/node_modules" PYTHONPATH="$stage" NALO_TEST_PYTHON="$python"
if [ $# -eq 0 ]; then set -- test/*_spec.js; fi
# One file at a time (the workers are processes of their own); Node.js 18
# lacks the option, and runs as many files at once as it has cores less one.
one_at_a_time=()
if node -e 'const [a, b] = process.versions.node.split(".").map(Number); process.exit(a > 20 || (a === 20 && b >= 10) ? 0 : 1)'; then
  one_at_a_time=(--test-concurrency=1)
fi
exec node --test "${one_at_a_time[@]}" "$@"
