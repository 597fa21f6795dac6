"""What a threaded program sees, with and without the GIL: the same script on both builds.

    python benchmarks/parity.py [--rounds N] [--seconds S]

1. Threads sharing one instance: 2, 4 and 8 threads make N rounds each of set_field,
   get_field (one StateTracker) and add_key_int (one BatchAggregator). None of these calls
   runs Python code, so with the GIL no call is ever refused: counts the refusals.
2. Two threads repeat d[k] = d.pop(k) (the size comes back, the key moves to the end) while
   this thread loops for S seconds over StateTracker.set_initial_state(d), d holding 40 str
   keys and values, then over SchemaDiffEngine.diff_table on a model of 40 columns whose
   keys move the same way. Counts the reads, the loads that kept a name twice, the diffs
   that wrote a statement twice, and the PanicExceptions.
Prints counts, never asserts them: tests/test_threads.py holds the bounded checks.
"""

from __future__ import annotations

import argparse
import sys
import sysconfig
import threading
import time

from brackwell import BatchAggregator, SchemaDiffEngine, StateTracker

MARK = object()


def shared_instances(threads: int, rounds: int) -> int:
    """Refused calls, out of 3 * threads * rounds."""
    tracker, agg = StateTracker(), BatchAggregator()
    refused = [0] * threads
    barrier = threading.Barrier(threads)

    def work(i: int) -> None:
        barrier.wait()
        for n in range(rounds):
            for call, args in (
                (tracker.set_field, ("f%d" % (n % 8), n)),
                (tracker.get_field, ("f%d" % ((n + i) % 8),)),
                (agg.add_key_int, (n * threads + i,)),
            ):
                try:
                    call(*args)
                except RuntimeError:
                    refused[i] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return sum(refused)


def kept_twice(shared: dict) -> bool:
    """Loads `shared`; True when a name was kept twice (a stale twin stays behind)."""
    tracker = StateTracker()
    tracker.set_initial_state(shared)
    for name in list(tracker.get_current_dict()):
        tracker.set_field(name, MARK)
    return any(v is not MARK for v in tracker.get_current_dict().values())


def written_twice(model: dict) -> bool:
    up, _ = SchemaDiffEngine().diff_table("t", model, {"zz": "INTEGER"}, "sqlite")
    return len(set(up)) != len(up)


def moving_keys(read, shared: dict, seconds: float) -> tuple[int, int, int]:
    """(reads, reads that kept or wrote something twice, PanicExceptions) while two
    threads move the keys of `shared`."""
    done = threading.Event()
    names = list(shared)

    def move(part: list) -> None:
        while not done.is_set():
            for key in part:
                shared[key] = shared.pop(key)

    movers = [threading.Thread(target=move, args=(names[k::2],)) for k in (0, 1)]
    for m in movers:
        m.start()
    reads = twice = panics = 0
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            reads += 1
            try:
                twice += read(shared)
            except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
                if type(e).__name__ != "PanicException":
                    raise
                panics += 1
    finally:
        done.set()
        for m in movers:
            m.join()
    return reads, twice, panics


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--rounds", type=int, default=20_000, help="rounds per thread")
    parser.add_argument("--seconds", type=float, default=4.0, help="seconds per dict read")
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        "Python %s, free-threaded build: %s, GIL enabled: %s"
        % (sys.version.split()[0], bool(sysconfig.get_config_var("Py_GIL_DISABLED")), gil)
    )
    for threads in (2, 4, 8):
        calls = 3 * threads * args.rounds
        print(
            "%d threads: %d of %d calls refused"
            % (threads, shared_instances(threads, args.rounds), calls)
        )
    strs = {"f%d" % i: "v%d" % i for i in range(40)}
    model = {"c%d" % i: {"data_type": "INTEGER"} for i in range(40)}
    for label, read, shared in (("loads", kept_twice, strs), ("diffs", written_twice, model)):
        reads, twice, panics = moving_keys(read, shared, args.seconds)
        print("%s: %d, something twice: %d, PanicException: %d" % (label, reads, twice, panics))


if __name__ == "__main__":
    main()
