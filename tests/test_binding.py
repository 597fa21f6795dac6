"""Argument binding and argument conversion, common to every method."""

import pytest
from hostile import Index, StrSub, raiser

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

qc = QueryCompiler()
agg = BatchAggregator()
tracker = StateTracker()
engine = SchemaDiffEngine()

# (call, exception type, exact message)
BINDING_ERRORS = [
    (
        lambda: BatchAggregator(1),
        "BatchAggregator.__new__() takes 0 positional arguments but 1 was given",
    ),
    (
        lambda: StateTracker(1, 2),
        "StateTracker.__new__() takes 0 positional arguments but 2 were given",
    ),
    (lambda: QueryCompiler(x=1), "QueryCompiler.__new__() got an unexpected keyword argument 'x'"),
    (
        lambda: SchemaDiffEngine(**{"é": 1}),
        "SchemaDiffEngine.__new__() got an unexpected keyword argument 'é'",
    ),
    (
        lambda: agg.add_key(1, 2),
        "BatchAggregator.add_key() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda: qc.compile_select(*range(9)),
        "QueryCompiler.compile_select() takes from 5 to 8 positional arguments but 9 were given",
    ),
    (
        lambda: qc.compile_select(*range(6), dialect="x", nope=1),
        "QueryCompiler.compile_select() got an unexpected keyword argument 'nope'",
    ),
    (
        lambda: qc.compile_delete("t", "id", "sqlite", 1),
        "QueryCompiler.compile_delete() takes 3 positional arguments but 4 were given",
    ),
    (
        lambda: qc.compile_delete("t", "id", "sqlite", 1, bogus=2),
        "QueryCompiler.compile_delete() takes 3 positional arguments but 4 were given",
    ),
    (
        lambda: qc.compile_delete("t", "id", "sqlite", table="u"),
        "QueryCompiler.compile_delete() got multiple values for argument 'table'",
    ),
    (
        lambda: qc.compile_delete("t", "id"),
        "QueryCompiler.compile_delete() missing 1 required positional argument: 'dialect'",
    ),
    (
        lambda: qc.compile_insert("t", []),
        "QueryCompiler.compile_insert() missing 1 required positional argument: 'dialect'",
    ),
    (
        lambda: qc.compile_update("t", [], "id"),
        "QueryCompiler.compile_update() missing 1 required positional argument: 'dialect'",
    ),
    (
        lambda: qc.compile_delete("t"),
        "QueryCompiler.compile_delete() missing 2 required positional arguments: 'pk_col' and 'dialect'",
    ),
    (
        lambda: qc.compile_delete(dialect="x"),
        "QueryCompiler.compile_delete() missing 2 required positional arguments: 'table' and 'pk_col'",
    ),
    (
        lambda: qc.compile_select("t"),
        "QueryCompiler.compile_select() missing 4 required positional arguments: 'columns', 'wheres', 'joins', and 'order_by'",
    ),
    (
        lambda: engine.diff_table(),
        "SchemaDiffEngine.diff_table() missing 4 required positional arguments: 'table_name', 'model_fields', 'db_columns', and '_dialect'",
    ),
    (
        lambda: agg.add_key(KEY=1),
        "BatchAggregator.add_key() got an unexpected keyword argument 'KEY'",
    ),
    (
        lambda: tracker.set_field(value=1),
        "StateTracker.set_field() missing 1 required positional argument: 'field'",
    ),
    (
        lambda: StateTracker.benchmark_pure_rust(),
        "StateTracker.benchmark_pure_rust() missing 1 required positional argument: 'count'",
    ),
    (
        lambda: StateTracker.benchmark_pure_rust(1, 2),
        "StateTracker.benchmark_pure_rust() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda: qc.get_placeholder("x", 1, index=2),
        "QueryCompiler.get_placeholder() got multiple values for argument 'index'",
    ),
    (
        lambda: qc.get_placeholder("x", dialect="y"),
        "QueryCompiler.get_placeholder() got multiple values for argument 'dialect'",
    ),
    (
        lambda: qc.get_placeholder(dialect="x", idx=1),
        "QueryCompiler.get_placeholder() got an unexpected keyword argument 'idx'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def _raise_with_cause():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        raise TypeError("bad index") from inner


# (call, exception type, exact message) for argument conversions
CONVERSION_ERRORS = [
    (
        lambda: qc.compile_delete(["t"], "id", "sqlite"),
        TypeError,
        "argument 'table': 'list' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_select(["t"], [], [], [], []),
        TypeError,
        "argument 'table': 'list' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_delete(b"t", "id", "sqlite"),
        TypeError,
        "argument 'table': 'bytes' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_update("t", [], 5, "sqlite"),
        TypeError,
        "argument 'pk_col': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_insert("t", [], None),
        TypeError,
        "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_delete("t", b"id", "sqlite"),
        TypeError,
        "argument 'pk_col': 'bytes' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_delete("t", "id", None),
        TypeError,
        "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_select("t", [], [], [], [], dialect=None),
        TypeError,
        "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_insert("t", "abc", "sqlite"),
        TypeError,
        "argument 'columns': Can't extract `str` to `Vec`",
    ),
    (
        lambda: qc.compile_insert("t", {"a"}, "sqlite"),
        TypeError,
        "argument 'columns': 'set' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: qc.compile_insert("t", (c for c in "ab"), "sqlite"),
        TypeError,
        "argument 'columns': 'generator' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: qc.compile_insert("t", ["a", 1], "sqlite"),
        TypeError,
        "argument 'columns': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_select("t", [1], [], [], []),
        TypeError,
        "argument 'columns': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_select("t", "ab", [], [], []),
        TypeError,
        "argument 'columns': Can't extract `str` to `Vec`",
    ),
    (
        lambda: qc.compile_select("t", [], [], [("a", "b", 1)], []),
        TypeError,
        "argument 'joins': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda: qc.compile_select("t", [], [["a", "=", "1"]], [], []),
        TypeError,
        "argument 'wheres': 'list' object cannot be converted to 'PyTuple'",
    ),
    (
        lambda: qc.compile_select("t", [], [], [], [["name", "asc"]]),
        TypeError,
        "argument 'order_by': 'list' object cannot be converted to 'PyTuple'",
    ),
    (
        lambda: qc.compile_select("t", [], [], "j", []),
        TypeError,
        "argument 'joins': Can't extract `str` to `Vec`",
    ),
    (
        lambda: qc.compile_select("t", [], [], [], [("name",)]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 1",
    ),
    (
        lambda: qc.compile_select("t", [], [("a", "=", "1", "x")], [], []),
        ValueError,
        "expected tuple of length 3, but got tuple of length 4",
    ),
    (
        lambda: qc.compile_select("t", [], [("age", ">")], [], []),
        ValueError,
        "expected tuple of length 3, but got tuple of length 2",
    ),
    (
        lambda: qc.compile_select("t", [], [], [], [], 2.0),
        TypeError,
        "argument 'limit': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda: qc.compile_select("t", [], [], [], [], limit=2.0),
        TypeError,
        "argument 'limit': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda: qc.compile_select("t", [], [], [], [], offset="5"),
        TypeError,
        "argument 'offset': 'str' object cannot be interpreted as an integer",
    ),
    (
        lambda: qc.compile_select("t", 5, [], [], []),
        TypeError,
        "argument 'columns': 'int' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: qc.get_placeholder("postgres", 1.5),
        TypeError,
        "argument 'index': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda: qc.get_placeholder(None, 1),
        TypeError,
        "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        lambda: agg.add_key_str(5),
        TypeError,
        "argument 'key': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda: agg.add_key_str(None),
        TypeError,
        "argument 'key': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        lambda: agg.add_key_int(1.0),
        TypeError,
        "argument 'key': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda: agg.add_keys_batch({1, 2}),
        TypeError,
        "argument 'keys': 'set' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: agg.add_keys_batch(x for x in [1]),
        TypeError,
        "argument 'keys': 'generator' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: tracker.set_initial_state([]),
        TypeError,
        "argument 'data': 'list' object cannot be converted to 'PyDict'",
    ),
    (
        lambda: tracker.get_field(1),
        TypeError,
        "argument 'field': 'int' object cannot be converted to 'PyString'",
    ),
    (
        lambda: StateTracker.benchmark_pure_rust(1.0),
        TypeError,
        "argument 'count': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda: engine.diff_table("t", {}, [], "sqlite"),
        TypeError,
        "argument 'db_columns': 'list' object cannot be converted to 'PyDict'",
    ),
    (
        lambda: engine.diff_table("t", [], [], "sqlite"),
        TypeError,
        "argument 'model_fields': 'list' object cannot be converted to 'PyDict'",
    ),
    (
        lambda: qc.get_placeholder("postgres", Index(0, raiser(TypeError("nope")))),
        TypeError,
        "argument 'index': nope",
    ),
]


@pytest.mark.parametrize("call, exc_type, message", CONVERSION_ERRORS)
def test_conversion_messages(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: qc.get_placeholder("postgres", -1), OverflowError, None),
        (lambda: qc.get_placeholder("postgres", 2**64), OverflowError, None),
        (
            lambda: agg.add_key_int(2**63),
            OverflowError,
            "Python int too large to convert to C long",
        ),
        (
            lambda: agg.add_key_int(-(2**63) - 1),
            OverflowError,
            "Python int too large to convert to C long",
        ),
        (lambda: qc.compile_select("t", [], [], [], [], -1), OverflowError, None),
        (lambda: qc.compile_select("t", [], [], [], [], limit=-1), OverflowError, None),
        (lambda: StateTracker.benchmark_pure_rust(-1), OverflowError, None),
        (lambda: qc.get_placeholder("\udc80", 1), UnicodeEncodeError, None),
        (lambda: agg.add_key_str("a\ud800"), UnicodeEncodeError, None),
        (lambda: qc.compile_insert("t", ["\udfff"], "sqlite"), UnicodeEncodeError, None),
        (lambda: qc.compile_delete("t", "\ud800", "sqlite"), UnicodeEncodeError, None),
        (
            lambda: qc.compile_select("t", [], [("a", "=", "\udfff")], [], []),
            UnicodeEncodeError,
            None,
        ),
        (
            lambda: qc.get_placeholder("postgres", Index(0, raiser(ValueError("v")))),
            ValueError,
            None,
        ),
        (
            lambda: qc.get_placeholder("postgres", Index(0, raiser(LookupError("l")))),
            LookupError,
            None,
        ),
    ],
)
def test_errors_other_than_type_error_pass_unchanged(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert not str(info.value).startswith("argument ")
    assert message is None or str(info.value) == message


def test_prefixed_error_keeps_the_cause_and_suppresses_the_context():
    with pytest.raises(TypeError) as info:
        qc.get_placeholder("postgres", Index(0, _raise_with_cause))
    assert str(info.value) == "argument 'index': bad index"
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__suppress_context__


def test_prefixed_error_without_cause_has_none():
    with pytest.raises(TypeError) as info:
        agg.add_key_str(5)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__


def test_type_error_subclass_is_not_prefixed():
    class Special(TypeError):
        pass

    with pytest.raises(Special) as info:
        qc.get_placeholder("postgres", Index(0, raiser(Special("own"))))
    assert str(info.value) == "own"


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: qc.get_placeholder("postgres", Index(7)), "$7"),
        (lambda: qc.get_placeholder("postgres", True), "$1"),
        (lambda: qc.get_placeholder(StrSub("postgres"), 2), "$2"),
        (lambda: qc.get_placeholder(dialect="postgres", index=3), "$3"),
        (
            lambda: qc.compile_delete(pk_col="id", dialect="sqlite", table="t"),
            "DELETE FROM t WHERE id = ?",
        ),
        (
            lambda: qc.compile_insert("t", ("a", StrSub("b")), "sqlite"),
            "INSERT INTO t (a, b) VALUES (?, ?)",
        ),
    ],
)
def test_accepted_arguments(call, expected):
    assert call() == expected


def test_explicit_none_is_converted_while_an_omitted_argument_takes_its_default():
    assert qc.compile_select("t", [], [], [], [], None, None) == ("SELECT * FROM t", [])
    assert qc.compile_select("t", [], [], [], [], limit=None, offset=3) == (
        "SELECT * FROM t OFFSET 3",
        [],
    )
