#!/bin/sh
# apt-get update that outlasts an archive caught mid-sync. POSIX sh: it runs
# on this machine (the ARM sysroots' private apt) and inside the roots and
# images made from Debian's packages.
#
#   tools/apt-update.sh [APT-GET OPTIONS...]
#
# A failed update is tried again after a pause that doubles each time
# ($NALO_APT_TRIES tries in all, default 3; the first pause
# $NALO_APT_BACKOFF seconds, default 5). When the last try still fails and
# every suite that failed is a -security or -updates one, it goes on without
# them: one warning line a suite names it and apt's reason, and apt then
# resolves everything from the release itself (apt keeps no half-updated
# suite: a suite whose index failed is left as it was, here empty). These
# roots build and test; they ship nothing. A failure of any other suite, or
# one that names no suite, fails with apt's own messages.
set -eu
tries=${NALO_APT_TRIES:-3}
pause=${NALO_APT_BACKOFF:-5}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# "SUITE<TAB>REASON" for each failure apt reported: the suite from the index
# address (.../dists/SUITE/...) or from "'URI SUITE Release'".
failures() {
  grep -E '^(E|W|Err):' "$log" | sed -n \
    -e "s|.*/dists/\\([^/ ]*\\)/[^ ]* *\\(.*\\)|\\1	\\2|p" \
    -e "t" \
    -e "s|.*'[^ ]* \\([^ ]*\\) \\(In\\)\\{0,1\\}Release'[^a-zA-Z]*\\(.*\\)|\\1	\\3|p" |
    sed 's/ *\[IP: [^]]*\]//' | sort -u -t '	' -k1,1
}

try=1
while :; do
  if apt-get -q -o Acquire::Retries=3 "$@" update > "$log" 2>&1 &&
     ! grep -qE '^(E|W): Failed to fetch' "$log"; then
    exit 0
  fi
  [ "$try" -lt "$tries" ] || break
  echo "apt-get update failed (try $try of $tries); again in $pause s" >&2
  sleep "$pause"
  try=$((try + 1))
  pause=$((pause * 2))
done

found=$(failures)
fatal=$(printf '%s\n' "$found" | awk -F '\t' 'NF && $1 !~ /-(security|updates)$/')
# An error that names no suite (a lock, a disk, a key) is never passed over.
unnamed=$(grep '^E:' "$log" | grep -v -e '/dists/' -e 'Some index files failed to download' |
  grep -vE "'[^ ]* [^ ]* (In)?Release'" || true)
if [ -z "$found" ] || [ -n "$fatal$unnamed" ]; then
  grep -E '^(E|W|Err):|^ ' "$log" >&2 || cat "$log" >&2
  exit 1
fi
printf '%s\n' "$found" | while IFS='	' read -r suite reason; do
  echo "warning: the archive's $suite suite is unusable ($reason): going on without it" >&2
done
