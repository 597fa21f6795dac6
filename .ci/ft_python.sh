# shellcheck shell=bash
# CPython 3.13 interpreters built from source for the free-threaded stages of .ci/run.
# Sourced; needs root only when Debian build dependencies are missing.
#
#     source .ci/ft_python.sh
#     brackwell_cpython ft      DIR   # --disable-gil
#     brackwell_cpython ft-tsan DIR   # --disable-gil --with-thread-sanitizer, built with clang
#     brackwell_cpython gil     DIR   # the GIL build from the same tarball (measurements only)
#     DIR/bin/python3.13t -c 'import sys; print(sys._is_gil_enabled())'
#
# The source is the tarball in ../shared/cpython/ beside the repository (or in
# BRACKWELL_CPYTHON_SRC), checked against the SHA256SUMS file there.  Each build takes about
# 8 minutes on 2 cores; a finished one carries the marker DIR/.brackwell-python-ok and is
# reused as it is.

BRACKWELL_CPYTHON_TARBALL=python3.13_3.13.15.orig.tar.xz
BRACKWELL_CPYTHON_DEPS=(build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
                        libsqlite3-dev libreadline-dev uuid-dev)

_bw_py_log() { echo "[cpython] $*" >&2; }

_bw_py_src() {
    local here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    echo "${BRACKWELL_CPYTHON_SRC:-$here/../shared/cpython}"
}

_bw_py_deps() {                 # _bw_py_deps [extra packages...]: install what is missing
    local p missing=()
    for p in "${BRACKWELL_CPYTHON_DEPS[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || { _bw_py_log "missing Debian packages: ${missing[*]}"; return 1; }
    _bw_py_log "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# brackwell_cpython KIND DIR: build CPython 3.13.15 of that kind into DIR unless it is there.
brackwell_cpython() {
    local kind=$1 dir=$2 src tarball build t0=$SECONDS rc=0
    local conf=(--prefix="$dir") env=()
    if [ -f "$dir/.brackwell-python-ok" ]; then
        _bw_py_log "reusing $dir"
        return 0
    fi
    case "$kind" in
        ft) conf+=(--disable-gil) ;;
        # only the threads tests run on it: without the test package, installing (which
        # compiles the library with the instrumented interpreter) takes a fraction as long
        ft-tsan)
            conf+=(--disable-gil --with-thread-sanitizer --disable-test-modules)
            env=(CC=clang CXX=clang++)
            ;;
        gil) ;;
        *) _bw_py_log "unknown kind: $kind"; return 1 ;;
    esac
    if [ "$kind" = ft-tsan ]; then _bw_py_deps clang || return 1; else _bw_py_deps || return 1; fi
    src=$(_bw_py_src)
    tarball="$src/$BRACKWELL_CPYTHON_TARBALL"
    [ -f "$tarball" ] || { _bw_py_log "no $tarball"; return 1; }
    (cd "$src" && grep " $BRACKWELL_CPYTHON_TARBALL\$" SHA256SUMS | sha256sum -c --status) \
        || { _bw_py_log "checksum of $tarball does not match SHA256SUMS"; return 1; }
    rm -rf "$dir" "$dir.build"
    mkdir -p "$dir.build"
    build="$dir.build"
    tar -xf "$tarball" -C "$build" --strip-components=1 || return 1
    _bw_py_log "building $kind into $dir (log: $dir.log)"
    (
        cd "$build" &&
            env "${env[@]}" ./configure "${conf[@]}" &&
            # installing compiles the library for three optimisation levels, one file at a
            # time (slow under an instrumented interpreter): one level, on every core
            sed -i 's/-o 0 -o 1 -o 2 /-o 0 /' Makefile &&
            make -j"$(nproc)" &&
            make install COMPILEALL_OPTS=-j0
    ) >"$dir.log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
        tail -n 30 "$dir.log" >&2
        return 1
    fi
    # pip comes from the wheel the tarball bundles (make install runs ensurepip)
    [ -x "$(brackwell_cpython_exe "$dir")" ] || { _bw_py_log "no interpreter in $dir/bin"; return 1; }
    # the suppressions file the ThreadSanitizer stage needs lives in the source tree
    mkdir -p "$dir/share/brackwell" &&
        cp "$build/Tools/tsan/suppressions_free_threading.txt" "$dir/share/brackwell/" || return 1
    rm -rf "$build"
    touch "$dir/.brackwell-python-ok"
    _bw_py_log "$kind ready in $((SECONDS - t0))s"
}

# brackwell_cpython_exe DIR: the interpreter's executable (python3.13t or python3.13)
brackwell_cpython_exe() {
    local dir=$1
    if [ -x "$dir/bin/python3.13t" ]; then echo "$dir/bin/python3.13t"; else echo "$dir/bin/python3.13"; fi
}
