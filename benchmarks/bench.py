"""brackwell's benchmark: every method beside the call floor and a plain-Python baseline.

For each workload it first runs the module and baseline.py once on the same input and
checks that their observable results agree; then it times the module, the baseline and the
floor (the cheapest call of the same style, from benchmarks/floor) with timeit, best of
several repeats, with the garbage collector off. Timing is reported, never asserted: the
exit status is 1 only when module and baseline disagree or the module fails.

    python benchmarks/bench.py [--quick] [--runs N] [--json PATH] [--plot PATH] [--only TEXT]

Each row's verdict: the module must be no slower than plain Python, except where plain
Python is within 10 ns of the call floor (then within 10% of it), and where the module
must create objects that plain Python only hands back (get_keys): there it must be within
10% of the conversion floor, the cost of creating those objects natively. A row reaches
3x, or says why it cannot: the call floor alone is over a third of plain Python's time.
The native benchmark is also set against its design written the plain way in C++.

Where the module must do work that the direct plain code skips (diff_table reads and checks
every description and every database entry), the row is also timed against a second
baseline that does the same reads and checks, and judged against both.

The add_keys_batch rows are judged against plain code keeping the keys in two sets, the
fastest a user who only needs the keys (for an IN (...) list) would write, classifying each
key as the module does. A set keeps no first-seen order, so its results are checked for
what a set promises: the count each call returns, the same keys in each group, the ints
before the texts. The two-dict baseline, which keeps first-seen order as the module does
and is checked exactly, is shown beside them in a table of its own and not judged. The
other BatchAggregator rows stay against the dicts: adding a key that is present is one
lookup either way, and get_keys() lists a dict faster than a set, besides keeping the order.

--quick (what CI runs) times few repeats of small inputs, whose figures move from run to
run: it prints the times and speed-ups but judges nothing, so it has no verdict column and
no list of rows slower than their bound; only a full run judges. Its exit status is that
of a full run: 1 only when module and baseline disagree or the module fails.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import re
import statistics
import sys
import timeit
import types
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "floor"))

import baseline  # noqa: E402
import build_floor  # noqa: E402

from brackwell import _brackwell_rs as native  # noqa: E402


@dataclass(frozen=True)
class Plain:
    """A plain-Python reference: the classes a row's setup makes, and how it is shown."""

    label: str  # its column in the tables
    short: str  # its name in the progress lines
    classes: Any  # a namespace holding the classes
    judged: bool = True  # rows timed against it are judged against it
    ordered: bool = True  # its results keep the module's order: they are compared exactly


# A row is judged against one of them (Row.against) and may be timed against a second.
PLAIN = {
    "direct": Plain("plain Python", "plain Python", baseline),
    "sets": Plain("plain Python, sets", "plain Python with sets",
                  types.SimpleNamespace(BatchAggregator=baseline.BatchAggregatorSets),
                  ordered=False),
    "same_reads": Plain("plain Python, same reads and checks", "doing the same reads",
                        types.SimpleNamespace(SchemaDiffEngine=baseline.SchemaDiffEngineSameReads)),
    "first_seen": Plain("plain Python, first-seen order (same contract)", "in first-seen order",
                        baseline, judged=False),
}  # fmt: skip

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
    "text1": "fl.text1(s)",
    "texts3": "fl.texts3(s, s, s)",
}


@dataclass
class Row:
    """One workload: the same statement runs on the module's and the baselines' namespaces.

    `observe` gives the results exactly; `as_sets` keeps of them what a set-based baseline
    can promise, and the rows judged against one must have it."""

    name: str
    stmt: str
    floor: str
    setup: Callable[[Any], dict]
    observe: Callable[[dict], Any]
    # the conversion floor: a statement and the namespace it runs in, made from the
    # module's namespace and the floor module
    conversion: tuple[str, Callable[[dict, Any], dict]] | None = None
    within_2x_of: str | None = None  # a row this one must stay within 2x of (crafted keys)
    against: str = "direct"  # the PLAIN baseline the row is judged against
    second: str | None = None  # a PLAIN baseline the row is also timed against
    as_sets: Callable[[Any], Any] | None = None
    result: dict = field(default_factory=dict)

    @property
    def references(self) -> list[str]:
        """The plain baselines the row runs on: the judged one, then any second one."""
        return [self.against] + ([self.second] if self.second else [])

    @property
    def group(self) -> str:
        """The class the row's method belongs to."""
        return {"q": "QueryCompiler", "t": "StateTracker", "S": "StateTracker",
                "e": "SchemaDiffEngine"}.get(self.stmt[0], "BatchAggregator")  # fmt: skip


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
    """What a set-based aggregator promises of its keys: the keys as two sorted groups, and
    whether every int came before every text."""
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

    def fields(ns, fl):
        """The conversion floor of a tracker's results: its fields kept natively."""
        t = ns["t"]
        return {"fs": fl.Floor.field_store(t.get_current_dict(), t.dirty_fields())}

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
            return a.add_keys_batch(keys), a.get_keys(), a.len()

        return observe

    def batch_as_sets(seen):
        count, keys, length = seen
        return count, keys_seen(keys), length

    def batch(name, stmt, keys, **more):
        """An add_keys_batch row: judged against the sets, the dicts beside them."""
        return Row(name, stmt, "args1", aggregator(), batch_seen(keys), against="sets",
                   second="first_seen", as_sets=batch_as_sets, **more)  # fmt: skip

    def add_seen(stmt):
        return lambda ns: (eval(stmt, ns), ns["a"].get_keys())

    def native_bench(mod):
        return {"S": mod.StateTracker, "N": n_native}

    def bench_seen(ns):
        seconds = eval("S.benchmark_pure_rust(N)", ns)
        return type(seconds) is float and seconds >= 0.0

    rows = [
        Row("get_placeholder('postgres', 3)", "q.get_placeholder('postgres', 3)", "echo_text", qc,
            eval_in("q.get_placeholder('postgres', 3)")),
        Row("compile_select, worked example", "q.compile_select(*A)", "args8", qc,
            eval_in("q.compile_select(*A)")),
        Row("compile_insert, 2 columns", "q.compile_insert('users', C, 'postgres')", "args3", qc,
            eval_in("q.compile_insert('users', C, 'postgres')")),
        Row("compile_update, 2 columns", "q.compile_update('users', C, 'id', 'postgres')",
            "args4", qc, eval_in("q.compile_update('users', C, 'id', 'postgres')")),
        Row("compile_delete", "q.compile_delete('users', 'id', 'postgres')", "texts3", qc,
            eval_in("q.compile_delete('users', 'id', 'postgres')")),
        Row("set_initial_state, 10 fields", "t.set_initial_state(D)", "args1", tracker(),
            tracked("t.set_initial_state(D)")),
        Row("set_field('age', 31)", "t.set_field('age', 31)", "args2", tracker(),
            tracked("t.set_field('age', 31)")),
        Row("get_field('name')", "t.get_field('name')", "args1", tracker(1),
            tracked("t.get_field('name')")),
        Row("is_dirty(), 10 clean", "t.is_dirty()", "noargs", tracker(), tracked("t.is_dirty()")),
        Row("dirty_fields(), 2 of 10 dirty", "t.dirty_fields()", "noargs", tracker(2),
            tracked("t.dirty_fields()", sorted), conversion=("fs.dirty_names()", fields)),
        Row("get_dirty_changes(), 2 of 10 dirty", "t.get_dirty_changes()", "noargs", tracker(2),
            tracked("t.get_dirty_changes()"), conversion=("fs.dirty_changes()", fields)),
        Row("get_current_dict(), 10 fields", "t.get_current_dict()", "noargs", tracker(1),
            tracked("t.get_current_dict()"), conversion=("fs.current()", fields)),
        Row("hydrate_snapshot(), 10 fields", "t.hydrate_snapshot()", "noargs", tracker(2),
            tracked("t.hydrate_snapshot()")),
        Row("diff_table, new table (3 columns)", "e.diff_table('users', M, E, 'postgres')",
            "args4", engine, lambda ns: ddl_seen(eval("e.diff_table('users', M, E, 'postgres')",
                                                      ns)), second="same_reads"),
        Row("diff_table, existing table (+2 columns)", "e.diff_table('users', MM, DB, 'sqlite')",
            "args4", engine, lambda ns: ddl_seen(eval("e.diff_table('users', MM, DB, 'sqlite')",
                                                      ns)), second="same_reads"),
        Row("diff_table, 200-column new table", "e.diff_table('wide', W, E, 'postgres')", "args4",
            engine, lambda ns: ddl_seen(eval("e.diff_table('wide', W, E, 'postgres')", ns)),
            second="same_reads"),
        Row("add_key_int, present", "a.add_key_int(12345)", "args1", aggregator(),
            add_seen("a.add_key_int(12345)")),
        Row("add_key_str, present", "a.add_key_str('user-12345')", "text1", aggregator(),
            add_seen("a.add_key_str('user-12345')")),
        Row("add_key(int), present", "a.add_key(12345)", "args1", aggregator(),
            add_seen("a.add_key(12345)")),
        Row("add_key(str), present", "a.add_key('user-12345')", "text1", aggregator(),
            add_seen("a.add_key('user-12345')")),
        batch(f"add_keys_batch, {n_batch:,} ints (half duplicates)", "run_ints()", int_keys),
        batch(f"add_keys_batch, {n_batch:,} short strs", "run_texts()", text_keys),
        Row(f"get_keys(), {n_batch:,} keys", "a.get_keys()", "noargs", aggregator(fill=True),
            lambda ns: ns["a"].get_keys(),
            conversion=("ks.make()",
                        lambda ns, fl: {"ks": fl.Floor.key_store(ns["a"].get_keys())})),
        Row(f"benchmark_pure_rust({n_native:,})", "S.benchmark_pure_rust(N)", "static1",
            native_bench, bench_seen),
        batch(f"add_keys_batch, range({n_crafted:,})", "run_plain()", plain),
        batch(f"add_keys_batch, [i << 32 for i in range({n_crafted:,})]", "run_crafted()",
              crafted, within_2x_of=f"add_keys_batch, range({n_crafted:,})"),
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


def figures_text(figures: dict) -> str:
    """A row's progress line: the module's time, then each baseline's."""
    text = f"{fmt_ns(figures['module_ns'])} ({PLAIN[figures['baseline']].short} "
    text += fmt_ns(figures["baseline_ns"])
    if figures["second"] is not None:
        text += f", {PLAIN[figures['second']].short} {fmt_ns(figures['second_ns'])}"
    return text + ")"


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


def judge(result: dict, against: str = "baseline_ns") -> tuple[bool, str]:
    """Whether a timed row meets its bound, and the verdict shown for it, against the
    baseline it is judged against or (`against="second_ns"`) its second one."""
    module, python, floor = result["module_ns"], result[against], result.get("floor_ns")
    conversion = result.get("conversion_ns")
    if conversion is not None:
        ok = module <= 1.1 * conversion
        return ok, f"conversion floor {fmt_ns(conversion)}: {module / conversion:.2f}× of it"
    if result.get("within_ns") is not None:
        ok = module <= result["within_ns"]
        return ok, f"{module / (result['within_ns'] / 2):.2f}× the same count of plain keys"
    near_floor = floor is not None and python - floor <= 10
    ok = module <= (1.1 * python if near_floor else python)
    if module * 3 <= python:
        return ok, "3× or more"
    if floor is not None and floor * 3 > python:
        return ok, f"under 3×: its floor `{result['floor_call']}` alone is {floor / python:.0%}"
    return ok, "**under 3×**" + (" (within 10 ns of the floor)" if near_floor else "")


def tables(rows: list[Row]) -> list[tuple[Plain, str, list[Row]]]:
    """The tables, in PLAIN's order: each baseline's, with the rows judged against it (its
    figure under `baseline_ns`), then those timed against it second (`second_ns`)."""
    found = []
    for name, plain in PLAIN.items():
        for key, chosen in (
            ("baseline_ns", [row for row in rows if row.against == name]),
            ("second_ns", [row for row in rows if row.second == name]),
        ):
            if chosen:
                found.append((plain, key, chosen))
    return found


def markdown(rows: list[Row], floor: dict, quick: bool) -> str:
    """One table per baseline; a verdict column where the rows are judged, in a full run."""
    lines: list[str] = []
    for plain, key, chosen in tables(rows):
        verdicts = plain.judged and not quick
        if lines:
            lines.append("")
        lines += [
            f"| class | workload | brackwell | {plain.label} | call floor | speed-up |"
            + (" verdict |" if verdicts else ""),
            "|---|---|---:|---:|---:|---:|" + ("---|" if verdicts else ""),
        ]
        for row in chosen:
            r = row.result
            if r.get("status") != "timed":
                if key == "baseline_ns":  # a row that failed is listed once
                    lines.append(f"| {row.group} | {row.name} | {r.get('status', '')} | | | |"
                                 + (" |" if verdicts else ""))  # fmt: skip
                continue
            line = (
                f"| {row.group} | {row.name} | {fmt_ns(r['module_ns'])} | {fmt_ns(r[key])} "
                f"| {fmt_ns(r.get('floor_ns'))} | {r[key] / r['module_ns']:.2f}× |"
            )
            if verdicts:
                ok, verdict = judge(r, key)
                line += f" {verdict if ok else '**SLOWER** ' + verdict} |"
            lines.append(line)
    if floor:
        lines += ["", "| call floor | per call |", "|---|---:|"]
        lines += [f"| `{FLOOR_CALLS[name]}` | {fmt_ns(ns)} |" for name, ns in floor.items()]
    return "\n".join(lines)


def plot(rows: list[Row], path: str, title: str) -> None:
    """One bar per row: how many times faster than the plain Python it is judged against,
    log axis, 1× marked; hatched where that is not the direct baseline, and a marker for
    the speed-up over a second baseline."""
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
    groups = list(dict.fromkeys(row.group for row in timed))
    timed.sort(key=lambda row: groups.index(row.group))
    colors = dict(zip(groups, ("#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e")))
    speedups = [row.result["baseline_ns"] / row.result["module_ns"] for row in timed]
    fig, ax = plt.subplots(figsize=(10, 0.34 * len(timed) + 1.8))
    bars = ax.barh(range(len(timed)), speedups, color=[colors[row.group] for row in timed])
    for bar, row in zip(bars, timed):
        if row.against != "direct":
            bar.set_hatch("///")
            bar.set_edgecolor("white")
    for i, value in enumerate(speedups):
        ax.text(value * 1.04, i, f"{value:.1f}×", va="center", fontsize=7)
    # Rows with a second baseline: the speed-up over it, one marker for each baseline.
    markers = {"same_reads": "D", "first_seen": "o"}
    seconds = {name: [(i, row.result["second_ns"] / row.result["module_ns"])
                      for i, row in enumerate(timed) if row.second == name]
               for name in markers}  # fmt: skip
    for name, points in seconds.items():
        if points:
            ax.scatter([value for _, value in points], [i for i, _ in points],
                       marker=markers[name], s=18, color="black", zorder=3)  # fmt: skip
            speedups = speedups + [value for _, value in points]
    ax.axvline(1.0, color="black", linewidth=1)
    ax.text(1.0, -0.9, " 1× = as fast as plain Python", fontsize=7, va="bottom")
    ax.set_yticks(range(len(timed)))
    ax.set_yticklabels([row.name for row in timed], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlim(min(0.5, min(speedups) / 1.5), max(speedups) * 2)
    ax.set_xlabel("plain-Python time ÷ brackwell time (log scale; right of 1× is faster)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=colors[g]) for g in groups]
    labels = list(groups)
    hatched = sorted({row.against for row in timed} - {"direct"}, key=list(PLAIN).index)
    for name in hatched:
        handles.append(plt.Rectangle((0, 0), 1, 1, facecolor="grey", edgecolor="white",
                                     hatch="///"))  # fmt: skip
        labels.append(f"hatched: against {PLAIN[name].label}")
    for name, points in seconds.items():
        if points:
            handles.append(plt.Line2D([], [], marker=markers[name], color="black",
                                      linestyle="", markersize=4))  # fmt: skip
            labels.append(PLAIN[name].label.removeprefix("plain Python, "))
    ax.legend(handles, labels, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=3,
              fontsize=8, frameon=False)  # fmt: skip
    ax.set_title(title, fontsize=10, pad=12 + 12 * -(-len(labels) // 3))  # above the legend
    ax.grid(axis="x", which="both", alpha=0.25)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot written to {path}")


def native_comparison(floor_module, count: int, rounds: int) -> dict:
    """benchmark_pure_rust(count) against the same design written plainly, in alternation;
    each side's best of `rounds` (both time themselves)."""
    ours, plain = [], []
    for _ in range(rounds):
        ours.append(native.StateTracker.benchmark_pure_rust(count))
        plain.append(floor_module.Floor.described_design(count))
    return {"count": count, "module_s": min(ours), "described_design_s": min(plain)}


def timing_pass(rows: list[Row], floor_module, quick: bool) -> tuple[dict, dict]:
    """One timing of the floor calls and of every checked row: (floor, figures by row)."""
    floor: dict[str, float] = {}
    if floor_module is not None:
        namespace = floor_namespace(floor_module)
        gc.collect()
        calls = [(stmt, namespace) for stmt in FLOOR_CALLS.values()]
        floor = dict(zip(FLOOR_CALLS, per_call_ns(calls, quick)))
    figures = {}
    for row in rows:
        if row.result["status"] != "checked":
            continue
        namespace = row.setup(native)
        calls = [(row.stmt, namespace)]
        calls += [(row.stmt, row.setup(PLAIN[name].classes)) for name in row.references]
        if floor:
            calls.append((FLOOR_CALLS[row.floor], floor_namespace(floor_module)))
            if row.conversion:
                statement, make_namespace = row.conversion
                calls.append((statement, make_namespace(namespace, floor_module)))
        gc.collect()
        module_ns, baseline_ns, *others = per_call_ns(calls, quick)
        second_ns = others.pop(0) if row.second else None
        figures[row.name] = {
            "module_ns": module_ns,
            "baseline": row.against,
            "baseline_ns": baseline_ns,
            "second": row.second,
            "second_ns": second_ns,
            "floor_ns": others[0] if others else None,
            "conversion_ns": others[1] if len(others) > 1 else None,
        }
        print(f"  {row.name}: {figures_text(figures[row.name])}", flush=True)
    return floor, figures


# ---- main -----------------------------------------------------------------------------------


def check(row: Row) -> str | None:
    """Runs the row once on each side; returns None when they agree, else why not."""
    try:
        ours = row.observe(row.setup(native))
    except Exception as error:  # a failure of the module is reported, not hidden
        row.result = {"status": "ERROR", "reason": f"{type(error).__name__}: {error}"}
        return row.result["reason"]
    for name in row.references:
        plain = PLAIN[name]
        theirs = row.observe(row.setup(plain.classes))
        if plain.ordered:
            agree = ours == theirs
        else:  # only what a set keeps of the results
            assert row.as_sets is not None, f"{row.name}: no set view of its results"
            agree = row.as_sets(ours) == row.as_sets(theirs)
        if not agree:
            row.result = {"status": "MISMATCH",
                          "reason": f"module {ours!r} vs {plain.label} {theirs!r}"}  # fmt: skip
            return row.result["reason"]
    row.result = {"status": "checked"}
    return None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="few repeats, small counts, no verdicts (CI)")  # fmt: skip
    parser.add_argument("--json", metavar="PATH", help="write the results as JSON")
    parser.add_argument("--plot", metavar="PATH", help="write a PNG bar chart (matplotlib)")
    parser.add_argument("--only", metavar="TEXT", help="only rows whose name contains TEXT")
    parser.add_argument("--runs", type=int, default=1, metavar="N",
                        help="time everything N times and report each figure's median")  # fmt: skip
    options = parser.parse_args(argv)

    rows = [r for r in make_rows(options.quick) if not options.only or options.only in r.name]
    info = machine()
    print(f"# brackwell benchmark: {info['implementation']} {info['python']}, {info['cpu']}, "
          f"{info['cores']} cores{', quick mode' if options.quick else ''}\n")  # fmt: skip

    failures = [f"{row.name}: {why}" for row in rows if (why := check(row))]

    floor_module = None
    try:
        floor_module = build_floor.load()
    except build_floor.FloorUnavailable as error:
        print(f"no floor module, floor columns left empty: {error}")
    # Every figure is the median of the runs' figures; each run is a whole timing pass.
    passes = []
    for run in range(options.runs):
        if options.runs > 1:
            print(f"run {run + 1} of {options.runs}:", flush=True)
        passes.append(timing_pass(rows, floor_module, options.quick))
    floor = {name: statistics.median(p[0][name] for p in passes) for name in passes[0][0]}
    measured: dict[str, float] = {}
    for row in rows:
        if row.result["status"] != "checked":
            continue
        figures = [p[1][row.name] for p in passes]
        median = {key: statistics.median(f[key] for f in figures)
                  if isinstance(figures[0][key], float) else figures[0][key]
                  for key in figures[0]}  # fmt: skip
        measured[row.name] = median["module_ns"]
        row.result = {
            "status": "timed",
            **median,
            "floor_call": FLOOR_CALLS[row.floor],
            "within_ns": 2 * measured[row.within_2x_of] if row.within_2x_of in measured else None,
        }
    if options.runs > 1:
        print(f"\nmedians of {options.runs} runs:")
        for row in rows:
            if row.result["status"] == "timed":
                print(f"  {row.name}: {figures_text(row.result)}")

    print()
    print(markdown(rows, floor, options.quick))
    timed = [row for row in rows if row.result.get("status") == "timed"]
    if options.quick:
        print("\nquick mode judges nothing: with few repeats of small inputs the figures move "
              "from run to run,\nso there are no verdicts (bounds, 3×, rows slower than their "
              "bound); run without --quick for them.")  # fmt: skip
    else:
        slower = [row.name for row in timed if not judge(row.result)[0]]
        slower += [
            f"{row.name} (against {PLAIN[row.second].label})"
            for row in timed
            if row.second and PLAIN[row.second].judged and not judge(row.result, "second_ns")[0]
        ]
        if slower:
            print(f"\nslower than their bound: {', '.join(slower)}")
    comparison = None
    if floor_module is not None:
        count = 10_000 if options.quick else 1_000_000
        comparison = native_comparison(floor_module, count, 3 if options.quick else 7)
        ours, plain = comparison["module_s"], comparison["described_design_s"]
        print(f"\nbenchmark_pure_rust({count:,}): {ours:.4f} s; the same design written "
              f"plainly (unordered_map, std::string): {plain:.4f} s, "
              f"{plain / ours:.2f}× slower")  # fmt: skip

    if options.json:
        document = {"machine": info, "quick": options.quick, "floor_ns": floor,
                    "native_comparison": comparison,
                    "baselines": {name: {"label": plain.label, "judged": plain.judged}
                                  for name, plain in PLAIN.items()},
                    "rows": [{"name": row.name, "class": row.group, **row.result}
                             for row in rows]}  # fmt: skip
        Path(options.json).write_text(json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        print(f"results written to {options.json}")
    if options.plot:
        plot(rows, options.plot, f"brackwell vs plain Python, {info['implementation']} "
             f"{info['python']} on {info['cpu']} ({info['cores']} cores)"
             f"{', quick mode' if options.quick else ''}")  # fmt: skip

    for failure in failures:
        print(f"FAILED {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
