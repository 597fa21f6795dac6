"""Throughput of the module's hot methods on 1 and 2 threads, each thread on its own instance
with its own argument objects, then on 1, 2 and 4 threads that share one instance. On a
free-threaded interpreter calls on separate instances run in parallel, and calls on one
instance wait for each other; with the GIL they all take turns.

    python benchmarks/threads.py [--calls N] [--repeats R] [--threads 1,2]
                                 [--shared-threads 1,2,4] [--only NAME]

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


def loaded_tracker() -> StateTracker:
    tracker = StateTracker()
    tracker.set_initial_state({text("email"): number(10**12 + 7), text("id"): number(10**12)})
    return tracker


def batch() -> tuple:
    return ([10**12 + i for i in range(50)] + [text("k%d" % i) for i in range(50)],)


def select_args() -> tuple:
    return (
        text("users"),
        [text("id"), text("name"), text("email")],
        [(text("age"), text(">="), text("18")), (text("status"), text("="), text("active"))],
        [],
        [(text("name"), text("asc"))],
        number(10**12 + 10),
        number(10**12 + 20),
        text("postgres"),
    )


# name: (make the instance, the method's name, make one thread's arguments). The floor is a
# builtin method call of the same shape: the interpreter's own scaling.
WORKLOADS = {
    "floor list.count": (lambda: [number(10**12 + 1)], "count", lambda: (number(10**12 + 2),)),
    "set_field": (loaded_tracker, "set_field", lambda: (text("email"), number(10**12 + 7))),
    "add_key_int": (BatchAggregator, "add_key_int", lambda: (number(10**12 + 11),)),
    "add_keys_batch": (BatchAggregator, "add_keys_batch", batch),
    "compile_select": (QueryCompiler, "compile_select", select_args),
}

# The same on one instance that every thread calls; the floor is a builtin method that
# changes one shared object.
SHARED_WORKLOADS = {
    "floor list.append": (list, "append", lambda: (number(10**12 + 1),)),
    "set_field": WORKLOADS["set_field"],
    "get_field": (loaded_tracker, "get_field", lambda: (text("email"),)),
    "add_key_int": WORKLOADS["add_key_int"],
    "add_keys_batch": WORKLOADS["add_keys_batch"],
}


LOOP = """
def loop(method, args, calls):
    refused = 0
    for _ in range(calls):
        try:
            method(*args)
        except RuntimeError:  # a call on a busy instance, counted
            refused += 1
    return refused
"""


def own_loop():
    """The timing loop, compiled afresh: a code object that both threads run (a shared
    lambda's) made even list.count scale by only 1.1-1.9 on 3.13t."""
    namespace: dict = {}
    exec(compile(LOOP, "<loop>", "exec"), namespace)
    return namespace["loop"]


def run(workload, threads: int, calls: int, shared: bool) -> tuple[float, int]:
    """Seconds for `threads` threads to make `calls` calls each, started together: each on
    an instance of its own, or all on one (`shared`); and how many calls were refused."""
    make_instance, method_name, make_args = workload
    one = make_instance() if shared else None
    barrier = threading.Barrier(threads)
    spans = []

    def body():
        # the arguments, and the instance unless it is shared, belong to this thread
        method = getattr(one if shared else make_instance(), method_name)
        args = make_args()
        loop = own_loop()
        loop(method, args, 100)
        barrier.wait()
        # each thread reads the clock itself: on two cores a third, timing thread may not
        # run until the workers are done
        start = time.perf_counter()
        refused = loop(method, args, calls)
        spans.append((start, time.perf_counter(), refused))

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
    return max(end for _, end, _ in spans) - min(start for start, _, _ in spans), sum(
        refused for _, _, refused in spans
    )


def table(workloads: dict, counts: list, args, shared: bool) -> None:
    """Per workload: ns per call on the first thread count, and the throughput of every
    thread count relative to it (best of the repeats each), with the refused calls of all
    repeats if there were any."""
    print("%-18s %12s  %s" % ("workload", "ns/call (%d)" % counts[0],
                               "  ".join("x%d" % t for t in counts)))  # fmt: skip
    for name, workload in workloads.items():
        # the thread counts take turns, so a machine whose speed drifts favours none of them
        best = dict.fromkeys(counts, float("inf"))
        refused = 0
        for _ in range(args.repeats):
            for t in counts:
                seconds, refusals = run(workload, t, args.calls, shared)
                best[t] = min(best[t], seconds)
                refused += refusals
        base = counts[0] * args.calls / best[counts[0]]
        ratios = "  ".join("%.2f" % (t * args.calls / best[t] / base) for t in counts)
        note = "  (%d calls refused)" % refused if refused else ""
        print("%-18s %12.1f  %s%s" % (name, 1e9 * best[counts[0]] / args.calls, ratios, note))


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--calls", type=int, default=50_000, help="calls per thread per run")
    parser.add_argument("--repeats", type=int, default=21, help="runs per thread count")
    parser.add_argument("--threads", default="1,2", help="thread counts, comma-separated")
    parser.add_argument(
        "--shared-threads", default="1,2,4", help="thread counts on one shared instance"
    )
    parser.add_argument("--only", help="run only the workloads whose names contain this")
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        "Python %s, free-threaded build: %s, GIL enabled: %s"
        % (sys.version.split()[0], bool(sysconfig.get_config_var("Py_GIL_DISABLED")), gil)
    )

    def chosen(workloads: dict) -> dict:
        return {k: v for k, v in workloads.items() if not args.only or args.only in k}

    print("each thread on an instance of its own:")
    table(chosen(WORKLOADS), [int(t) for t in args.threads.split(",")], args, shared=False)
    print("every thread on one shared instance:")
    table(chosen(SHARED_WORKLOADS), [int(t) for t in args.shared_threads.split(",")], args,
          shared=True)  # fmt: skip


if __name__ == "__main__":
    main()
