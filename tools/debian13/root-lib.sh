# Shared by the scripts that prepare and enter the Debian 13 root. Bash.
#
#   debian13_cache   the cache directory ($NALO_DEBIAN13_CACHE)
#   debian13_root    the root in it
#   in_root ROOT DIR CMD...
#                    runs CMD chrooted in ROOT (in DIR, if given) with /proc,
#                    /dev, /dev/shm and a private /tmp mounted, and with DIR
#                    bind-mounted at its own path; unmounts all of it when CMD
#                    ends, however it ends
#   unmount_root ROOT
#                    unmounts whatever is still mounted below ROOT

debian13_cache=${NALO_DEBIAN13_CACHE:-/var/cache/nalo-sdk-debian13}
debian13_root=$debian13_cache/root

unmount_root() {
  local root=$1 target
  [ -d "$root" ] || return 0
  root=$(realpath "$root")
  # Deepest first, so that nothing is busy with a mount inside it.
  findmnt -rn -o TARGET | awk -v r="$root/" 'index($0, r) == 1' | sort -r |
    while read -r target; do umount -l "$target" || true; done
}

in_root() {
  local root=$1 dir=$2 status=0
  shift 2
  (
    trap 'unmount_root "$root"' EXIT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    mount -t proc proc "$root/proc"
    # Slave mounts: on a host whose mounts are shared (systemd), neither the
    # tmpfs put on the root's /dev/shm nor any unmount reaches the host's /dev.
    mount --bind /dev "$root/dev"
    mount --make-rslave "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    if [ -n "$dir" ]; then
      mkdir -p "$root$dir"
      mount --bind "$dir" "$root$dir"
      mount --make-rslave "$root$dir"
    fi
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    # The host's way out to the npm registry holds inside too: its proxy
    # settings and the certificates it trusts (a proxy's own among them).
    local bundle=/etc/ssl/certs/ca-certificates.crt
    if [ -f "$bundle" ] && [ -f "$root$bundle" ]; then
      mount --bind -o ro "$bundle" "$root$bundle"
    fi
    local -a pass=()
    local name
    for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY NODE_EXTRA_CA_CERTS; do
      [ -n "${!name:-}" ] && pass+=("$name=${!name}")
    done
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin \
      HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" "${pass[@]}" \
      sh -c 'cd "${1:-/}" && shift && exec "$@"' sh "${dir:-/}" "$@"
  ) || status=$?
  return $status
}
