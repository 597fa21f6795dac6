# shellcheck shell=bash
# The Debian mirror apt uses on this machine (the first URI that is not -security), else
# the default.  Sourced by the scripts that debootstrap a root (arm64_root.sh, sid_root.sh).
brackwell_debian_mirror() {
    local uri
    uri=$(grep -hsE '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null \
        | grep -v -- '-security' | grep -oE 'https?://[^ ]+' | head -n 1)
    echo "${uri:-http://deb.debian.org/debian}"
}
