#!/usr/bin/env bash
# Enters a root for one run: mounts what a run needs and execs the command
# chrooted. It is started in a mount namespace of its own (root-lib.sh's
# in_root), so its mounts exist for this run alone and vanish with it,
# however it ends: nothing is ever unmounted by hand, and other runs in the
# same root keep theirs.
#
#   enter-root.sh [--bind SRC DST]... ROOT DIR COMMAND [ARGS...]
#
# Mounted: /proc, /dev, a fresh /dev/shm and /tmp, DIR (if not empty) at its
# own path, each SRC at DST inside the root, and this machine's CA bundle
# (the way out to the npm registry, a proxy's own certificate among them).
set -euo pipefail
binds=()
while [ "${1:-}" = --bind ]; do
  binds+=("$2" "$3")
  shift 3
done
root=$1 dir=$2
shift 2
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
if [ -n "$dir" ]; then
  mkdir -p "$root$dir"
  mount --bind "$dir" "$root$dir"
fi
for ((i = 0; i < ${#binds[@]}; i += 2)); do
  mount --bind "${binds[i]}" "$root${binds[i + 1]}"
done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
bundle=/etc/ssl/certs/ca-certificates.crt
if [ -f "$bundle" ] && [ -f "$root$bundle" ]; then
  mount --bind -o ro "$bundle" "$root$bundle"
fi
pass=()
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY NODE_EXTRA_CA_CERTS; do
  [ -n "${!name:-}" ] && pass+=("$name=${!name}")
done
# shellcheck disable=SC2016 # the inner shell expands them
exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin \
  HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" "${pass[@]}" \
  sh -c 'cd "${1:-/}" && shift && exec "$@"' sh "${dir:-/}" "$@"
