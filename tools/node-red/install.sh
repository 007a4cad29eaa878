#!/usr/bin/env bash
# Installs the pinned Node-RED (package.json and package-lock.json beside
# this script) with `npm ci` into DIR, together with the settings file.
# An install made from the same package files is kept: the step then only
# refreshes the settings file. Without node or npm on PATH, Debian's nodejs
# and npm are installed first (packages.txt beside this script).
#
#   tools/node-red/install.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: $0 DIR}

# Node.js and npm: the machine's own, else Debian's (packages.txt here).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  "$here/../ensure-packages.sh" "$here/packages.txt"
  hash -r
  for tool in node npm; do
    command -v "$tool" >/dev/null || { echo "node-red: $tool not found after installing Debian's nodejs and npm" >&2; exit 1; }
  done
fi

mkdir -p "$dir"
cp "$here/settings.js" "$dir/settings.js.new" && mv "$dir/settings.js.new" "$dir/settings.js"

stamp="$dir/.installed"
want=$(cat "$here/package.json" "$here/package-lock.json" | sha256sum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ -f "$dir/node_modules/node-red/red.js" ]; then
  echo "node-red: installed in $dir (unchanged)"
  exit 0
fi

rm -f "$stamp"
cp "$here/package.json" "$here/package-lock.json" "$dir/"
start=$(date +%s)
# No optional packages (a native bcrypt: the pure JavaScript one is used) and
# no install scripts, so nothing is fetched from outside the registry.
(cd "$dir" && npm ci --no-audit --no-fund --omit=optional --ignore-scripts --loglevel=error)
echo "$want" > "$stamp"
echo "node-red: installed in $dir in $(( $(date +%s) - start )) s ($(du -sh "$dir/node_modules" | cut -f1))"
