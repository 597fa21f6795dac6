"""No method leaks references, objects or native memory, on success or on failure."""

import sys

import pytest
from hostile import (
    Index,
    LoudStr,
    NumpyBool,
    Seq,
    Text,
    panic_exception_type,
    raiser,
    unprintable,
)
from leakcheck import assert_no_leak

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

qc = QueryCompiler()
engine = SchemaDiffEngine()
PanicException = panic_exception_type()
WHERES = [("age", ">=", "18"), ("status", "=", "active")]
JOINS = [("left", "orders", "orders.user_id = users.id")]
ORDER = [("name", "asc"), ("id", "desc")]
MODEL = {
    "id": {"data_type": "INTEGER", "primary_key": True, "nullable": False},
    "email": {"data_type": "VARCHAR(255)", "nullable": False},
    "bio": {},
}


def _swallow(call, *exc_types):
    def run():
        try:
            call()
        except exc_types:
            pass

    return run


def _tracker():
    tracker = StateTracker()
    tracker.set_initial_state({f"f{i}": i for i in range(10)})
    tracker.set_field("f1", "changed")
    return tracker


TRACKER = _tracker()
AGG = BatchAggregator()
AGG.add_keys_batch([1, 2, "a"])

CALLS = {
    "get_placeholder": lambda: qc.get_placeholder("postgres", 3),
    "compile_select": lambda: qc.compile_select(
        "users", ["id", "name"], WHERES, JOINS, ORDER, 10, 20, "postgres"
    ),
    "compile_select unicode upper": lambda: qc.compile_select(
        "t", [], [], [("straße", "u", "c")], [("a", "ß")]
    ),
    "compile_insert": lambda: qc.compile_insert("users", ["name", "email"], "postgres"),
    "compile_update": lambda: qc.compile_update("users", ["name", "email"], "id", "mysql"),
    "compile_delete": lambda: qc.compile_delete("users", "id", "sqlite"),
    "select, bad tuple": _swallow(lambda: qc.compile_select("t", [], [["a"]], [], []), TypeError),
    "select, short tuple": _swallow(
        lambda: qc.compile_select("t", [], [], [], [("a",)]), ValueError
    ),
    "select, negative limit": _swallow(
        lambda: qc.compile_select("t", [], [], [], [], -1), OverflowError
    ),
    "placeholder, prefixed error": _swallow(
        lambda: qc.get_placeholder("x", Index(1, raiser(TypeError("bad index")))), TypeError
    ),
    "binding error": _swallow(lambda: qc.compile_select("t"), TypeError),
    "set_initial_state": lambda: StateTracker().set_initial_state({"a": 1, "b": "x", "c": None}),
    "set_field": lambda: TRACKER.set_field("f2", 31),
    "get_field": lambda: TRACKER.get_field("f3"),
    "is_dirty": TRACKER.is_dirty,
    "dirty_fields": TRACKER.dirty_fields,
    "get_dirty_changes": TRACKER.get_dirty_changes,
    "get_current_dict": TRACKER.get_current_dict,
    "hydrate_snapshot": lambda: _tracker().hydrate_snapshot(),
    "set_initial_state, bad key": _swallow(
        lambda: StateTracker().set_initial_state({"a": 1, 2: "b"}), TypeError
    ),
    "set_field, failing str": lambda: StateTracker().set_field("x", unprintable()),
    "benchmark_pure_rust": lambda: StateTracker.benchmark_pure_rust(50),
    "diff_table, new": lambda: engine.diff_table("users", MODEL, {}, "postgres"),
    "diff_table, existing": lambda: engine.diff_table(
        "users", MODEL, {"id": "INTEGER", "x": "TEXT"}, "sqlite"
    ),
    "diff_table, bad value": _swallow(
        lambda: engine.diff_table("t", MODEL, {"a": 1}, "sqlite"), TypeError
    ),
    "add_key_int": lambda: AGG.add_key_int(1),
    "add_key_str": lambda: AGG.add_key_str("a"),
    "add_key": lambda: AGG.add_key(2**70),
    "add_key, failing str": lambda: BatchAggregator().add_key(unprintable()),
    "add_keys_batch": lambda: BatchAggregator().add_keys_batch([1, "a", 2.5, None, 2**64]),
    "add_keys_batch, shrinking": _swallow(
        lambda: BatchAggregator().add_keys_batch(Seq([0, 1], length=5)), IndexError
    ),
    "get_keys": AGG.get_keys,
    "clear": lambda: BatchAggregator().clear(),
}


def _query_compiler_texts():
    table = "".join(["us", "ers"])
    value = "".join(["act", "ive"])
    wheres = [("status", "=", value)]

    def call():
        qc.compile_select(
            table, ["id"], wheres, [("ß", table, "x")], [("id", "desc")], 1, 2, "postgres"
        )
        qc.compile_insert(table, ["a"], "postgres")
        qc.compile_update(table, ["a"], "id", "mysql")
        qc.compile_delete(table, "id", "sqlite")
        qc.get_placeholder("postgres", 3)
        for bad in (
            lambda: qc.compile_select(table, [], wheres, [], [("x",)]),
            lambda: qc.compile_insert(table, [1], "x"),
            lambda: qc.get_placeholder(table, -1),
        ):
            try:
                bad()
            except (TypeError, ValueError, OverflowError):
                pass

    return call, [table, value, wheres]


def _tracker_reloads():
    t = StateTracker()
    value = object()
    data = {f"f{i}": value for i in range(12)}

    def call():
        t.set_initial_state(data)
        t.set_field("f3", 1)
        t.get_current_dict()
        t.set_field("f4", value)
        t.set_field("new", value)
        t.dirty_fields()
        t.get_dirty_changes()
        t.hydrate_snapshot()

    return call, [value, t]


def _engine_texts():
    engine = SchemaDiffEngine()
    table = "".join(["us", "ers"])
    model = {
        "".join(["i", "d"]): {"data_type": "".join(["INT", "EGER"]), "nullable": False},
        "x": {},
    }
    db = {"".join(["i", "d"]): "INTEGER"}
    bad_db = {"id": object()}

    def call():
        engine.diff_table(table, model, {}, "postgres")
        engine.diff_table(table, model, db, "postgres")
        try:
            engine.diff_table(table, model, bad_db, "postgres")
        except TypeError:
            pass

    return call, [table, engine, bad_db["id"], *model, *model.values()]


def _aggregator_batch():
    agg = BatchAggregator()
    bad_index = Index(0, raiser(ValueError("no index")))
    batch = [1, "x" + str(2**70), 2**70, 1.5, unprintable(), bad_index, "\udc80"]

    def call():
        agg.add_keys_batch(batch)
        agg.get_keys()
        agg.clear()

    return call, batch


def _hostile_paths():
    cols = ["col" + str(i) for i in range(3)]
    bad_index = Index(1, raiser(ValueError("x")))
    t = StateTracker()
    loud = LoudStr("field")
    unprintable_text = Text(5)
    engine_model = {"a": {"nullable": NumpyBool(False, raiser(ValueError("x")))}}
    agg = BatchAggregator()
    long_seq = Seq(["k1", 2], length=sys.maxsize)

    def call():
        try:
            qc.compile_select("t", cols, [], [], [], bad_index)
        except ValueError:
            pass
        qc.compile_select("t", Seq(cols, length=sys.maxsize), [], [], [])
        t.set_initial_state({loud: unprintable_text, "b": Text("b")})
        t.set_field(loud, Text(7))
        t.get_current_dict()
        engine.diff_table("t", engine_model, {}, "x")
        try:
            agg.add_keys_batch(long_seq)
        except IndexError:
            pass
        agg.add_key(unprintable_text)

    return call, [*cols, bad_index, loud, unprintable_text, long_seq]


# name -> (call, the objects whose reference counts must not move)
CASES = {name: (call, ()) for name, call in CALLS.items()}
CASES.update(
    {
        "QueryCompiler, watched texts": _query_compiler_texts(),
        "StateTracker, repeated reloads": _tracker_reloads(),
        "SchemaDiffEngine, watched texts": _engine_texts(),
        "BatchAggregator, mixed batch": _aggregator_batch(),
        "hostile arguments": _hostile_paths(),
    }
)


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name, unraisable):
    unraisable.discard()
    call, watch = CASES[name]
    assert_no_leak(call, calls=300, rounds=3, watch=watch)


def test_panics_from_python_code_do_not_leak(monkeypatch, tmp_path):
    # the notices go to a file: captured in memory they would grow like a leak
    monkeypatch.setattr(sys, "stderr", open(tmp_path / "stderr", "w"))  # noqa: SIM115
    t = StateTracker()
    value = Text("v", raiser(PanicException("leak check")))
    data = {"a": 1, "b": value}

    def call():
        for fn in (lambda: t.set_field("a", value), lambda: t.set_initial_state(data),
                   lambda: BatchAggregator().add_key(value)):  # fmt: skip
            try:
                fn()
            except PanicException:
                pass

    assert_no_leak(call, calls=100, watch=[value, data])
    sys.stderr.close()
    assert (tmp_path / "stderr").read_text().count("Python stack trace below:") >= 3 * 400
