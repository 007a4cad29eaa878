#!/usr/bin/env bash
# Runs a command inside the Debian 13 root (tools/debian13/root.sh prepares
# it), in this project's directory, which is bind-mounted at its own path so
# that build directories and outputs land in the checkout. Everything
# mounted for the run is unmounted when it ends, also on failure.
#
#   tools/debian13/run.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$here/root-lib.sh"
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
root=$("$here/root.sh" | tail -n 1)
in_root "$root" "$project" "$@"
