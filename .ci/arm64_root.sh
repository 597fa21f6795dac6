# shellcheck shell=bash
# An emulated arm64 Debian (bookworm, its Python 3.11) for testing the aarch64 wheel on an
# x86-64 machine.  Sourced by .ci/run; needs root and the Debian packages qemu-user-static
# and debootstrap.
#
#     source .ci/arm64_root.sh
#     brackwell_arm64_binfmt            # lets the kernel run arm64 programs through qemu
#     brackwell_arm64_root DIR          # makes the root in DIR unless it is already there
#     chroot DIR python3 -c 'import platform; print(platform.machine())'   # aarch64
#
# Making the root takes minutes (debootstrap's second stage runs emulated); a finished
# root carries the marker file DIR/.brackwell-root-ok and is reused as it is.

_bw_arm_log() { echo "[arm64] $*" >&2; }

# shellcheck source=debian_mirror.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian_mirror.sh"

# Register qemu's aarch64 handler with binfmt_misc (mounting that first if needed).  The
# handler is registered with the F flag, so it works inside a chroot without a copy of qemu.
brackwell_arm64_binfmt() {
    local bm=/proc/sys/fs/binfmt_misc
    if [ ! -e "$bm/register" ]; then
        mount -t binfmt_misc binfmt_misc "$bm" || return 1
    fi
    if [ ! -e "$bm/qemu-aarch64" ]; then
        cat /usr/lib/binfmt.d/qemu-aarch64.conf > "$bm/register" || return 1
    fi
    [ "$(head -n 1 "$bm/qemu-aarch64")" = enabled ] || echo 1 > "$bm/qemu-aarch64"
}

brackwell_arm64_root() {
    local root=$1 mirror t0=$SECONDS
    if [ -f "$root/.brackwell-root-ok" ]; then
        _bw_arm_log "reusing $root"
        return 0
    fi
    rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    mirror=$(brackwell_debian_mirror)
    _bw_arm_log "debootstrap first stage from $mirror"
    debootstrap --arch=arm64 --foreign --variant=minbase --include=python3,python3-venv \
        bookworm "$root" "$mirror" >"$root.log" 2>&1 \
        || { tail -n 20 "$root.log" >&2; return 1; }
    _bw_arm_log "first stage done in $((SECONDS - t0))s; second stage (emulated)"
    chroot "$root" /debootstrap/debootstrap --second-stage >>"$root.log" 2>&1 \
        || { tail -n 20 "$root.log" >&2; return 1; }
    chroot "$root" /usr/bin/python3 -m venv /opt/venv || return 1
    touch "$root/.brackwell-root-ok"
    _bw_arm_log "root ready in $((SECONDS - t0))s"
}
