"""Properties of the four classes on random inputs, each against a small Python model.

Run with HYPOTHESIS_PROFILE=ci for the bounded example count used in CI, or the default
"dev" profile for a deeper local run.
"""

import re

import pytest
from hostile import UNPRINTABLE, Index, OwnStr, Text, unprintable
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

# --- texts --------------------------------------------------------------------------

# Any code point but the surrogates: NUL, controls and astral characters included.
clean_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
# A text holding at least one lone surrogate, which strict UTF-8 refuses.
surrogate_text = st.builds(
    lambda a, s, b: a + s + b,
    clean_text,
    st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
    clean_text,
)
any_text = st.one_of(clean_text, surrogate_text)
dialects = st.one_of(
    st.sampled_from(["sqlite", "postgres", "postgresql", "mysql", "POSTGRES", "PostgreSQL"]),
    st.sampled_from(["MySQL", "postgres_replica", "xpostgresx", "postgres ", "", "pg"]),
    clean_text,
)


def has_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def display(value):
    """The display text of a value whose str() succeeds."""
    return str(value).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


# --- QueryCompiler --------------------------------------------------------------------


def placeholder(dialect, index):
    lowered = dialect.lower()
    if lowered == "mysql":
        return "%s"
    if lowered in ("postgres", "postgresql"):
        return f"${index}"
    return "?"


def select_model(table, columns, wheres, joins, order_by, limit, offset, dialect):
    text = "SELECT {} FROM {}".format(", ".join(columns) if columns else "*", table)
    for kind, joined, on in joins:
        text += f" {kind.upper()} JOIN {joined} ON {on}"
    if wheres:
        text += " WHERE " + " AND ".join(
            f"{col} {op} {placeholder(dialect, i)}" for i, (col, op, _) in enumerate(wheres, 1)
        )
    if order_by:
        text += " ORDER BY " + ", ".join(f"{c} {d.upper()}" for c, d in order_by)
    if limit is not None:
        text += f" LIMIT {limit}"
    if offset is not None:
        text += f" OFFSET {offset}"
    return text, [value for _, _, value in wheres]


u64 = st.one_of(st.none(), st.integers(0, 2**64 - 1))
triples = st.lists(st.tuples(clean_text, clean_text, clean_text), max_size=6)
pairs = st.lists(st.tuples(clean_text, clean_text), max_size=4)
columns = st.lists(clean_text, max_size=6)


@given(clean_text, columns, triples, triples, pairs, u64, u64, dialects)
def test_select_matches_the_model(table, cols, wheres, joins, order_by, limit, offset, dialect):
    qc = QueryCompiler()
    args = (table, cols, wheres, joins, order_by, limit, offset, dialect)
    text, params = qc.compile_select(*args)
    assert (text, params) == select_model(*args)
    # the same input gives the same output, from a tuple and from another instance too
    again = QueryCompiler().compile_select(
        table,
        tuple(cols),
        tuple(wheres),
        joins,
        order_by,
        limit=limit,
        offset=offset,
        dialect=dialect,
    )
    assert again == (text, params)


@given(st.lists(st.tuples(st.just("c"), st.just("="), clean_text), min_size=1, max_size=30))
def test_postgres_numbers_one_placeholder_per_condition_in_order(wheres):
    text, params = QueryCompiler().compile_select("t", [], wheres, [], [], dialect="postgres")
    assert params == [w[2] for w in wheres]
    assert re.findall(r"\$(\d+)", text) == [str(i) for i in range(1, len(wheres) + 1)]


@given(clean_text, columns, clean_text, dialects)
def test_write_statements_match_the_model(table, cols, pk, dialect):
    qc = QueryCompiler()
    marks = [placeholder(dialect, i) for i in range(1, len(cols) + 1)]
    insert = "INSERT INTO {} ({}) VALUES ({})".format(table, ", ".join(cols), ", ".join(marks))
    if "postgres" in dialect.lower():
        insert += " RETURNING *"
    sets = ", ".join(f"{c} = {m}" for c, m in zip(cols, marks))
    update = f"UPDATE {table} SET {sets} WHERE {pk} = {placeholder(dialect, len(cols) + 1)}"
    delete = f"DELETE FROM {table} WHERE {pk} = {placeholder(dialect, 1)}"
    assert qc.compile_insert(table, cols, dialect) == insert
    assert qc.compile_update(table, cols, pk, dialect) == update
    assert qc.compile_delete(table, pk, dialect) == delete


@given(dialects, st.integers(0, 2**64 - 1))
def test_placeholder_matches_the_model(dialect, index):
    assert QueryCompiler().get_placeholder(dialect, index) == placeholder(dialect, index)


@given(surrogate_text, st.integers(0, 3), st.lists(clean_text, min_size=4, max_size=4))
def test_a_lone_surrogate_anywhere_is_refused(bad, where, texts):
    texts[where] = bad
    table, col, pk, dialect = texts
    cols = [col]
    qc = QueryCompiler()
    with pytest.raises(UnicodeEncodeError):
        qc.compile_update(table, cols, pk, dialect)
    with pytest.raises(UnicodeEncodeError):
        qc.compile_select(table, cols, [(pk, "=", dialect)], [], [("a", "b")], 1, 2, "x")
    assert qc.compile_delete("t", "id", "mysql") == "DELETE FROM t WHERE id = %s"


# --- StateTracker ---------------------------------------------------------------------


def tracker_display(value):
    if isinstance(value, Text):
        return UNPRINTABLE
    return display(value)


names = st.sampled_from(["id", "name", "Name", "", "a\x00b", "\u00e9", "\U0001f600", "x" * 20])
tracked_values = st.one_of(
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True),
    st.booleans(),
    st.none(),
    any_text,
    st.sampled_from(["1", "1.0", "None", "True", "30"]),
    st.lists(st.integers(), max_size=2),
    st.builds(unprintable),
)
keys = st.one_of(names, names.map(OwnStr))
operations = st.lists(
    st.one_of(
        st.tuples(st.just("load"), st.lists(st.tuples(keys, tracked_values), max_size=6)),
        st.tuples(st.just("set"), st.tuples(keys, tracked_values)),
        st.tuples(st.just("commit"), st.none()),
    ),
    max_size=12,
)


@given(st.floats(allow_nan=True, allow_subnormal=True))
def test_a_float_shows_as_its_repr(value):
    t = StateTracker()
    t.set_initial_state({"f": value})
    t.set_field("f", repr(value))
    assert not t.is_dirty()


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(operations)
@example([("load", [(OwnStr("id"), 0), ("id", 1)]), ("set", ("id", 2))])
def test_tracker_follows_the_dirty_rule(unraisable, ops):
    check_tracker(ops)  # a failing str() reaches the unraisable hook
    assert all(c.exc_type is ValueError for c in unraisable)


def check_tracker(ops):
    t = StateTracker()
    model = {}  # name -> [snapshot text, current text, object]
    for kind, arg in ops:
        if kind == "load":
            data = dict(arg)
            t.set_initial_state(data)
            model = {}
            for key, value in data.items():
                model[str.__str__(key)] = [tracker_display(value)] * 2 + [value]
        elif kind == "set":
            key, value = arg
            t.set_field(key, value)
            name = str.__str__(key)
            if name in model:
                model[name][1:] = [tracker_display(value), value]
            else:
                model[name] = [tracker_display(value)] * 2 + [value]
        else:
            t.hydrate_snapshot()
            for entry in model.values():
                entry[0] = entry[1]

        dirty = t.dirty_fields()
        changes = t.get_dirty_changes()
        current = t.get_current_dict()
        assert t.is_dirty() == bool(dirty) == bool(changes)
        assert list(changes) == dirty
        assert len(set(dirty)) == len(dirty)
        assert [k for k in current if k in changes] == dirty
        assert set(dirty) == {n for n, e in model.items() if e[0] != e[1]}
        assert set(current) == set(model)
        for name, entry in model.items():
            assert current[name] is entry[2]
            assert t.get_field(name) is entry[2]
        for name in dirty:
            assert changes[name] is model[name][2]


# --- SchemaDiffEngine -----------------------------------------------------------------

# No blanks or commas: the statements are split on them to be compared as sets.
column_names = st.text(
    st.characters(blacklist_categories=("Cs", "Zs", "Cc"), blacklist_characters=","),
    min_size=1,
    max_size=6,
)
descriptions = st.fixed_dictionaries(
    {},
    optional={
        "data_type": st.one_of(
            st.sampled_from(["INTEGER", "VARCHAR(9)", ""]), st.none(), st.integers()
        ),
        "nullable": st.one_of(st.booleans(), st.sampled_from([0, 1, None, "no"])),
        "primary_key": st.one_of(st.booleans(), st.sampled_from([0, 1, None, "yes"])),
        "other": st.integers(),
    },
)
KEY_SUFFIX = {
    "mysql": " INT AUTO_INCREMENT PRIMARY KEY",
    "postgres": " SERIAL PRIMARY KEY",
    "postgresql": " SERIAL PRIMARY KEY",
}


def column_parts(description):
    data_type = description.get("data_type")
    data_type = data_type if isinstance(data_type, str) else "TEXT"
    nullable = description.get("nullable")
    primary = description.get("primary_key")
    return data_type, nullable if type(nullable) is bool else True, primary is True


def diff_model(table, model, db, dialect):
    """The statements as sets: {definition} for a new table, {column: (add, drop)} else."""
    if not db:
        definitions = set()
        for name, description in model.items():
            data_type, nullable, primary = column_parts(description)
            if primary:
                definitions.add(
                    name + KEY_SUFFIX.get(dialect, " INTEGER PRIMARY KEY AUTOINCREMENT")
                )
            else:
                definitions.add("{} {}{}".format(name, data_type, "" if nullable else " NOT NULL"))
        return definitions
    pairs = {}
    for name, description in model.items():
        if name not in db:
            data_type, nullable, primary = column_parts(description)
            suffix = "" if nullable or primary else " NOT NULL"
            add = f"ALTER TABLE {table} ADD COLUMN {name} {data_type}{suffix};"
            pairs[name] = (add, f"ALTER TABLE {table} DROP COLUMN {name};")
    return pairs


@given(
    column_names,
    st.dictionaries(column_names, descriptions, max_size=6),
    st.dictionaries(column_names, st.sampled_from(["TEXT", "INTEGER"]), max_size=6),
    st.sampled_from(["sqlite", "postgres", "postgresql", "mysql", "MySQL", ""]),
    st.booleans(),
)
def test_diff_pairs_up_and_applying_it_leaves_nothing(table, model, db, dialect, overlap):
    if overlap:  # let the database know some of the model's columns
        db.update({name: "TEXT" for name in list(model)[::2]})
    engine = SchemaDiffEngine()
    upgrade, downgrade = engine.diff_table(table, model, db, dialect)
    expected = diff_model(table, model, db, dialect)
    if not db:
        head = f"CREATE TABLE IF NOT EXISTS {table} ("
        [create] = upgrade
        assert create.startswith(head) and create.endswith(");")
        body = create[len(head) : -2]
        assert sorted(body.split(", ") if body else []) == sorted(expected)
        assert downgrade == [f"DROP TABLE IF EXISTS {table};"]
        applied = {name: "TEXT" for name in model}
    else:
        assert len(upgrade) == len(downgrade) == len(expected)
        assert sorted(zip(upgrade, downgrade)) == sorted(expected.values())
        applied = dict(db, **{name: "TEXT" for name in expected})
    if applied:
        assert engine.diff_table(table, model, applied, dialect) == ([], [])


# --- BatchAggregator ------------------------------------------------------------------

I64 = range(-(2**63), 2**63)


def classify(key):
    """The key that add_key stores: an int, or a text."""
    if isinstance(key, int) and key in I64:
        return int(key)
    if isinstance(key, Index) and isinstance(key.value, int) and key.value in I64:
        return key.value
    if isinstance(key, str) and not has_surrogate(key):
        return str.__str__(key)
    return ("text", display(key))


def stored(key):
    return key if type(key) is int else key[1] if type(key) is tuple else key


batch_keys = st.one_of(
    st.integers(-(2**64), 2**64),
    st.sampled_from([2**63, -(2**63) - 1, 2**63 - 1, -(2**63), 10**30]),
    st.booleans(),
    st.floats(allow_nan=True),
    any_text,
    st.sampled_from(["1", "True", "None", "1.5"]),
    st.none(),
    st.binary(max_size=3),
    st.integers(-5, 5).map(Index),
    st.sampled_from([Text("1"), Text("None")]),
)


@given(
    st.lists(
        st.tuples(st.sampled_from(["one", "batch", "clear"]), st.lists(batch_keys, max_size=8)),
        max_size=8,
    )
)
def test_keys_are_distinct_ints_then_texts_in_first_added_order(steps):
    agg = BatchAggregator()
    ints, texts = {}, {}  # dicts keep first-added order
    for kind, batch in steps:
        if kind == "clear":
            agg.clear()
            ints, texts = {}, {}
            continue
        added = 0
        for key in batch:
            c = classify(key)
            group = ints if type(c) is int else texts
            value = stored(c)
            fresh = (type(value), value) not in {(type(v), v) for v in group}
            if fresh:
                group[value] = None
            if kind == "one":
                assert agg.add_key(key) is fresh
            added += fresh
        if kind == "batch":
            assert agg.add_keys_batch(batch) == added
        got = agg.get_keys()
        assert got == list(ints) + list(texts)
        assert [type(k) for k in got] == [int] * len(ints) + [str] * len(texts)
        assert agg.len() == len(got) and agg.is_empty() == (not got)
        assert agg.get_keys() == got
