# shellcheck shell=bash
# A Debian sid root (amd64) with CPython 3.14 and 3.15, their venv modules and headers, and
# binutils (nm, for the test of the module's exports), for testing the x86-64 wheel on the
# newest interpreters.  Sourced by .ci/run; needs root and the Debian package debootstrap.
#
#     source .ci/sid_root.sh
#     brackwell_sid_root DIR        # makes the root in DIR, or installs what it lacks
#     brackwell_sid_mount DIR       # mounts /proc and /dev/shm inside it
#     chroot DIR /usr/bin/python3.15 -c 'import sys; print(sys.version)'
#     brackwell_sid_umount          # unmounts what brackwell_sid_mount mounted
#
# The root is made once (debootstrap, a minute or two) and carries the marker file
# DIR/.brackwell-root-ok; later calls only install packages of BRACKWELL_SID_PACKAGES that
# are missing from it.  The root shares the host's network, so servers on 127.0.0.1 are
# reachable from inside.  The sid index a mirror serves may be older than its Valid-Until
# date; apt inside the root is told not to check it.

BRACKWELL_SID_PACKAGES=(binutils
                        python3.14 python3.14-venv python3.14-dev libpython3.14-dev
                        python3.15 python3.15-venv python3.15-dev libpython3.15-dev)
_BW_SID_MOUNTED=()      # mount points made by brackwell_sid_mount, in mount order

_bw_sid_log() { echo "[sid] $*" >&2; }

# shellcheck source=debian_mirror.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian_mirror.sh"

# Mount points at or below DIR, deepest first (from /proc/self/mounts).
_bw_sid_mounts_below() {
    local dir
    dir=$(realpath -m "$1")
    awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}

# Install into the root those of BRACKWELL_SID_PACKAGES it lacks.
_bw_sid_install_missing() {
    local root=$1 p missing=() rc=0
    for p in "${BRACKWELL_SID_PACKAGES[@]}"; do
        chroot "$root" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    _bw_sid_log "installing into $root: ${missing[*]}"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    brackwell_sid_mount "$root" || return 1
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        DEBIAN_FRONTEND=noninteractive sh -c \
        'apt-get update -q && apt-get install -y -q --no-install-recommends "$@"' sh "${missing[@]}" \
        >>"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; rc=1; }
    return "$rc"
}

# brackwell_sid_root DIR: make the root unless it is there, then add missing packages (with
# the root mounted for apt: brackwell_sid_umount undoes it).
brackwell_sid_root() {
    local root=$1 mirror t0=$SECONDS left include
    if [ ! -f "$root/.brackwell-root-ok" ]; then
        # a half-made root from an interrupted run: nothing may still be mounted in it
        # before it is deleted (a bound /dev would take the host's device nodes with it)
        for left in $(_bw_sid_mounts_below "$root"); do umount "$left" || umount -l "$left"; done
        if [ -n "$(_bw_sid_mounts_below "$root")" ]; then
            _bw_sid_log "still mounted below $root; not deleting it"
            return 1
        fi
        rm -rf --one-file-system "$root"
        mkdir -p "$(dirname "$root")"
        mirror=$(brackwell_debian_mirror)
        include=$(IFS=,; echo "${BRACKWELL_SID_PACKAGES[*]}")
        _bw_sid_log "debootstrap sid from $mirror"
        debootstrap --arch=amd64 --variant=minbase --include="$include" sid "$root" "$mirror" \
            >"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; return 1; }
        printf 'Acquire::Check-Valid-Until "false";\n' >"$root/etc/apt/apt.conf.d/99brackwell"
        touch "$root/.brackwell-root-ok"
        _bw_sid_log "root made in $((SECONDS - t0))s"
    else
        _bw_sid_log "reusing $root"
    fi
    _bw_sid_install_missing "$root" || return 1
    chroot "$root" /bin/sh -c 'for v in 3.14 3.15; do python$v -c "import sys, venv; print(sys.version)"; done' \
        | sed 's/^/[sid] /' >&2 || return 1
}

# brackwell_sid_mount DIR: /proc, and a tmpfs on /dev/shm when the root has none (Python's
# multiprocessing locks live there).  What is already mounted is left as it is.
brackwell_sid_mount() {
    local root=$1
    if ! mountpoint -q "$root/proc"; then
        mount -t proc proc "$root/proc" || return 1
        _BW_SID_MOUNTED+=("$root/proc")
    fi
    mkdir -p "$root/dev/shm"
    if ! mountpoint -q "$root/dev/shm"; then
        mount -t tmpfs -o mode=1777,size=64m shm "$root/dev/shm" || return 1
        _BW_SID_MOUNTED+=("$root/dev/shm")
    fi
}

# Unmount, in reverse order, what brackwell_sid_mount mounted.  Safe to call twice.
brackwell_sid_umount() {
    local i m rc=0
    for ((i = ${#_BW_SID_MOUNTED[@]} - 1; i >= 0; i--)); do
        m=${_BW_SID_MOUNTED[i]}
        if mountpoint -q "$m"; then
            umount "$m" 2>/dev/null || umount -l "$m" || { _bw_sid_log "cannot unmount $m"; rc=1; }
        fi
    done
    _BW_SID_MOUNTED=()
    return "$rc"
}
