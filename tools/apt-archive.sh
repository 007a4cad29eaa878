# shellcheck shell=bash
# Where the Debian archive is: sourced by the scripts that make roots,
# sysroots and images from Debian's packages. Bash.
#
#   . tools/apt-archive.sh
#   debian_archive || exit 1
#
# sets mirror (the main archive) and security_mirror (its security archive;
# empty when the machine has none: the roots then go without that suite).
# DEBIAN_MIRROR and DEBIAN_SECURITY_MIRROR win; otherwise both come from
# this machine's own apt sources (one-line sources.list entries and deb822
# .sources files alike, read by apt itself), so that a local mirror or a
# caching proxy that serves the machine serves the roots too. The main
# archive is the one that serves this machine's release (its codename in
# /etc/os-release), else any release that has a -security or -updates suite
# beside it.
debian_archive() {
  mirror=${DEBIAN_MIRROR:-}
  security_mirror=${DEBIAN_SECURITY_MIRROR:-}
  if [ -z "$mirror" ] || [ -z "$security_mirror" ]; then
    local codename targets release
    codename=$( (. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}") || true)
    # "URI RELEASE" of every binary package source apt is configured with.
    # shellcheck disable=SC2016 # apt expands the $(...) fields
    targets=$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(REPO_URI) $(RELEASE)' 2>/dev/null |
      awk '$1 == "deb" { sub("/$", "", $2); print $2, $3 }' | sort -u)
    release=$(awk -v c="$codename" '$2 == c { print $2; exit }' <<< "$targets")
    if [ -z "$release" ]; then
      release=$(awk '{ uri[$2] = $1 } END {
          for (r in uri) if (r !~ /[-\/]/ && ((r "-security") in uri || (r "-updates") in uri)) { print r; exit } }' <<< "$targets")
    fi
    [ -n "$mirror" ] || mirror=$(awk -v r="$release" '$2 == r { print $1; exit }' <<< "$targets")
    if [ -z "$mirror" ]; then
      echo "no Debian archive among this machine's apt sources (apt-get indextargets): set DEBIAN_MIRROR" \
           "(and DEBIAN_SECURITY_MIRROR) to the archive's address" >&2
      return 1
    fi
    if [ -z "$security_mirror" ]; then
      security_mirror=$(awk -v s="$release-security" '$2 == s { print $1; exit }' <<< "$targets")
      [ -n "$security_mirror" ] ||
        echo "warning: no security archive among this machine's apt sources: the roots go without" \
             "security updates (DEBIAN_SECURITY_MIRROR names one)" >&2
    fi
  fi
  mirror=${mirror%/}
  security_mirror=${security_mirror%/}
}

# sources_lines SUITE: the one-line apt sources of SUITE, its -updates suite
# and, where there is a security archive, its -security suite (component
# main). Extra words before the address, such as "[signed-by=...]", come
# from $sources_options.
sources_lines() {
  local opts=${sources_options:+$sources_options }
  echo "deb $opts$mirror $1 main"
  echo "deb $opts$mirror $1-updates main"
  [ -z "$security_mirror" ] || echo "deb $opts$security_mirror $1-security main"
}
