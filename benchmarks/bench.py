"""brackwell's benchmark: every method beside the call floor and a plain-Python baseline.

For each workload it first runs the module and baseline.py once on the same input and
checks that their observable results agree; then it times the module, the baseline and the
floor (the cheapest call of the same style, from benchmarks/floor) with timeit, best of
several repeats, with the garbage collector off. Timing is reported, never asserted: the
exit status is 1 only when module and baseline disagree or the module fails.

    python benchmarks/bench.py [--quick] [--json PATH] [--plot PATH] [--only TEXT]

Budgets are for CPython 3.11 on the reference machine; they are scaled by this machine's
call floor (the geometric mean of its three reference calls against the reference figures)
and, in --quick mode, by the smaller batch sizes.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import random
import re
import sys
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "floor"))

import baseline  # noqa: E402
import build_floor  # noqa: E402

from brackwell import _brackwell_rs as native  # noqa: E402

# Reference call costs (ns) on the machine the budgets were set on.
REFERENCE_FLOOR = {"args1": 55.0, "noargs": 13.0, "echo_text": 87.0}

# The floor statement of each call style, run on the namespace of floor_namespace().
FLOOR_CALLS = {
    "args1": "fl.args1(a)",
    "args2": "fl.args2(a, b)",
    "args3": "fl.args3(a, b, c)",
    "args4": "fl.args4(a, b, c, d)",
    "args8": "fl.args8(a, b, c, d, e, f, g, h)",
    "noargs": "fl.noargs()",
    "static1": "Fl.static1(a)",
    "echo_text": "fl.echo_text(s)",
}


@dataclass
class Row:
    """One workload: the same statement runs on the module's and the baseline's namespace."""

    name: str
    stmt: str
    floor: str
    setup: Callable[[Any], dict]
    observe: Callable[[dict], Any]
    budget_ns: float | None = None
    plain_ns: float | None = None
    budget_of: str | None = None  # budget is 2x the module time of this row instead
    result: dict = field(default_factory=dict)


# ---- workloads ------------------------------------------------------------------------

SELECT_ARGS = (
    "users",
    ["id", "name"],
    [("age", ">=", "18"), ("status", "=", "active")],
    [("left", "orders", "orders.user_id = users.id")],
    [("name", "asc"), ("id", "desc")],
    10,
    20,
    "postgres",
)

RECORD = {
    "id": 7,
    "name": "Ann",
    "email": "ann@example.com",
    "age": 30,
    "active": True,
    "score": 4.5,
    "nickname": None,
    "city": "Oslo",
    "zip": "0150",
    "visits": 12,
}

DIFF_MODEL = {
    "id": {"data_type": "INTEGER", "primary_key": True, "nullable": False},
    "email": {"data_type": "VARCHAR(255)", "nullable": False},
    "bio": {},
}
DIFF_MODEL_MORE = {
    **DIFF_MODEL,
    "age": {"data_type": "INTEGER"},
    "nickname": {"data_type": "TEXT", "nullable": False},
}
DIFF_DB = {"id": "INTEGER", "email": "VARCHAR(255)", "bio": "TEXT", "legacy_flag": "BOOLEAN"}
DIFF_WIDE = {
    f"c{i:03d}": (
        {"data_type": "BIGINT", "primary_key": True}
        if i == 0
        else {
            "data_type": ("INTEGER", "TEXT", "VARCHAR(255)", "BOOLEAN")[i % 4],
            "nullable": i % 3 != 0,
        }
    )
    for i in range(200)
}


def tracker_state(t) -> tuple:
    """Everything a tracker shows, free of its walk order."""
    return (t.is_dirty(), sorted(t.dirty_fields()), t.get_dirty_changes(), t.get_current_dict())


def keys_seen(keys: list) -> tuple:
    """The keys as two sorted groups, and whether every int came before every text."""
    ints = [k for k in keys if type(k) is int]
    texts = [k for k in keys if type(k) is not int]
    return sorted(ints), sorted(texts), keys[: len(ints)] == [k for k in keys if type(k) is int]


_CREATE = re.compile(r"(CREATE TABLE IF NOT EXISTS .*? \()(.*)(\);)", re.S)


def ddl_seen(result: tuple) -> tuple:
    """The upgrade/downgrade pairs, sorted, with column definitions sorted inside CREATE."""
    upgrade, downgrade = result

    def canonical(statement: str) -> str:
        match = _CREATE.fullmatch(statement)
        if not match:
            return statement
        head, body, tail = match.groups()
        return head + ", ".join(sorted(body.split(", "))) + tail

    return sorted(zip(map(canonical, upgrade), downgrade)), len(upgrade), len(downgrade)


def make_rows(quick: bool) -> list[Row]:
    n_batch = 10_000 if quick else 100_000
    n_crafted = 20_000 if quick else 200_000
    n_native = 10_000 if quick else 1_000_000
    batch_scale = n_batch / 100_000
    rng = random.Random(7)
    int_keys = list(range(n_batch // 2)) * 2
    rng.shuffle(int_keys)
    text_keys = [f"k{i:06d}" for i in range(n_batch)]
    crafted = [i << 32 for i in range(n_crafted)]
    plain = list(range(n_crafted))

    def qc(mod):
        return {"q": mod.QueryCompiler(), "A": SELECT_ARGS, "C": ["name", "email"]}

    def eval_in(stmt):
        return lambda ns: eval(stmt, ns)

    def tracker(dirty: int = 0):
        def setup(mod):
            t = mod.StateTracker()
            t.set_initial_state(RECORD)
            for name, value in list({"age": 31, "city": "Bergen"}.items())[:dirty]:
                t.set_field(name, value)
            return {"t": t, "D": RECORD, "S": mod.StateTracker}

        return setup

    def tracked(stmt, shape=lambda result: result):
        return lambda ns: (shape(eval(stmt, ns)), tracker_state(ns["t"]))

    def engine(mod):
        return {"e": mod.SchemaDiffEngine(), "M": DIFF_MODEL, "MM": DIFF_MODEL_MORE, "DB": DIFF_DB,
                "W": DIFF_WIDE, "E": {}}  # fmt: skip

    def aggregator(fill: bool = False):
        def setup(mod):
            cls = mod.BatchAggregator
            a = cls()
            a.add_key_int(12345)
            a.add_key_str("user-12345")
            if fill:
                a.add_keys_batch(int_keys)
                a.add_keys_batch(text_keys[: n_batch // 2])

            def batch(keys):
                return lambda: cls().add_keys_batch(keys)

            return {"a": a, "run_ints": batch(int_keys), "run_texts": batch(text_keys),
                    "run_crafted": batch(crafted), "run_plain": batch(plain)}  # fmt: skip

        return setup

    def batch_seen(keys):
        def observe(ns):
            a = type(ns["a"])()
            return a.add_keys_batch(keys), keys_seen(a.get_keys()), a.len()

        return observe

    def add_seen(stmt):
        return lambda ns: (eval(stmt, ns), keys_seen(ns["a"].get_keys()))

    def native_bench(mod):
        return {"S": mod.StateTracker, "N": n_native}

    def bench_seen(ns):
        seconds = eval("S.benchmark_pure_rust(N)", ns)
        return type(seconds) is float and seconds >= 0.0

    rows = [
        Row("get_placeholder('postgres', 3)", "q.get_placeholder('postgres', 3)", "args2", qc,
            eval_in("q.get_placeholder('postgres', 3)"), 120, 196),
        Row("compile_select, worked example", "q.compile_select(*A)", "args8", qc,
            eval_in("q.compile_select(*A)"), 700, 2110),
        Row("compile_insert, 2 columns", "q.compile_insert('users', C, 'postgres')", "args3", qc,
            eval_in("q.compile_insert('users', C, 'postgres')"), 250, 760),
        Row("compile_update, 2 columns", "q.compile_update('users', C, 'id', 'postgres')",
            "args4", qc, eval_in("q.compile_update('users', C, 'id', 'postgres')"), 270, 730),
        Row("compile_delete", "q.compile_delete('users', 'id', 'postgres')", "args3", qc,
            eval_in("q.compile_delete('users', 'id', 'postgres')"), 170, 130),
        Row("set_initial_state, 10 fields", "t.set_initial_state(D)", "args1", tracker(),
            tracked("t.set_initial_state(D)"), 800, 1170),
        Row("set_field('age', 31)", "t.set_field('age', 31)", "args2", tracker(),
            tracked("t.set_field('age', 31)"), 120, 120),
        Row("get_field('name')", "t.get_field('name')", "args1", tracker(1),
            tracked("t.get_field('name')"), 90, 46),
        Row("is_dirty(), 10 clean", "t.is_dirty()", "noargs", tracker(), tracked("t.is_dirty()"),
            30, 123),
        Row("dirty_fields(), 2 of 10 dirty", "t.dirty_fields()", "noargs", tracker(2),
            tracked("t.dirty_fields()", sorted), 130, 534),
        Row("get_dirty_changes(), 2 of 10 dirty", "t.get_dirty_changes()", "noargs", tracker(2),
            tracked("t.get_dirty_changes()"), 150, 609),
        Row("get_current_dict(), 10 fields", "t.get_current_dict()", "noargs", tracker(1),
            tracked("t.get_current_dict()"), 250, 81),
        Row("hydrate_snapshot(), 10 fields", "t.hydrate_snapshot()", "noargs", tracker(2),
            tracked("t.hydrate_snapshot()"), 60, 84),
        Row("diff_table, new table (3 columns)", "e.diff_table('users', M, E, 'postgres')",
            "args4", engine, lambda ns: ddl_seen(eval("e.diff_table('users', M, E, 'postgres')",
                                                      ns))),
        Row("diff_table, existing table (+2 columns)", "e.diff_table('users', MM, DB, 'sqlite')",
            "args4", engine, lambda ns: ddl_seen(eval("e.diff_table('users', MM, DB, 'sqlite')",
                                                      ns))),
        Row("diff_table, 200-column new table", "e.diff_table('wide', W, E, 'postgres')", "args4",
            engine, lambda ns: ddl_seen(eval("e.diff_table('wide', W, E, 'postgres')", ns)),
            10_000, 31_500),
        Row("add_key_int, present", "a.add_key_int(12345)", "args1", aggregator(),
            add_seen("a.add_key_int(12345)"), 70, 46),
        Row("add_key(int), present", "a.add_key(12345)", "args1", aggregator(),
            add_seen("a.add_key(12345)"), 70, 46),
        Row("add_key(str), present", "a.add_key('user-12345')", "args1", aggregator(),
            add_seen("a.add_key('user-12345')"), 100, 70),
        Row(f"add_keys_batch, {n_batch:,} ints (half duplicates)", "run_ints()", "args1",
            aggregator(), batch_seen(int_keys), 1_500_000 * batch_scale,
            10_100_000 * batch_scale),
        Row(f"add_keys_batch, {n_batch:,} short strs", "run_texts()", "args1", aggregator(),
            batch_seen(text_keys), 3_000_000 * batch_scale, 7_800_000 * batch_scale),
        Row(f"get_keys(), {n_batch:,} keys", "a.get_keys()", "noargs", aggregator(fill=True),
            lambda ns: keys_seen(ns["a"].get_keys()), 2_500_000 * batch_scale,
            1_350_000 * batch_scale),
        Row(f"benchmark_pure_rust({n_native:,})", "S.benchmark_pure_rust(N)", "static1",
            native_bench, bench_seen, 150e6 * n_native / 1e6, 1.35e9 * n_native / 1e6),
        Row(f"add_keys_batch, range({n_crafted:,})", "run_plain()", "args1", aggregator(),
            batch_seen(plain)),
        Row(f"add_keys_batch, [i << 32 for i in range({n_crafted:,})]", "run_crafted()", "args1",
            aggregator(), batch_seen(crafted),
            budget_of=f"add_keys_batch, range({n_crafted:,})"),
    ]  # fmt: skip
    return rows


# ---- timing -----------------------------------------------------------------------------


def per_call_ns(calls: list[tuple[str, dict]], quick: bool) -> list[float]:
    """Best per-call time (ns) of each (statement, namespace), the statements interleaved.

    Each statement runs in many short repeats, round by round, so that a burst of load on a
    shared machine hits all of them alike and the best repeat of each is a quiet one.
    timeit keeps the garbage collector off while it times.
    """
    target, rounds = (0.005, 3) if quick else (0.05, 15)
    timers, numbers, best = [], [], []
    for stmt, namespace in calls:
        timer = timeit.Timer(stmt, globals=namespace)
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= target or number >= 1 << 24:
                break
            number = max(number * 2, int(number * target / max(elapsed, 1e-9) * 1.2))
        timers.append(timer)
        numbers.append(number)
        best.append(elapsed / number)
    for round_ in range(1, rounds):
        for i, timer in enumerate(timers):
            if round_ < 3 or best[i] < 0.1:  # calls over 0.1 s get three rounds only
                best[i] = min(best[i], timer.timeit(numbers[i]) / numbers[i])
    return [seconds * 1e9 for seconds in best]


def floor_namespace(floor_module) -> dict:
    return {"fl": floor_module.Floor(), "Fl": floor_module.Floor, "s": "postgres",
            **{name: i for i, name in enumerate("abcdefgh")}}  # fmt: skip


def scale_factor(floor: dict) -> float:
    """This machine's speed against the reference: geometric mean of the reference calls."""
    ratios = [floor[name] / ns for name, ns in REFERENCE_FLOOR.items() if name in floor]
    return math.exp(sum(map(math.log, ratios)) / len(ratios)) if ratios else 1.0


# ---- output -------------------------------------------------------------------------------


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return ""
    for unit, size in (("s", 1e9), ("ms", 1e6), ("µs", 1e4)):
        if ns >= size:
            size = 1e3 if unit == "µs" else size
            return f"{ns / size:,.3g} {unit}" if ns / size < 1000 else f"{ns / size:,.0f} {unit}"
    return f"{ns:,.0f} ns" if ns >= 100 else f"{ns:.1f} ns"


def fmt_ratio(a: float | None, b: float | None) -> str:
    return f"{a / b:.2f}×" if a and b else ""


def machine() -> dict:
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "system": platform.platform(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
    }


def markdown(rows: list[Row], floor: dict, scale: float) -> str:
    lines = [
        "| workload | module | plain Python | floor | module / Python | module / floor "
        "| budget (scaled) | meets |",
        "|---|---:|---:|---:|---:|---:|---:|:---:|",
    ]
    for row in rows:
        r = row.result
        if r.get("status") != "timed":
            lines.append(f"| {row.name} | {r.get('status', '')} | | | | | | |")
            continue
        budget = r.get("budget_ns")
        meets = "" if budget is None else ("yes" if r["module_ns"] <= budget else "**no**")
        lines.append(
            f"| {row.name} | {fmt_ns(r['module_ns'])} | {fmt_ns(r['baseline_ns'])} "
            f"| {fmt_ns(r.get('floor_ns'))} | {fmt_ratio(r['module_ns'], r['baseline_ns'])} "
            f"| {fmt_ratio(r['module_ns'], r.get('floor_ns'))} | {fmt_ns(budget)} | {meets} |"
        )
    if floor:
        lines += ["", "| call floor | per call |", "|---|---:|"]
        lines += [f"| `{FLOOR_CALLS[name]}` | {fmt_ns(ns)} |" for name, ns in floor.items()]
        lines.append(f"\nBudgets scaled by {scale:.2f} (this machine's floor / reference floor).")
    return "\n".join(lines)


def plot(rows: list[Row], path: str, title: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"matplotlib is not installed: no plot written to {path} (pip install matplotlib)")
        return
    timed = [row for row in rows if row.result.get("status") == "timed"]
    if not timed:
        print("nothing timed: no plot written")
        return
    fig, ax = plt.subplots(figsize=(10, 0.42 * len(timed) + 1.6))
    height = 0.27
    series = (("module_ns", "brackwell", "#1f77b4"), ("baseline_ns", "plain Python", "#ff7f0e"),
              ("floor_ns", "call floor", "#9a9a9a"))  # fmt: skip
    for k, (key, label, color) in enumerate(series):
        ys = [i + (k - 1) * height for i in range(len(timed))]
        xs = [row.result.get(key) or 0 for row in timed]
        ax.barh(ys, xs, height=height, label=label, color=color)
    budgets = [(i, row.result["budget_ns"]) for i, row in enumerate(timed)
               if row.result.get("budget_ns")]  # fmt: skip
    if budgets:
        ax.scatter([b for _, b in budgets], [i - height for i, _ in budgets], marker="|",
                   s=160, color="black", label="budget", zorder=3)  # fmt: skip
    ax.set_yticks(range(len(timed)))
    ax.set_yticklabels([row.name for row in timed], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("time per call (ns, log scale; shorter is faster)")
    ax.set_title(title, fontsize=10, pad=28)
    ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=4, fontsize=8, frameon=False)
    ax.grid(axis="x", which="major", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot written to {path}")


# ---- main -----------------------------------------------------------------------------------


def check(row: Row) -> str | None:
    """Runs the row once on each side; returns None when they agree, else why not."""
    try:
        ours = row.observe(row.setup(native))
    except Exception as error:  # a failure of the module is reported, not hidden
        row.result = {"status": "ERROR", "reason": f"{type(error).__name__}: {error}"}
        return row.result["reason"]
    theirs = row.observe(row.setup(baseline))
    if ours != theirs:
        row.result = {"status": "MISMATCH", "reason": f"module {ours!r} vs baseline {theirs!r}"}
        return row.result["reason"]
    row.result = {"status": "checked"}
    return None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few repeats, small counts (CI)")
    parser.add_argument("--json", metavar="PATH", help="write the results as JSON")
    parser.add_argument("--plot", metavar="PATH", help="write a PNG bar chart (matplotlib)")
    parser.add_argument("--only", metavar="TEXT", help="only rows whose name contains TEXT")
    options = parser.parse_args(argv)

    rows = [r for r in make_rows(options.quick) if not options.only or options.only in r.name]
    info = machine()
    print(f"# brackwell benchmark: {info['implementation']} {info['python']}, {info['cpu']}, "
          f"{info['cores']} cores{', quick mode' if options.quick else ''}\n")  # fmt: skip

    failures = [f"{row.name}: {why}" for row in rows if (why := check(row))]

    floor: dict[str, float] = {}
    floor_module = None
    try:
        floor_module = build_floor.load()
    except build_floor.FloorUnavailable as error:
        print(f"no floor module, floor columns left empty: {error}")
    else:
        namespace = floor_namespace(floor_module)
        gc.collect()
        calls = [(stmt, namespace) for stmt in FLOOR_CALLS.values()]
        floor = dict(zip(FLOOR_CALLS, per_call_ns(calls, options.quick)))
    scale = scale_factor(floor)

    measured: dict[str, float] = {}
    for row in rows:
        if row.result["status"] != "checked":
            continue
        calls = [(row.stmt, row.setup(native)), (row.stmt, row.setup(baseline))]
        if floor:
            calls.append((FLOOR_CALLS[row.floor], floor_namespace(floor_module)))
        gc.collect()
        module_ns, baseline_ns, *floor_ns = per_call_ns(calls, options.quick)
        measured[row.name] = module_ns
        budget = None
        if row.budget_ns is not None:
            budget = row.budget_ns * scale
        elif row.budget_of in measured:
            budget = 2 * measured[row.budget_of]
        row.result = {
            "status": "timed",
            "module_ns": module_ns,
            "baseline_ns": baseline_ns,
            "floor_ns": floor_ns[0] if floor_ns else None,
            "floor_call": FLOOR_CALLS[row.floor],
            "budget_ns": budget,
            "reference_plain_python_ns": row.plain_ns,
        }
        print(f"  {row.name}: {fmt_ns(module_ns)} (plain Python {fmt_ns(baseline_ns)})",
              flush=True)  # fmt: skip

    print()
    print(markdown(rows, floor, scale))
    misses = [row.name for row in rows if row.result.get("budget_ns") is not None
              and row.result["module_ns"] > row.result["budget_ns"]]  # fmt: skip
    if misses:
        print(f"over budget: {', '.join(misses)}")

    if options.json:
        document = {"machine": info, "quick": options.quick, "scale": scale, "floor_ns": floor,
                    "rows": [{"name": row.name, **row.result} for row in rows]}  # fmt: skip
        Path(options.json).write_text(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        print(f"results written to {options.json}")
    if options.plot:
        plot(rows, options.plot, f"brackwell vs plain Python, {info['implementation']} "
             f"{info['python']} on {info['cpu']} ({info['cores']} cores)")  # fmt: skip

    for failure in failures:
        print(f"FAILED {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
