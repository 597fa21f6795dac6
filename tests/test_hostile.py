"""Hostile objects in every argument position where Python code can run.

Every case ends in the documented exception or result and leaves the instance usable; a
few representative ones are run under the leak check in test_leaks.py.
"""

import operator
import sys

import pytest
from hostile import (
    EqKey,
    Index,
    IterOnly,
    LoudStr,
    LyingDict,
    NumpyBool,
    Seq,
    Text,
    panic_exception_type,
    raiser,
)

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

PanicException = panic_exception_type()


def panic(message="hostile"):
    return raiser(PanicException(message))


def outcome(call):
    """(exception type, message) of a failing call, or ("ok", result)."""
    try:
        return "ok", call()
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return type(e), str(e)


# --- QueryCompiler --------------------------------------------------------------------

QC = QueryCompiler()
SELECT = "SELECT * FROM t"


# The interpreter's own words for an __index__ that returns a float (they differ between
# versions); the compiler puts its argument's name before them.
INDEX_FLOAT = outcome(lambda: operator.index(Index(1.5)))[1]


def select_limit(limit):
    return QC.compile_select("t", [], [], [], [], limit)[0]


def reenter():
    """__index__ code that calls the same compiler: a shared hold admits it."""
    assert QC.compile_select("u", ["a"], [], [], [])[0] == "SELECT a FROM u"


@pytest.mark.parametrize(
    "limit, expected",
    [
        (Index(5), ("ok", SELECT + " LIMIT 5")),
        (Index(5, reenter), ("ok", SELECT + " LIMIT 5")),
        (LoudStr("x"), ("ok", SELECT + " LIMIT 99")),
        (Index(2**64), (OverflowError, None)),
        (Index(-1), (OverflowError, None)),
        (Index(1.5), (TypeError, "argument 'limit': " + INDEX_FLOAT)),
        (Index(1, raiser(TypeError("bad"))), (TypeError, "argument 'limit': bad")),
        (Index(1, raiser(ValueError("bad"))), (ValueError, "bad")),
        (Index(1, panic("index broke")), (PanicException, "index broke")),
    ],
)
def test_index_of_an_integer_argument(limit, expected, capsys):
    kind, result = outcome(lambda: select_limit(limit))
    assert kind == expected[0]
    if expected[1] is not None:
        assert result == expected[1]
    assert select_limit(3) == SELECT + " LIMIT 3"
    if kind != "ok":
        assert outcome(lambda: QC.get_placeholder("postgres", limit))[0] is kind


def test_str_subclasses_give_their_stored_text_not_their_methods():
    s = LoudStr
    text, params = QC.compile_select(
        s("t"), [s("a")], [(s("c"), s("="), s("v"))], [(s("left"), s("j"), s("on"))],
        [(s("c"), s("asc"))], dialect=s("postgres"),
    )  # fmt: skip
    assert text == "SELECT a FROM t LEFT JOIN j ON on WHERE c = $1 ORDER BY c ASC"
    assert params == ["v"] and type(params[0]) is str
    assert QC.compile_update(s("t"), (s("a"),), s("id"), s("MYSQL")) == (
        "UPDATE t SET a = %s WHERE id = %s"
    )


@pytest.mark.parametrize(
    "columns, expected",
    [
        (Seq(["a", "b"], length=sys.maxsize), ("ok", "SELECT a, b FROM t")),
        (Seq(["a"], length=2**40), ("ok", "SELECT a FROM t")),
        (Seq(["a"], on_len=raiser(ValueError("len"))), ("ok", "SELECT a FROM t")),
        (Seq(["a"], length="many"), ("ok", "SELECT a FROM t")),
        (Seq(["a"], on_len=panic("len broke")), (PanicException, "len broke")),
        (Seq(["a", 1]), (TypeError, "argument 'columns': 'int' object cannot be converted to "
                                    "'PyString'")),
        (Seq(["a", "b"], on_item=lambda i: i and reenter()), ("ok", "SELECT a, b FROM t")),
        (Seq(["a", "b"], on_item=raiser(KeyError("x"))), (KeyError, "'x'")),
        (Seq(["a", "b"], on_item=lambda i: i and panic("item")()), (PanicException, "item")),
        (IterOnly(["a", "b"], on_next=raiser(TypeError("next"))), (TypeError,
                                                                   "argument 'columns': next")),
        (IterOnly(["a", "b"], on_next=lambda i: i and panic("next")()), (PanicException, "next")),
    ],
)  # fmt: skip
def test_hostile_column_sequences(columns, expected, capsys):
    assert outcome(lambda: QC.compile_select("t", columns, [], [], [])[0]) == expected
    assert outcome(lambda: QC.compile_insert("t", columns, "x"))[0] == expected[0]
    assert QC.compile_delete("t", "id", "postgres") == "DELETE FROM t WHERE id = $1"


def test_lists_emptied_by_a_later_argument_keep_their_texts():
    # limit's __index__ runs after the lists were read; the texts read must stay valid
    cols = ["".join(["a", str(i)]) for i in range(3)]
    wheres = [("".join(["c", str(i)]), "=", "".join(["v", str(i)])) for i in range(3)]
    joins = [("".join(["ri", "ght"]), "".join(["o", "t"]), "".join(["c", "1"]))]
    order = [("".join(["o", "1"]), "".join(["de", "sc"]))]

    def empty_all():
        cols.clear(), wheres.clear(), joins.clear(), order.clear()

    text, params = QC.compile_select("t", cols, wheres, joins, order, Index(1, empty_all))
    assert text == (
        "SELECT a0, a1, a2 FROM t RIGHT JOIN ot ON c1 WHERE c0 = ? AND c1 = ? AND c2 = ?"
        " ORDER BY o1 DESC LIMIT 1"
    )
    assert params == ["v0", "v1", "v2"] and cols == []


def test_tuple_items_with_hostile_lengths_and_subclasses():
    class Pair(tuple):
        def __len__(self):
            return 3

        def __getitem__(self, i):
            return "lie"

    assert (
        QC.compile_select("t", [], [], [], [Pair(("a", "asc"))])[0]
        == "SELECT * FROM t ORDER BY a ASC"
    )
    with pytest.raises(ValueError, match="^expected tuple of length 3, but got tuple of length 2$"):
        QC.compile_select("t", [], Seq([("a", "=")]), [], [])


# --- StateTracker ---------------------------------------------------------------------


def test_str_of_values_that_raise_return_other_types_or_call_back(unraisable):
    t = StateTracker()
    t.set_initial_state({"a": 1, "b": 2})
    inner = []

    def call_back():
        for call in (lambda: t.get_field("a"), lambda: t.set_field("a", 5), t.is_dirty):
            inner.append(outcome(call))
        raise RuntimeError("escapes")

    values = [
        Text(7),  # str() returning an int: TypeError, fallback text
        Text("x", raiser(ValueError("no"))),
        Text("1", call_back),  # the refused calls' errors escape str(): fallback text
        Text(LoudStr("1")),  # a str subclass result: its stored text
        Text("\udc80"),  # a lone surrogate: replaced
    ]
    for value in values:
        t.set_field("a", value)
        assert t.get_field("a") is value
    assert inner == [(RuntimeError, "Already mutably borrowed"), (RuntimeError, "Already borrowed"),
                     (RuntimeError, "Already mutably borrowed")]  # fmt: skip
    assert [type(c.exc_value) for c in unraisable] == [TypeError, ValueError, RuntimeError]
    # the last text stored is three replacement characters: "a" is dirty against "1"
    assert t.dirty_fields() == ["a"]
    t.set_field("a", Text(LoudStr("1")))
    assert t.dirty_fields() == [] and t.get_current_dict()["b"] == 2


def test_a_panic_from_str_leaves_set_field_undone_and_keeps_a_partial_load(capsys):
    t = StateTracker()
    t.set_initial_state({"a": 1})
    with pytest.raises(PanicException, match="^value broke$"):
        t.set_field("a", Text("2", panic("value broke")))
    assert t.get_current_dict() == {"a": 1} and not t.is_dirty()
    with pytest.raises(PanicException, match="^load broke$"):
        t.set_initial_state({"x": 1, "y": Text("2", panic("load broke")), "z": 3})
    assert t.get_current_dict() == {"x": 1}
    assert "Python stack trace below:" in capsys.readouterr().err


@pytest.mark.parametrize(
    "mutate, message, loaded",
    [
        (lambda d: d.pop("a"), "dictionary changed size during iteration", ["a", "m"]),
        (lambda d: d.update(new=1), "dictionary changed size during iteration", ["a", "m"]),
        # same size: the walk goes on to "c" and the extra "z", and the step after stops
        (lambda d: (d.pop("a"), d.update(z=1)), "dictionary keys changed during iteration",
         ["a", "m", "c", "z"]),
    ],
)  # fmt: skip
def test_data_changed_by_a_value_while_it_is_read(mutate, message, loaded, capsys):
    data = {}
    data.update(a=1, m=Text("m", lambda: mutate(data)), c=3)
    t = StateTracker()
    with pytest.raises(PanicException, match=f"^{message}$"):
        t.set_initial_state(data)
    assert list(t.get_current_dict()) == loaded
    t.set_initial_state({"ok": 1})
    assert t.get_current_dict() == {"ok": 1}


def test_finalisers_of_released_values_cannot_reach_the_tracker(unraisable):
    t = StateTracker()
    seen = []

    class Dying:
        def __del__(self):
            seen.append(outcome(t.get_current_dict))

    t.set_initial_state({"a": Dying()})
    t.set_field("a", Dying())  # releases the loaded one inside the exclusive hold
    t.set_initial_state({"b": 1})  # releases the assigned one inside the hold
    assert seen == [(RuntimeError, "Already mutably borrowed")] * 2
    assert t.get_current_dict() == {"b": 1}


def test_dict_subclass_and_str_subclass_keys_are_read_from_storage():
    t = StateTracker()
    t.set_initial_state(LyingDict({LoudStr("a"): 1, "b": 2}))
    assert t.get_current_dict() == {"a": 1, "b": 2}
    t.set_field(LoudStr("a"), 3)
    assert t.get_field(LoudStr("a")) == 3 and t.dirty_fields() == ["a"]


# --- SchemaDiffEngine -----------------------------------------------------------------

ENGINE = SchemaDiffEngine()


def diff(model, db=None, dialect="sqlite"):
    return ENGINE.diff_table("t", model, {} if db is None else db, dialect)


def model_with(**description):
    return {"a": dict(description)}


@pytest.mark.parametrize(
    "nullable, expected",
    [
        (NumpyBool(False), ("ok", "a TEXT NOT NULL")),
        (NumpyBool(True), ("ok", "a TEXT")),
        (NumpyBool(0), ("ok", "a TEXT")),  # __bool__ result not a bool: default
        (NumpyBool(False, raiser(ValueError("x"))), ("ok", "a TEXT")),
        (NumpyBool(False, lambda: diff({"x": {}})), ("ok", "a TEXT NOT NULL")),
        (NumpyBool(False, panic("bool broke")), (PanicException, "bool broke")),
    ],
)
def test_boolean_conversion_of_a_description(nullable, expected, capsys):
    kind, result = outcome(lambda: diff(model_with(nullable=nullable)))
    if kind == "ok":
        result = result[0][0][len("CREATE TABLE IF NOT EXISTS t (") : -2]
    assert (kind, result) == expected


@pytest.mark.parametrize(
    "make_key, expected",
    [
        (lambda m: EqKey("data_type"), ("ok", "a TEXT")),
        (lambda m: EqKey("data_type", equal=True), ("ok", "a INTEGER")),
        (lambda m: EqKey("data_type", raiser(LookupError("eq"))), (LookupError, "eq")),
        (lambda m: EqKey("data_type", lambda: m.clear()), (PanicException,
                                                           "dictionary changed size during iteration")),
        (lambda m: EqKey("data_type", lambda: m["a"].clear()), ("ok", "a TEXT")),
        (lambda m: EqKey("nullable", panic("eq broke")), (PanicException, "eq broke")),
    ],
)  # fmt: skip
def test_description_keys_that_run_code_during_a_lookup(make_key, expected, capsys):
    model = {}
    model["a"] = {make_key(model): "INTEGER"}
    model["b"] = {"data_type": "BLOB"}
    kind, result = outcome(lambda: diff(model))
    if kind == "ok":
        result = result[0][0][len("CREATE TABLE IF NOT EXISTS t (") : -2].split(", ")[0]
    assert (kind, result) == expected
    assert diff({"z": {}}) == (
        ["CREATE TABLE IF NOT EXISTS t (z TEXT);"],
        ["DROP TABLE IF EXISTS t;"],
    )


def test_mapping_subclasses_and_str_subclasses_give_their_storage_and_texts():
    s = LoudStr
    model = LyingDict({s("id"): LyingDict({"data_type": s("INT"), "primary_key": True}),
                   "n": LyingDict(nullable=False)})  # fmt: skip
    upgrade, downgrade = ENGINE.diff_table(s("t"), model, LyingDict(), s("postgres"))
    assert sorted(upgrade[0][len("CREATE TABLE IF NOT EXISTS t (") : -2].split(", ")) == [
        "id SERIAL PRIMARY KEY", "n TEXT NOT NULL"]  # fmt: skip
    assert ENGINE.diff_table("t", model, LyingDict(x=s("INT")), "x") == (
        ["ALTER TABLE t ADD COLUMN id INT;", "ALTER TABLE t ADD COLUMN n TEXT NOT NULL;"],
        ["ALTER TABLE t DROP COLUMN id;", "ALTER TABLE t DROP COLUMN n;"],
    ) or sorted(ENGINE.diff_table("t", model, LyingDict(x=s("INT")), "x")[0]) == [
        "ALTER TABLE t ADD COLUMN id INT;", "ALTER TABLE t ADD COLUMN n TEXT NOT NULL;"]  # fmt: skip
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        ENGINE.diff_table("t", model, {"x": 1}, "x")


# --- BatchAggregator ------------------------------------------------------------------

AGG = BatchAggregator()
KEYS = []  # refilled by each batch test: a list that empties itself while it is read


@pytest.mark.parametrize(
    "key, stored",
    [
        (Index(1.5), "Index(1.5)"),  # __index__ of the wrong type: the display text
        (Index(2**64), "Index(18446744073709551616)"),
        (Index(1, raiser(TypeError("x"))), "Index(1)"),
        (Text(5), "<unprintable Text object>"),
        (Text("t", raiser(ValueError("x"))), "<unprintable Text object>"),
        (LoudStr("s"), 99),
    ],
)
def test_keys_that_fight_classification(key, stored, unraisable):
    agg = BatchAggregator()
    assert agg.add_key(key) is True and agg.add_keys_batch([key]) == 0
    assert agg.get_keys() == [stored]


class ShownAs(str):
    """A str subclass whose str() is another text."""

    def __str__(self):
        return "shown"


def named_by(name):
    """A value whose str() raises ValueError, of a class whose __name__ calls `name`."""

    class Meta(type):
        @property
        def __name__(cls):
            return name()

    class Odd(metaclass=Meta):
        def __str__(self):
            raise ValueError("no text")

    return Odd()


@pytest.mark.parametrize(
    "name, text, reported",
    [
        (lambda: 42, "<unprintable 42 object>", []),
        (lambda: ShownAs("hidden"), "<unprintable shown object>", []),
        (raiser(AttributeError("no name")), "<unprintable object>", [AttributeError]),
        # the name's own str() fails: shown without a fallback of its own
        (lambda: Text("n", raiser(KeyError("x"))), "<unprintable object>", [KeyError]),
        (lambda: Text(Text("n")), "<unprintable object>", [TypeError]),
        (panic("name broke"), (PanicException, "name broke"), []),
    ],
)  # fmt: skip
def test_unprintable_value_with_an_odd_type_name(name, text, reported, unraisable):
    agg, t = BatchAggregator(), StateTracker()
    added = outcome(lambda: agg.add_key(named_by(name)))
    loaded = outcome(lambda: t.set_initial_state({"f": named_by(name)}))
    if isinstance(text, tuple):
        assert added == loaded == text and agg.get_keys() == [] and t.get_current_dict() == {}
    else:
        assert added == ("ok", True) and agg.get_keys() == [text]
        t.set_field("f", text)  # the same display text: still clean
        assert loaded == ("ok", None) and not t.is_dirty()
    # each failure in the order it happened, the value's own str() first
    assert [u.exc_type for u in unraisable] == [ValueError, *reported] * 2


@pytest.mark.parametrize(
    "keys, expected, kept",
    [
        (Seq([1, 2], length=sys.maxsize), (IndexError, None), [1, 2]),
        (Seq([1], length=-1), (ValueError, None), []),
        (Seq([1], length="many"), (TypeError, None), []),
        (Seq([1], on_len=panic("len broke")), (PanicException, "len broke"), []),
        (Seq([1, 2], on_item=lambda i: i and panic("item broke")()), (PanicException,
                                                                        "item broke"), [1]),
        (Seq([1, 2, 3], on_item=lambda i: i == 2 and AGG.len()), (RuntimeError,
                                                                   "Already mutably borrowed"), [1, 2]),
        (KEYS, (IndexError, "list index out of range"), [4, "x"]),  # a list emptied while read
    ],
)  # fmt: skip
def test_hostile_batches(keys, expected, kept, capsys):
    AGG.clear()
    KEYS[:] = ["x", Index(4, KEYS.clear), 5]
    kind, result = outcome(lambda: AGG.add_keys_batch(keys))
    assert kind == expected[0] and (expected[1] is None or result == expected[1])
    assert AGG.get_keys() == kept
    assert AGG.add_key("after") is True


# --- Python code inside an allocation or the unraisable hook --------------------------

BEFORE_312 = pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="from 3.12 on, collections run between bytecodes"
)


def runtime_texts(count, prefix="k"):
    """Distinct strs made at run time: a literal would live on in the code object."""
    return [("%s%d-" % (prefix, i)) * 8 for i in range(count)]


def surrogate():
    return chr(0xD800 + int("0"))


def readd_first(d, value="new"):
    """Deletes and re-inserts "k0", the first key of a full dict: same size, compacted
    storage."""
    return lambda *_: (d.pop("k0"), d.__setitem__("k0", value))


def full_dict(middle):
    return {"k0": 0, "k1": middle, "k2": 2, "k3": 3, "k4": 4}


def check_tracker(t):
    """No name twice: each name's value by lookup is the one the dict of all fields has."""
    current = t.get_current_dict()
    assert all(t.get_field(name) is value for name, value in current.items())
    return current


def check_ddl(result):
    create = result[0][0]
    names = [c.split()[0] for c in create[create.index("(") + 1 : -2].split(", ")]
    assert len(names) == len(set(names)), names
    return names


# In the cases below nothing allocates between arming and the call: an allocation there
# (a new object, a context manager, a Python-level call on 3.9 and 3.10) would start the
# collection too early.


def batch_cleared_at_the_end(arm):
    agg = BatchAggregator()
    keys = runtime_texts(20) + [surrogate()]
    expected = keys[:20] + ["\ufffd" * 3]
    arm(keys.clear)
    added = agg.add_keys_batch(keys)
    assert (added, agg.get_keys()) == (21, expected)


def batch_cleared_in_the_middle(arm):
    agg = BatchAggregator()
    keys = runtime_texts(10) + [surrogate()] + runtime_texts(10, "j")
    expected = keys[:10] + ["\ufffd" * 3]
    arm(keys.clear)
    try:
        agg.add_keys_batch(keys)
    except IndexError:
        assert agg.get_keys() == expected
    else:
        raise AssertionError("a list emptied while read gave no IndexError")


def columns_cleared(arm):
    empty = []
    for compile_kind in ("insert", "update", "select"):
        columns = runtime_texts(20) + [surrogate()]
        arm(columns.clear)
        try:
            if compile_kind == "insert":
                QC.compile_insert("t", columns, "sqlite")
            elif compile_kind == "update":
                QC.compile_update("t", columns, "id", "sqlite")
            else:
                QC.compile_select("t", columns, empty, empty, empty)
        except UnicodeEncodeError:
            pass
        else:
            raise AssertionError(compile_kind + ": the lone surrogate was not refused")


def wheres_cleared(arm):
    wheres = [(c, "=", c) for c in runtime_texts(5)] + [("x", "=", surrogate())]
    empty = []
    arm(wheres.clear)
    try:
        QC.compile_select("t", empty, wheres, empty, empty)
    except UnicodeEncodeError:
        pass
    else:
        raise AssertionError("the lone surrogate was not refused")


def load_compacted(arm):
    t = StateTracker()
    data = full_dict(surrogate())
    arm(readd_first(data))
    t.set_initial_state(data)
    assert check_tracker(t)["k0"] == "new"


def description_value_compacts_the_model(arm):
    model = {"k%d" % i: {} for i in range(5)}
    model["k1"] = {"data_type": surrogate()}
    db = {}
    arm(readd_first(model, {"data_type": "INT"}))
    result = ENGINE.diff_table("t", model, db, "sqlite")
    assert "k0" in check_ddl(result)


@BEFORE_312
@pytest.mark.parametrize(
    "case",
    [
        batch_cleared_at_the_end,
        batch_cleared_in_the_middle,
        columns_cleared,
        wheres_cleared,
        load_compacted,
        description_value_compacts_the_model,
    ],
)
def test_containers_changed_by_a_collection_inside_the_call(case, collect_soon):
    fired = []

    def arm(callback):
        def fire():
            fired.append(1)
            callback()

        collect_soon(fire)

    case(arm)
    assert fired and all(fired)  # the collection ran (inside the call, on these versions)


def test_a_hook_that_compacts_the_dict_being_loaded(monkeypatch):
    data = full_dict(10 ** int("5000"))  # str() refuses 5001 digits: the unraisable hook runs
    monkeypatch.setattr(sys, "unraisablehook", readd_first(data))
    t = StateTracker()
    t.set_initial_state(data)
    assert check_tracker(t)["k0"] == "new"


def test_a_description_key_that_compacts_the_model():
    model = {"k%d" % i: {} for i in range(5)}
    model["k1"] = {EqKey("data_type", readd_first(model, {})): "INT"}
    assert "k0" in check_ddl(diff(model))
