"""Memory of 100,000 trackers of 10 fields: brackwell's StateTracker against the plain-Python
tracker of baseline.py, in each state a record goes through.

Each tracker is measured in a child process of its own: the growth of the resident set
(/proc/self/statm, Linux) after making the trackers and loading them, then after each kind
of call on every tracker, divided by the number of trackers. The values are shared by all
trackers, so the figures are what a tracker itself costs. Results of the calls are dropped.

    python benchmarks/tracker_memory.py [--count N]
"""

from __future__ import annotations

import argparse
import gc
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench import RECORD  # noqa: E402  the benchmark's record

# (state, the call made on every tracker to reach it); each state follows the one before
STATES = [
    ("loaded", None),
    ("after get_current_dict()", "get_current_dict"),
    ("after dirty_fields()", "dirty_fields"),
    ("after get_dirty_changes()", "get_dirty_changes"),
    ("after get_field()", "get_field"),
    ("after set_field() x2", "set_field"),
    ("after hydrate_snapshot()", "hydrate_snapshot"),
]


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(tracker, name: str) -> None:
    if name == "get_field":
        tracker.get_field("email")
    elif name == "set_field":
        tracker.set_field("age", 31)
        tracker.set_field("city", "Bergen")
    else:
        getattr(tracker, name)()


def measure(kind: str, count: int) -> list[float]:
    """Bytes per tracker in each state, in this process."""
    if kind == "brackwell":
        from brackwell import StateTracker
    else:
        from baseline import StateTracker
    gc.collect()
    gc.disable()
    start = rss_bytes()
    trackers = [StateTracker() for _ in range(count)]
    figures = []
    for _, name in STATES:
        for tracker in trackers:
            if name is None:
                tracker.set_initial_state(RECORD)
            else:
                call(tracker, name)
        figures.append((rss_bytes() - start) / count)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--count", type=int, default=100_000, help="trackers per process")
    parser.add_argument("--child", choices=["brackwell", "plain"], help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        print(" ".join(f"{x:.0f}" for x in measure(options.child, options.count)))
        return
    columns = {}
    for kind in ("brackwell", "plain"):
        out = subprocess.run(
            [sys.executable, __file__, "--child", kind, "--count", str(options.count)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        columns[kind] = [float(x) for x in out.splitlines()[-1].split()]
    print(f"{options.count:,} trackers of {len(RECORD)} fields, resident bytes per tracker")
    print(f"(CPython {sys.version.split()[0]})\n")
    print("| state | brackwell | plain Python |")
    print("|---|---:|---:|")
    for i, (state, _) in enumerate(STATES):
        print(f"| {state} | {columns['brackwell'][i]:,.0f} | {columns['plain'][i]:,.0f} |")


if __name__ == "__main__":
    main()
