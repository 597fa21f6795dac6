"""Leak checks for calls into brackwell's native extension, without a debug interpreter.

Usage in a pytest test (tests/ is on sys.path, so this imports as a plain module):

    import pytest
    from leakcheck import UNDER_MEMORY_TOOL, assert_no_leak
    from brackwell import QueryCompiler

    def test_select_does_not_leak():
        qc = QueryCompiler()
        table = "".join(["us", "ers"])     # a fresh, non-interned str to watch
        def call():
            qc.compile_select(table, ["id"], [], [], [], None, None, "sqlite")
        assert_no_leak(call, watch=[table, qc])

    @pytest.mark.no_sanitizer             # the native counter is off under ASan anyway
    def test_no_native_leak(): ...

The operation is run `warmup` times, then `rounds` rounds of `calls` calls; after each
round the counters below are read (after gc.collect()).  A counter is reported as a leak
only when it moved in the same direction in EVERY round by at least the per-call
threshold, so one-off growth (caches, free lists, dict resizes, the adaptive
interpreter's specialisation) does not fail the test.

Counters:
  blocks   sys.getallocatedblocks()  (pymalloc blocks; 0 and skipped under PYTHONMALLOC=malloc)
  gcobjs   len(gc.get_objects())     (GC-tracked objects: lists, dicts, instances ...)
  refs     sys.getrefcount() of each watched object (leaked or over-released references)
  total    sys.gettotalrefcount()    (debug interpreters only)
  native   glibc mallinfo2(): bytes in use by malloc (arena + mmapped chunks)
  rss      resident set size from /proc/self/statm (coarse; off unless rss=True)

native and rss are skipped under ASan or valgrind (UNDER_MEMORY_TOOL, also set by
BRACKWELL_SANITIZED=1); blocks is absent under PYTHONMALLOC=malloc.  A test whose point is
one of those counters should be marked @pytest.mark.no_sanitizer (see conftest.py) or
pytest.mark.skipif(UNDER_MEMORY_TOOL, reason=...), so that it does not pass vacuously.

Rules that keep the checks free of false positives (0 in 1600 runs per interpreter):
  - watch only the test's own fresh objects: on 3.12+ None, bools, small ints and
    interned literals are immortal and their reference counts never move;
  - do not keep results inside fn, and catch inside fn any exception it expects;
  - keep calls >= 100 (default 1000); native leaks under 16 B/call need a lower
    native_bytes_per_call or more calls.
"""

import ctypes
import ctypes.util
import gc
import os
import sys

__all__ = ["measure", "assert_no_leak", "LeakError", "UNDER_MEMORY_TOOL"]


def _under_memory_tool():
    if os.environ.get("BRACKWELL_SANITIZED") == "1":
        return True
    # ASan/LSan replace malloc (mallinfo2 then reads 0) and ASan's quarantine makes RSS
    # jump by tens of MB; valgrind likewise.  The native and rss counters are then off.
    if "vgpreload" in os.environ.get("LD_PRELOAD", ""):
        return True
    try:
        return hasattr(ctypes.CDLL(None), "__asan_init")
    except OSError:
        return False


UNDER_MEMORY_TOOL = _under_memory_tool()


class LeakError(AssertionError):
    pass


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _find_mallinfo2():
    if not sys.platform.startswith("linux"):
        return None
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        fn = libc.mallinfo2  # glibc >= 2.33
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    fn.argtypes = []
    return fn


_mallinfo2 = _find_mallinfo2()


def _native_bytes():
    if _mallinfo2 is None or UNDER_MEMORY_TOOL:
        return None
    mi = _mallinfo2()
    return mi.uordblks + mi.hblkhd


def _rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


def _snapshot(watch, want_rss):
    gc.collect()
    snap = {"gcobjs": len(gc.get_objects())}
    blocks = sys.getallocatedblocks()
    if blocks:
        snap["blocks"] = blocks
    if hasattr(sys, "gettotalrefcount"):
        snap["total"] = sys.gettotalrefcount()
    for i, obj in enumerate(watch):
        snap["refs[%d]" % i] = sys.getrefcount(obj)
    native = _native_bytes()
    if native is not None:
        snap["native"] = native
    if want_rss and not UNDER_MEMORY_TOOL:
        rss = _rss_bytes()
        if rss is not None:
            snap["rss"] = rss
    return snap


def measure(fn, *, calls=1000, rounds=3, warmup=None, watch=(), rss=False):
    """Run fn() and return {counter: [delta per round]}."""
    warmup = calls if warmup is None else warmup
    watch = list(watch)
    for _ in range(warmup):
        fn()
    was_enabled = gc.isenabled()
    gc.disable()  # collections only at snapshot time: steadier counts
    try:
        before = _snapshot(watch, rss)
        deltas = {k: [] for k in before}
        for _ in range(rounds):
            for _ in range(calls):
                fn()
            after = _snapshot(watch, rss)
            for k in deltas:
                deltas[k].append(after[k] - before[k])
            before = after
    finally:
        if was_enabled:
            gc.enable()
    return deltas


def assert_no_leak(
    fn,
    *,
    calls=1000,
    rounds=3,
    warmup=None,
    watch=(),
    per_call=0.5,
    native_bytes_per_call=16,
    rss=False,
    rss_bytes_per_call=256,
):
    """Fail (LeakError) if fn() leaks objects, references or native memory per call.

    per_call: objects/references per call that count as a leak (0.5 = one every 2nd call).
    Watched objects must be the test's own, non-immortal objects: on 3.12+ None, True,
    small ints and interned strings have a fixed reference count and hide leaks.
    """
    deltas = measure(fn, calls=calls, rounds=rounds, warmup=warmup, watch=watch, rss=rss)
    problems = []
    for name, ds in deltas.items():
        if name == "native":
            limit = calls * native_bytes_per_call
        elif name == "rss":
            limit = calls * rss_bytes_per_call
        elif name.startswith("refs"):
            limit = 1  # exact: any steady change is a bug
        else:
            limit = max(1, int(calls * per_call))
        if all(d >= limit for d in ds):
            problems.append("%s grew %s per round of %d calls" % (name, ds, calls))
        elif name.startswith("refs") and all(d <= -limit for d in ds):
            problems.append("%s fell %s per round (reference released too often)" % (name, ds))
    if problems:
        raise LeakError("; ".join(problems))
    return deltas
