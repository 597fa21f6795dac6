"""Many threads on one instance and on separate ones, and threads that change the lists and
dicts being read. Every build gives a program what the GIL build gives it: a call that runs
no Python code is atomic to the other threads (their calls on the same instance wait for
it), while Python code run by a call that waits lets another thread's call in, which the
instance refuses. Meaningful on every build: without the interpreter lock the calls really
overlap. Every loop is bounded, and a call that hangs fails the run."""

import ctypes
import faulthandler
import os
import subprocess
import sys
import sysconfig
import threading

import pytest
from hostile import Index, Text, caught_panic, raiser

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 300
STRESS_ROUNDS = 2500  # enough overlap, even on a busy machine, to catch a lost update
HANG = 600  # seconds: far beyond any test here, under ThreadSanitizer too
PANIC = type(caught_panic())
ENGINE = SchemaDiffEngine()


@pytest.fixture(autouse=True)
def hang_fails_the_run():
    """A deadlock ends the run with every thread's traceback instead of stalling it."""
    faulthandler.dump_traceback_later(HANG, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


def join(thread):
    thread.join(HANG)
    assert not thread.is_alive(), "a call hangs"


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
        join(t)
    if failures:
        raise failures[0]


def beside(mutators, read, readers=THREADS - 2):
    """run_threads(read, readers) while each of `mutators` (called with an Event) runs on a
    thread of its own, started with the readers, until the Event is set after them."""
    done = threading.Event()
    start = threading.Barrier(readers + len(mutators))

    def mutate(mutator):
        start.wait()
        mutator(done)

    threads = [threading.Thread(target=mutate, args=(m,)) for m in mutators]
    for t in threads:
        t.start()

    def started_read(i):
        start.wait()
        read(i)

    try:
        run_threads(started_read, readers)
    finally:
        done.set()
        for t in threads:
            join(t)


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


@pytest.mark.parametrize("threads", [2, THREADS])
def test_calls_on_one_instance_that_run_no_python_code_wait_for_each_other(threads):
    """Every thread writes keys of its own and names all share, and reads in between: no
    call is refused (a RuntimeError would fail the test), no write is lost, and the
    instances are free afterwards."""
    tracker, agg = StateTracker(), BatchAggregator()
    own = [[f"t{i}n{n}" for n in range(STRESS_ROUNDS)] for i in range(threads)]
    tracker.set_initial_state({key: -1 for keys in own for key in keys})

    def work(i):
        for n, key in enumerate(own[i]):
            tracker.set_field(key, n)
            tracker.set_field(f"f{n % 8}", n)
            tracker.get_field(f"f{(n + i) % 8}")
            tracker.is_dirty()
            agg.add_key_int(n * threads + i)
            agg.add_keys_batch([key, -1 - n * threads - i])
            agg.len()

    run_threads(work, threads)
    current = tracker.get_current_dict()
    assert all(current[key] == n for keys in own for n, key in enumerate(keys))
    assert set(tracker.dirty_fields()) >= {key for keys in own for key in keys}
    assert agg.len() == 3 * threads * STRESS_ROUNDS
    tracker.set_field("after", 1)
    agg.clear()


class Pausing:
    """A value whose str() waits: it lets another thread call in meanwhile."""

    def __init__(self):
        self.inside, self.go = threading.Event(), threading.Event()

    def __str__(self):
        self.inside.set()
        assert self.go.wait(HANG)
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
def test_a_call_that_gets_in_while_python_code_waits_is_refused(make, start, other, message):
    instance = make()
    value = Pausing()
    first = threading.Thread(target=start, args=(instance, value))
    first.start()
    try:
        assert value.inside.wait(HANG)
        with pytest.raises(RuntimeError) as info:
            other(instance)
        assert str(info.value) == message
    finally:
        value.go.set()
        join(first)
    other(instance)  # the hold was given back


class Dying:
    """Runs `action` when it is freed."""

    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def str_reenters(t):
    t.set_field("a", Text("v", lambda: t.set_field("b", 1)))


def finaliser_reenters(t):
    t.set_field("a", Dying(lambda: t.get_field("a")))
    t.set_field("a", 1)  # frees the value above inside the call


def index_reenters(agg):
    agg.add_key_int(Index(1, agg.len))


def str_panics(t):
    t.set_field("a", Text("v", raiser(PANIC("broke"))))


def index_panics(agg):
    agg.add_keys_batch([1, Index(2, raiser(PANIC("broke")))])


@pytest.mark.parametrize(
    "make, fail, raised, reported, plain",
    [
        (StateTracker, str_reenters, None, "Already borrowed", lambda t: t.get_field("b")),
        (StateTracker, finaliser_reenters, None, "Already mutably borrowed",
         lambda t: t.get_field("a")),
        (BatchAggregator, index_reenters, "Already mutably borrowed", None, lambda a: a.len()),
        (StateTracker, str_panics, "broke", None, lambda t: t.get_field("a")),
        (BatchAggregator, index_panics, "broke", None, lambda a: a.len()),
    ],
)  # fmt: skip
def test_a_call_refused_or_failed_inside_another_leaves_the_instance_to_other_threads(
    make, fail, raised, reported, plain, unraisable
):
    """A call back into the instance from this thread is refused, as with the GIL; after it,
    or after a PanicException, the instance is free for a call from another thread."""
    instance = make()
    try:
        fail(instance)
        outcome = None
    except (RuntimeError, PANIC) as e:
        outcome = str(e)
    assert outcome == raised
    assert [str(u.exc_value) for u in unraisable] == ([reported] if reported else [])
    results = []
    other = threading.Thread(target=lambda: results.append(plain(instance)))
    other.start()
    join(other)
    assert results == [plain(instance)]


def test_list_changed_while_read():
    """A list read is atomic to other threads when it runs no Python code: it gives the
    items of one state of the list, never an IndexError."""
    items = [f"c{i}" for i in range(64)]
    shared = list(items)
    insert = {QC.compile_insert("t", items[:k], "sqlite"): k for k in (32, 64)}

    def mutate(done):
        while not done.is_set():  # the tail only: item k is always items[k] when present
            del shared[32:]
            shared.extend(items[32:])

    def read(i):
        agg = BatchAggregator()
        for _ in range(ROUNDS // 3):
            assert QC.compile_insert("t", shared, "sqlite") in insert
            agg.clear()
            agg.add_keys_batch(shared)
            assert agg.get_keys() in (items[:32], items)

    beside([mutate], read, THREADS - 1)


def moving(shared, names):
    """A mutator that repeats d[k] = d.pop(k) over `names`: the size comes back, and the
    key moves to the end."""

    def move(done):
        n = 0
        while not done.is_set():
            key = names[n % len(names)]
            shared[key] = shared.pop(key)
            n += 1

    return move


@pytest.mark.parametrize("target", ["tracker", "diff"])
def test_a_dict_whose_keys_move_is_read_in_one_state(target):
    """Two threads move keys of a dict that the others read: a read that runs no Python code
    sees one state of it. A load keeps each name once, a diff writes each statement once,
    every name was in the dict, and no read fails for a change of size."""
    if target == "tracker":
        shared = {f"f{i}": f"v{i}" for i in range(40)}
    else:
        shared = {f"c{i}": {"data_type": "INTEGER"} for i in range(40)}
    names = list(shared)
    mark = object()

    def read(i):
        for _ in range(ROUNDS // 3):
            if target == "tracker":
                tracker = StateTracker()
                tracker.set_initial_state(shared)
                loaded = list(tracker.get_current_dict())
                for name in loaded:  # a name kept twice would keep a stale twin
                    tracker.set_field(name, mark)
                assert all(v is mark for v in tracker.get_current_dict().values())
            else:
                up, down = ENGINE.diff_table("t", shared, {"zz": "INTEGER"}, "sqlite")
                assert len(set(up)) == len(up) == len(down)
                loaded = [statement.split()[5] for statement in up]
            assert len(loaded) >= len(names) - 2  # at most one key out per mover

    beside([moving(shared, names[0::2]), moving(shared, names[1::2])], read)


@pytest.mark.parametrize("padding", [0, 12], ids=["small", "large"])
def test_descriptions_changed_while_diffed_are_each_read_in_one_state(padding):
    """A third thread switches every description between two states at once (dict.update):
    each column is rendered from one of them, whatever the size of the description."""
    states = [{"data_type": "A", "nullable": False}, {"data_type": "B", "nullable": True}]
    extra = {f"x{j}": j for j in range(padding)}
    model = {f"c{i}": {**extra, **states[0]} for i in range(16)}
    rendered = {"A NOT NULL;", "B;"}

    def switch(done):
        n = 0
        while not done.is_set():
            for description in model.values():
                description.update(states[n % 2])
            n += 1

    def read(i):
        for _ in range(ROUNDS // 3):
            up, _ = ENGINE.diff_table("t", model, {"zz": "T"}, "sqlite")
            assert len(up) == 16
            assert {statement.split(" ", 6)[6] for statement in up} <= rendered

    beside([switch], read)


def test_a_keyword_dict_that_another_thread_changes_binds_one_state_of_it():
    """The C API can pass a caller's own dict as the keywords: it is bound as one of the
    states it passes through (a name is never bound with the value of another state)."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    states = [{"field": "a", "value": 1}, {"field": "b", "value": 2, "extra": 0}]
    refusals = {
        "StateTracker.set_field() missing 2 required positional arguments: 'field' and 'value'",
        "StateTracker.set_field() got an unexpected keyword argument 'extra'",
    }
    keywords = dict(states[0])

    def switch(done):  # clear() and update() are each atomic
        n = 0
        while not done.is_set():
            keywords.clear()
            keywords.update(states[n % 2])
            n += 1

    def read(i):
        tracker = StateTracker()
        for _ in range(ROUNDS):
            try:
                call(tracker.set_field, (), keywords)
            except TypeError as e:
                assert str(e) in refusals
            assert tracker.get_current_dict().items() <= {("a", 1), ("b", 2)}

    beside([switch], read)


@pytest.mark.parametrize(
    "make, call, other",
    [
        (StateTracker, lambda t, s: t.set_field(s, 1), lambda t: t.get_field("a")),
        (StateTracker, lambda t, s: t.set_initial_state({s: s}), lambda t: t.get_field("a")),
        (BatchAggregator, lambda a, s: a.add_keys_batch([1, s]), lambda a: a.len()),
    ],
)
def test_a_str_whose_utf8_another_thread_is_making_refuses_no_other_call(make, call, other):
    """A str makes its UTF-8 on first use, under a lock of its own: a call that meets a fresh
    non-ASCII str while another thread makes that same UTF-8 must not let a third thread's
    call into its instance (no Python code runs anywhere)."""
    for trial in range(3):
        meet_while_another_makes_utf8(make(), call, other, "é" * 2_000_000 + str(trial))


def meet_while_another_makes_utf8(instance, call, other, text):
    """call(instance, text) while another thread makes text's UTF-8 (it is fresh), and
    other(instance) on this thread until the call is done."""
    other(instance)
    start, done = threading.Barrier(2), threading.Event()

    def encode():
        start.wait()
        BatchAggregator().add_key_str(text)

    def first():
        start.wait()
        call(instance, text)
        done.set()

    threads = [threading.Thread(target=encode), threading.Thread(target=first)]
    for t in threads:
        t.start()
    try:
        while not done.is_set():
            other(instance)  # a RuntimeError here fails the test
    finally:
        for t in threads:
            join(t)


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
