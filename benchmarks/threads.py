"""Throughput of the module's hot methods on 1 and 2 threads, each thread on its own instance
with its own argument objects. On a free-threaded interpreter the calls run in parallel;
with the GIL they take turns.

    python benchmarks/threads.py [--calls N] [--repeats R] [--threads 1,2]

Prints, per workload, the nanoseconds per call on one thread and the throughput of each
thread count relative to one thread (best of R runs each). Timing is reported, never
asserted.
"""

from __future__ import annotations

import argparse
import gc
import sys
import sysconfig
import threading
import time

from brackwell import BatchAggregator, QueryCompiler, StateTracker


def text(s: str) -> str:
    """A new str object equal to `s` (literals are shared between threads)."""
    return "".join(list(s))


def number(n: int) -> int:
    """A new int object equal to `n`: a constant of the code is one object for every thread,
    whose reference count both threads would write."""
    return int(str(n))


def set_field():
    tracker = StateTracker()
    name, value = text("email"), number(10**12 + 7)
    tracker.set_initial_state({name: value, text("id"): number(10**12)})
    return tracker.set_field, (name, value)


def add_key_int():
    agg = BatchAggregator()
    key = number(10**12 + 11)
    return agg.add_key_int, (key,)


def add_keys_batch():
    agg = BatchAggregator()
    keys = [10**12 + i for i in range(50)] + [text("k%d" % i) for i in range(50)]
    return agg.add_keys_batch, (keys,)


def compile_select():
    qc = QueryCompiler()
    args = (
        text("users"),
        [text("id"), text("name"), text("email")],
        [(text("age"), text(">="), text("18")), (text("status"), text("="), text("active"))],
        [],
        [(text("name"), text("asc"))],
        number(10**12 + 10),
        number(10**12 + 20),
        text("postgres"),
    )
    return qc.compile_select, args


def floor():
    """A builtin method call of the same shape: the interpreter's own scaling."""
    items = [number(10**12 + 1)]
    key = number(10**12 + 2)
    return items.count, (key,)


WORKLOADS = {
    "floor list.count": floor,
    "set_field": set_field,
    "add_key_int": add_key_int,
    "add_keys_batch": add_keys_batch,
    "compile_select": compile_select,
}


LOOP = "def loop(method, args, calls):\n    for _ in range(calls):\n        method(*args)\n"


def own_loop():
    """The timing loop, compiled afresh: a code object that both threads run (a shared
    lambda's) made even list.count scale by only 1.1-1.9 on 3.13t."""
    namespace: dict = {}
    exec(compile(LOOP, "<loop>", "exec"), namespace)
    return namespace["loop"]


def run(make, threads: int, calls: int) -> float:
    """Seconds for `threads` threads to make `calls` calls each, started together."""
    barrier = threading.Barrier(threads)
    spans = []

    def body():
        method, args = make()  # the instance and the arguments belong to this thread
        loop = own_loop()
        loop(method, args, 100)
        barrier.wait()
        # each thread reads the clock itself: on two cores a third, timing thread may not
        # run until the workers are done
        start = time.perf_counter()
        loop(method, args, calls)
        spans.append((start, time.perf_counter()))

    workers = [threading.Thread(target=body) for _ in range(threads)]
    # A collection stops every thread of a free-threaded interpreter: with it off, the
    # figures are those of the calls themselves, as bench.py's are.
    gc.collect()
    gc.disable()
    try:
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        gc.enable()
    return max(end for _, end in spans) - min(start for start, _ in spans)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=50_000, help="calls per thread per run")
    parser.add_argument("--repeats", type=int, default=21, help="runs per thread count")
    parser.add_argument("--threads", default="1,2", help="thread counts, comma-separated")
    args = parser.parse_args()
    counts = [int(t) for t in args.threads.split(",")]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        "Python %s, free-threaded build: %s, GIL enabled: %s"
        % (sys.version.split()[0], bool(sysconfig.get_config_var("Py_GIL_DISABLED")), gil)
    )
    print("%-16s %12s  %s" % ("workload", "ns/call (1)", "  ".join("x%d" % t for t in counts)))
    for name, make in WORKLOADS.items():
        # the thread counts take turns, so a machine whose speed drifts favours none of them
        best = dict.fromkeys(counts, float("inf"))
        for _ in range(args.repeats):
            for t in counts:
                best[t] = min(best[t], run(make, t, args.calls))
        base = args.calls / best[counts[0]]
        ratios = "  ".join("%.2f" % (t * args.calls / best[t] / base) for t in counts)
        print("%-16s %12.1f  %s" % (name, 1e9 * best[counts[0]] / args.calls, ratios))


if __name__ == "__main__":
    main()
