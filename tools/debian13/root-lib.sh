# shellcheck shell=bash disable=SC2034 # the variables are for the scripts that source it
# Shared by the scripts that prepare and enter the Debian 13 root, and by
# the package tests' images. Bash.
#
#   debian13_cache   the cache directory ($NALO_DEBIAN13_CACHE)
#   debian13_root    the root in it
#   in_root [--bind SRC DST]... ROOT DIR CMD...
#                    runs CMD chrooted in ROOT (in DIR, if given) with /proc,
#                    /dev, /dev/shm and a private /tmp mounted, DIR
#                    bind-mounted at its own path and each SRC at DST, all in
#                    a mount namespace of the run's own (enter-root.sh): the
#                    mounts are seen by this run alone and vanish with it,
#                    also when it is killed
#   remove_tree DIR  removes a root, never crossing into a file system
#                    mounted in it

debian13_cache=${NALO_DEBIAN13_CACHE:-/var/cache/nalo-sdk-debian13}
debian13_root=$debian13_cache/root
root_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

in_root() {
  unshare --mount --propagation private -- bash "$root_lib_dir/enter-root.sh" "$@"
}

remove_tree() {
  rm -rf --one-file-system "$1"
}
