"""Holds on instances during a call, and the internal-failure exception."""

import pytest
from hostile import Index, Text, caught_panic, raiser

from brackwell import BatchAggregator, QueryCompiler, StateTracker

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_panic_exception_type_is_created_once_with_its_identity():
    first = caught_panic()
    second = caught_panic()
    panic = type(first)
    assert type(second) is panic
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert panic.__doc__ == PANIC_DOC
    assert str(first) == "dictionary changed size during iteration"
    assert first.args == ("dictionary changed size during iteration",)


def test_panic_exception_is_not_caught_by_except_exception():
    with pytest.raises(BaseException) as info:
        try:
            _raise(caught_panic())
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value).__name__ == "PanicException"


def _raise(exc):
    raise exc


@pytest.mark.parametrize("message", ["raised in __str__", ""])
def test_panic_raised_by_python_code_is_resumed_not_swallowed(message, capsys):
    panic = type(caught_panic())
    capsys.readouterr()

    agg = BatchAggregator()
    with pytest.raises(panic) as info:
        agg.add_key(Text("never", raiser(panic(message))))
    assert str(info.value) == message  # an empty message stays empty
    err = capsys.readouterr().err
    assert "Python stack trace below:" in err
    trace = err.split("Python stack trace below:")[1]
    assert "raise type(exc)(*exc.args)" in trace and message in trace
    assert agg.len() == 0  # the key was not added and the instance is free again


def test_shared_holds_nest():
    qc = QueryCompiler()
    inner = []
    index = Index(4, lambda: inner.append(qc.compile_delete("t", "id", "postgres")))
    assert qc.get_placeholder("postgres", index) == "$4"
    assert inner == ["DELETE FROM t WHERE id = $1"]


@pytest.mark.parametrize(
    "nested, message",
    [
        (lambda agg: agg.len(), "Already mutably borrowed"),
        (lambda agg: agg.get_keys(), "Already mutably borrowed"),
        (lambda agg: agg.is_empty(), "Already mutably borrowed"),
        (lambda agg: agg.add_key_int(2), "Already borrowed"),
        (lambda agg: agg.clear(), "Already borrowed"),
    ],
)
def test_exclusive_hold_refuses_nested_calls_and_is_given_back(nested, message):
    agg = BatchAggregator()
    with pytest.raises(RuntimeError) as info:
        agg.add_key_int(Index(1, lambda: nested(agg)))
    assert str(info.value) == message
    assert agg.len() == 0  # the refused call did nothing, the counter is free
    assert agg.add_key_int(5) is True
    assert agg.get_keys() == [5]


def test_holds_on_different_instances_do_not_interact():
    agg = BatchAggregator()
    seen = []

    class Value:
        def __str__(self):
            seen.append(agg.add_key_int(1))  # another instance: allowed
            return "v"

    tracker = StateTracker()
    tracker.set_field("f", Value())  # str() runs while the tracker is held exclusively
    assert seen == [True]
    assert agg.get_keys() == [1]
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        agg.add_key_int(Index(1, lambda: agg.add_key_str("x")))
    assert agg.get_keys() == [1]


def test_nested_call_from_str_during_set_field_is_refused_and_absorbed(unraisable):
    tracker = StateTracker()

    class Value:
        def __str__(self):
            tracker.set_field("other", 1)
            return "never"

    tracker.set_field("f", Value())
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]
    assert str(unraisable[0].exc_value) == "Already borrowed"
    assert tracker.get_current_dict().keys() == {"f"}
    assert tracker.is_dirty() is False  # the counter was given back
