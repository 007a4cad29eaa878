#!/usr/bin/env bash
# Installs the Debian packages listed in the given file(s) that are missing.
# As root it installs them with apt-get; otherwise it names them and fails.
set -euo pipefail
missing=()
for list in "$@"; do
  while read -r pkg _; do
    case "$pkg" in ''|'#'*) continue ;; esac
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$pkg")
  done < "$list"
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
sh "$(dirname "$0")/apt-update.sh" -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
