# The Debian releases the packages are made for, in one place: sourced by
# the scripts in tools/debs. Bash.
#
#   deb_release bookworm|trixie || usage...
#
# sets deb_number (12, 13) and deb_python (the release's Python 3 version:
# 3.11, 3.13) for the release named, and fails for any other name.
deb_release() {
  case "${1:-}" in
    bookworm) deb_number=12 deb_python=3.11 ;;
    trixie) deb_number=13 deb_python=3.13 ;;
    *) return 1 ;;
  esac
}
