#!/bin/sh
# Run a command (normally "python -m pytest --capture=sys") against a brackwell extension
# built with ASan+UBSan, i.e. installed from a wheel built with
#   CXX=clang++ pip wheel -Ccmake.define.BRACKWELL_SANITIZE=ON ...
# (CMakeLists.txt then adds -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined
#  -fno-sanitize-recover=all, and -shared-libsan for clang).
#
#   scripts/run_sanitized.sh clang|gcc python -m pytest --capture=sys
#
# pytest's default fd-level capture swallows the report of a fatal ASan error (the process
# dies inside a test and exits 1 with no text): use --capture=sys or -s, or set
# ASAN_LOG=dir/asan to get report files.  Leaks are checked in-process at the end of the
# session by tests/conftest.py (pytest_sessionfinish), not at exit.
set -e
cc=$1; shift
case "$cc" in
  clang) rt=$(clang -print-file-name=libclang_rt.asan-x86_64.so) ;;
  gcc)   rt=$(gcc -print-file-name=libasan.so) ;;
  *) echo "usage: $0 clang|gcc command..." >&2; exit 2 ;;
esac
[ -f "$rt" ] || { echo "$0: ASan runtime not found ($rt): install libclang-rt-14-dev / libasan" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
# the ASan runtime must be the first library loaded; the interpreter itself is not instrumented
export LD_PRELOAD="$rt${LD_PRELOAD:+ $LD_PRELOAD}"
# every Python object through malloc: ASan sees object memory, LSan scans it
export PYTHONMALLOC=malloc
# leak check done in-process by the conftest hook, not at exit (exit-time noise on 3.12+);
# allocator_may_return_null: MemoryError paths (e.g. bytearray(2**45)) instead of an abort
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:detect_stack_use_after_return=1${ASAN_LOG:+:log_path=$ASAN_LOG}"
export LSAN_OPTIONS="suppressions=$here/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# symbolizer without the preloaded ASan runtime (else it hangs after a report, holding
# our stdout open); the wrapper finds the real llvm-symbolizer (package llvm)
export ASAN_SYMBOLIZER_PATH="$here/asan-symbolizer/llvm-symbolizer"
# tests read this to skip what cannot run under ASan (marker no_sanitizer, leakcheck's
# native/RSS counters)
export BRACKWELL_SANITIZED=1
exec "$@"
