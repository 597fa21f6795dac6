"""No method leaks references, objects or native memory, on success or on failure."""

import sys

import pytest
from hostile import Index, Seq, raiser, unprintable
from leakcheck import assert_no_leak

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

qc = QueryCompiler()
engine = SchemaDiffEngine()
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


@pytest.mark.parametrize("name", list(CALLS))
def test_no_leak(name, unraisable):
    unraisable.discard()
    assert_no_leak(CALLS[name], calls=300, rounds=3)


def test_stored_values_are_released_on_replace_reload_and_free():
    value, other = object(), object()
    tracker = StateTracker()
    tracker.set_initial_state({"a": value})
    base = sys.getrefcount(value)
    tracker.set_field("a", other)
    assert sys.getrefcount(value) == base - 1
    tracker.set_initial_state({"b": value})
    assert sys.getrefcount(other) == 2  # only the local name and the argument
    del tracker
    assert sys.getrefcount(value) == base - 1
