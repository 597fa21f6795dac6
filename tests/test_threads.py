"""Many threads on one instance and on separate ones, and threads that change the lists and
dicts being read. Meaningful on every build: without the interpreter lock the calls really
overlap; with it, they overlap only where Python code inside a call switches threads.
Every loop is bounded in count."""

import os
import subprocess
import sys
import sysconfig
import threading

import pytest
from hostile import caught_panic

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 300
STRESS_ROUNDS = 2500  # enough overlap, even on a busy machine, to catch a lost update
REFUSALS = {"Already borrowed", "Already mutably borrowed"}
PANIC = type(caught_panic())


def run_threads(work, count=THREADS):
    """Runs work(index) on `count` threads started together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        barrier.wait()
        try:
            work(index)
        except BaseException as e:  # noqa: B036 - a PanicException must reach the test too
            failures.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def beside_mutator(read, mutate, done):
    """run_threads(read) on all threads but one, which runs `mutate` until `done` is set."""
    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        run_threads(read, THREADS - 1)
    finally:
        done.set()
        mutator.join()


def refused(call):
    """Runs call(); True when it was refused with one of the two hold messages."""
    try:
        call()
    except RuntimeError as e:
        assert str(e) in REFUSALS, e
        return True
    return False


QC = QueryCompiler()
SELECT = ("users", ["id", "name"], [("age", ">=", "18")], [], [("id", "desc")], 10, 20)
MODEL = {"id": {"data_type": "INT", "primary_key": True}, "email": {"data_type": "TEXT"}}
DB = {"id": "INT", "legacy": "TEXT"}


@pytest.mark.parametrize("shared", [True, False], ids=["shared", "separate"])
@pytest.mark.parametrize(
    "make, call",
    [
        (QueryCompiler, lambda qc: qc.compile_select(*SELECT, "postgres")),
        (QueryCompiler, lambda qc: qc.compile_update("t", ["a", "b"], "id", "mysql")),
        (SchemaDiffEngine, lambda e: e.diff_table("users", MODEL, DB, "postgres")),
    ],
)
def test_classes_without_state_serve_every_thread(make, call, shared):
    expected = call(make())
    one = make()
    results = [[] for _ in range(THREADS)]

    def work(i):
        instance = one if shared else make()
        for _ in range(ROUNDS):
            results[i].append(call(instance))

    run_threads(work)
    assert all(r == [expected] * ROUNDS for r in results)


def test_separate_instances_of_the_stateful_classes_do_not_interact():
    trackers = [StateTracker() for _ in range(THREADS)]
    aggs = [BatchAggregator() for _ in range(THREADS)]

    def work(i):
        trackers[i].set_initial_state({"a": 0})
        for n in range(ROUNDS):
            trackers[i].set_field("a", n)
            aggs[i].add_key_int(n)
            aggs[i].add_keys_batch([f"{i}:{n}", n])

    run_threads(work)
    for i in range(THREADS):
        assert trackers[i].get_field("a") == ROUNDS - 1 and trackers[i].dirty_fields() == ["a"]
        assert aggs[i].len() == 2 * ROUNDS
        assert set(aggs[i].get_keys()) == set(range(ROUNDS)) | {f"{i}:{n}" for n in range(ROUNDS)}


@pytest.mark.parametrize("target", ["tracker", "aggregator"])
def test_one_instance_refuses_conflicting_calls_and_loses_no_update(target):
    """Every thread writes its own keys and reads in between: a refused write did nothing,
    an accepted one is never lost, and the instance is free again afterwards."""
    tracker, agg = StateTracker(), BatchAggregator()
    tracker.set_initial_state(
        {f"t{i}n{n}": -1 for i in range(THREADS) for n in range(STRESS_ROUNDS)}
    )
    written = [[] for _ in range(THREADS)]
    refusals = [0] * THREADS

    def work(i):
        for n in range(STRESS_ROUNDS):
            key = f"t{i}n{n}"
            if target == "tracker":
                write = lambda: tracker.set_field(key, n)  # noqa: B023, E731
                read = tracker.is_dirty
            else:
                write = lambda: agg.add_keys_batch([key, n * THREADS + i])  # noqa: B023, E731
                read = agg.len
            if refused(write):
                refusals[i] += 1
            else:
                written[i].append((key, n))
            refusals[i] += refused(read)

    run_threads(work)
    accepted = [pair for per_thread in written for pair in per_thread]
    if target == "tracker":
        assert {k: v for k, v in tracker.get_current_dict().items() if v != -1} == dict(accepted)
        assert sorted(tracker.dirty_fields()) == sorted(k for k, _ in accepted)
        tracker.set_field("after", 1)
    else:
        ints = {n * THREADS + i for i in range(THREADS) for _, n in written[i]}
        assert set(agg.get_keys()) == {k for k, _ in accepted} | ints
        assert agg.len() == 2 * len(accepted)
        agg.clear()
    print(f"{target}: {len(accepted)} writes accepted, {sum(refusals)} calls refused")


class Pausing:
    """A value whose str() runs Python code: it lets another thread call in meanwhile."""

    def __init__(self):
        self.inside, self.go = threading.Event(), threading.Event()

    def __str__(self):
        self.inside.set()
        assert self.go.wait(10)
        return "paused"


@pytest.mark.parametrize(
    "make, start, other, message",
    [
        (StateTracker, lambda t, v: t.set_field("a", v), lambda t: t.get_field("a"),
         "Already mutably borrowed"),
        (StateTracker, lambda t, v: t.set_field("a", v), lambda t: t.set_field("b", 1),
         "Already borrowed"),
        (BatchAggregator, lambda a, v: a.add_key(v), lambda a: a.len(), "Already mutably borrowed"),
        (BatchAggregator, lambda a, v: a.add_keys_batch([1, v]), lambda a: a.add_key_int(2),
         "Already borrowed"),
    ],
)  # fmt: skip
def test_a_call_from_another_thread_is_refused_not_queued(make, start, other, message):
    instance = make()
    value = Pausing()
    first = threading.Thread(target=start, args=(instance, value))
    first.start()
    try:
        assert value.inside.wait(10)
        with pytest.raises(RuntimeError) as info:
            other(instance)
        assert str(info.value) == message
    finally:
        value.go.set()
        first.join()
    other(instance)  # the hold was given back


def test_list_changed_while_read():
    """Items used were in the list; at most the starting length is read; a list that shrank
    gives the interpreter's IndexError, and what was added before it stays."""
    items = [f"c{i}" for i in range(64)]
    shared = list(items)
    insert = {QC.compile_insert("t", items[:k], "sqlite"): k for k in range(len(items) + 1)}
    done = threading.Event()
    outcomes = [[] for _ in range(THREADS)]

    def mutate():
        for _ in range(20 * ROUNDS):  # the tail only: item k is always items[k] when present
            if done.is_set():
                return
            del shared[32:]
            shared.extend(items[32:])

    def read(i):
        agg = BatchAggregator()
        for _ in range(ROUNDS // 3):
            try:
                outcomes[i].append(insert[QC.compile_insert("t", shared, "sqlite")])
            except IndexError as e:
                assert str(e) == "list index out of range"
                outcomes[i].append("IndexError")
            agg.clear()
            try:
                agg.add_keys_batch(shared)
            except IndexError as e:
                assert str(e) == "list index out of range"
            keys = agg.get_keys()
            assert keys == items[: len(keys)] and len(keys) >= 32

    beside_mutator(read, mutate, done)
    assert all(k in ("IndexError", 32, 64) for per_thread in outcomes for k in per_thread)


@pytest.mark.parametrize("target", ["tracker", "diff"])
def test_dict_changed_while_read(target):
    """Every name read was in the dict; a change of size or keys stops the reader with the
    internal-failure exception, and a walk that a rebuild of the dict cut short reads fewer
    entries (as when a finalizer changes the dict); never a crash."""
    base = {f"f{i}": {"data_type": "INT"} for i in range(48)}
    shared = dict(base)
    done = threading.Event()
    results = []

    def mutate():
        for n in range(20 * ROUNDS):
            if done.is_set():
                return
            shared.pop(f"f{n % 48}")
            shared[f"f{n % 48}"] = {"data_type": "INT"}

    def read(i):
        for _ in range(ROUNDS // 3):
            try:
                if target == "tracker":
                    tracker = StateTracker()
                    tracker.set_initial_state(shared)
                    results.append(set(tracker.get_current_dict()))
                else:
                    up, _ = SchemaDiffEngine().diff_table("t", shared, {"z": "T"}, "sqlite")
                    results.append({statement.split()[5] for statement in up})
            except PANIC as e:
                assert str(e) in (
                    "dictionary changed size during iteration",
                    "dictionary keys changed during iteration",
                )

    beside_mutator(read, mutate, done)
    assert results and all(names <= set(base) for names in results)


@pytest.mark.skipif(
    not FREE_THREADED, reason="only a free-threaded interpreter can run without the GIL"
)
def test_import_keeps_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import sys, brackwell; print(sys._is_gil_enabled())"
    out = subprocess.run(
        [sys.executable, "-W", "error", "-c", code], env=env, capture_output=True, text=True
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "False\n", "")
