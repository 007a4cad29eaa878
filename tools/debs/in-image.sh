#!/bin/sh
# Runs inside a fresh image of a release (tools/debs/test.sh copies it there
# with the package, smoke.py and a flows file): installs the package with apt
# from the archive, with its Depends alone (no Recommends), then redis-server;
# runs the smoke test; purges the package and checks that nothing of it is
# left: no file that dpkg listed, no byte-compiled module, no directory of it.
set -eu
cd "$(dirname "$0")"
export DEBIAN_FRONTEND=noninteractive
package=python3-nalo-sdk
tree=/usr/lib/python3/dist-packages/nalo_sdk
step() { printf '[in image] %s\n' "$*"; }

step "apt-get update"
sh ./apt-update.sh
deb=$(ls ${package}_*.deb)
step "apt-get install ./$deb"
apt-get -q -y -o Acquire::Retries=3 --no-install-recommends install "./$deb" > install.log 2>&1 ||
  { tail -40 install.log; exit 1; }
grep -E '^[0-9]+ upgraded, [0-9]+ newly installed' install.log
step "apt-get install redis-server"
apt-get -q -y -o Acquire::Retries=3 --no-install-recommends install redis-server > redis.log 2>&1 ||
  { tail -40 redis.log; exit 1; }
[ "$(dpkg-query -W -f='${db:Status-Status}' $package)" = installed ]
dpkg -L $package > files.txt
compiled=$(find $tree -name '*.pyc' | wc -l)
[ "$compiled" -gt 0 ] || { echo "no module of $tree was byte-compiled at install"; exit 1; }
step "$(wc -l < files.txt) paths installed, $compiled modules byte-compiled; smoke test"
python3 smoke.py flows.json

step "apt-get purge $package"
apt-get -q -y purge $package > purge.log 2>&1 || { tail -20 purge.log; exit 1; }
[ "$(dpkg-query -W -f='${db:Status-Status}' $package 2>/dev/null || echo not-installed)" = not-installed ]
left=$(while read -r path; do
  # Directories that other packages share stay; those of this package go.
  if [ -e "$path" ] && { [ ! -d "$path" ] || case "$path" in *nalo*) true ;; *) false ;; esac; }; then
    echo "$path"
  fi
done < files.txt)
left="$left$(find /usr/lib/python3/dist-packages /usr/bin -name '*nalo*' 2>/dev/null)"
[ -z "$left" ] || { echo "left behind after purge:"; echo "$left"; exit 1; }
step "purged: none of the $(wc -l < files.txt) paths left, no byte-compiled module"
