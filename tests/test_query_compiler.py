"""QueryCompiler: placeholders, the four statement texts, and the order arguments are read in
(the refusal messages of every method are checked in test_binding.py)."""

import sys

import pytest
from hostile import Index, Indexed, StrSub
from hypothesis import given
from hypothesis import strategies as st

from brackwell import QueryCompiler

QC = QueryCompiler()

EXAMPLE = dict(
    table="users",
    columns=["id", "name"],
    wheres=[("age", ">=", "18"), ("status", "=", "active")],
    joins=[("left", "orders", "orders.user_id = users.id")],
    order_by=[("name", "asc"), ("id", "desc")],
    limit=10,
    offset=20,
)
EXAMPLE_HEAD = "SELECT id, name FROM users LEFT JOIN orders ON orders.user_id = users.id WHERE "
EXAMPLE_TAIL = " ORDER BY name ASC, id DESC LIMIT 10 OFFSET 20"


@pytest.mark.parametrize(
    "dialect, first, second",
    [("sqlite", "?", "?"), ("postgres", "$1", "$2"), ("mysql", "%s", "%s")],
)
def test_select_worked_example(dialect, first, second):
    sql, params = QC.compile_select(**EXAMPLE, dialect=dialect)
    assert sql == f"{EXAMPLE_HEAD}age >= {first} AND status = {second}{EXAMPLE_TAIL}"
    assert params == ["18", "active"]
    assert type(params) is list and type(sql) is str


def test_select_dialect_defaults_to_sqlite():
    assert QC.compile_select(*EXAMPLE.values()) == QC.compile_select(**EXAMPLE, dialect="sqlite")
    for dialect in ("sqlite", "postgres", "mysql"):
        assert QC.compile_select("users", [], [], [], [], dialect=dialect) == (
            "SELECT * FROM users",
            [],
        )


WRITES = {
    "sqlite": (
        "INSERT INTO users (name, email) VALUES (?, ?)",
        "UPDATE users SET name = ?, email = ? WHERE id = ?",
        "DELETE FROM users WHERE id = ?",
    ),
    "postgres": (
        "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *",
        "UPDATE users SET name = $1, email = $2 WHERE id = $3",
        "DELETE FROM users WHERE id = $1",
    ),
    "mysql": (
        "INSERT INTO users (name, email) VALUES (%s, %s)",
        "UPDATE users SET name = %s, email = %s WHERE id = %s",
        "DELETE FROM users WHERE id = %s",
    ),
    "postgres_replica": (
        "INSERT INTO users (name, email) VALUES (?, ?) RETURNING *",
        "UPDATE users SET name = ?, email = ? WHERE id = ?",
        "DELETE FROM users WHERE id = ?",
    ),
    "oracle": (
        "INSERT INTO users (name, email) VALUES (?, ?)",
        "UPDATE users SET name = ?, email = ? WHERE id = ?",
        "DELETE FROM users WHERE id = ?",
    ),
}


@pytest.mark.parametrize("dialect", WRITES)
def test_write_statements(dialect):
    insert, update, delete = WRITES[dialect]
    assert QC.compile_insert("users", ["name", "email"], dialect) == insert
    assert QC.compile_update("users", ["name", "email"], "id", dialect) == update
    assert QC.compile_delete("users", "id", dialect) == delete


@pytest.mark.parametrize(
    "dialect, index, expected",
    [
        ("postgres", 1, "$1"),
        ("postgres", 0, "$0"),
        ("PostgreSQL", 12, "$12"),
        ("POSTGRES", 2**64 - 1, "$18446744073709551615"),
        ("postgresql", True, "$1"),
        ("mysql", 7, "%s"),
        ("MySQL", 0, "%s"),
        ("sqlite", 3, "?"),
        ("SQLite", 3, "?"),
        ("", 3, "?"),
        ("oracle", 1, "?"),
        ("pg", 1, "?"),
        ("postgres9", 1, "?"),
        ("postgres ", 1, "?"),
        (" mysql", 1, "?"),
        ("postgres\0", 1, "?"),
        ("postgres_replica", 5, "?"),
        # U+212A KELVIN SIGN lower-cases to "k": nothing that could form a recognised name
        ("\u212amysql", 1, "?"),
    ],
)
def test_get_placeholder(dialect, index, expected):
    assert QC.get_placeholder(dialect, index) == expected
    assert QC.get_placeholder(index=index, dialect=dialect) == expected


def test_numbering_past_nine():
    wheres = [(f"c{i}", "=", str(i)) for i in range(1, 12)]
    sql, params = QC.compile_select("t", [], wheres, [], [], dialect="postgres")
    assert sql == "SELECT * FROM t WHERE " + " AND ".join(f"c{i} = ${i}" for i in range(1, 12))
    assert params == [str(i) for i in range(1, 12)]
    for dialect, mark in (("mysql", "%s"), ("sqlite", "?"), ("db2", "?")):
        sql, _ = QC.compile_select("t", [], wheres, [], [], dialect=dialect)
        assert sql.count(mark) == 11 and "$" not in sql
    nine = [f"c{i}" for i in range(1, 10)]
    assert QC.compile_update("t", nine, "id", "postgres") == (
        "UPDATE t SET " + ", ".join(f"c{i} = ${i}" for i in range(1, 10)) + " WHERE id = $10"
    )
    assert QC.compile_insert("t", nine + ["c10"], "postgres").endswith(
        "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) RETURNING *"
    )


@pytest.mark.parametrize("dialect", ["POSTGRES", "PostgreSQL", "postgresql", "pOsTgReS"])
def test_dialect_letter_case(dialect):
    assert QC.compile_select("t", [], [("a", "=", "1")], [], [], dialect=dialect)[0].endswith("$1")
    assert QC.compile_insert("t", ["a"], dialect) == "INSERT INTO t (a) VALUES ($1) RETURNING *"
    assert QC.compile_update("t", ["a"], "id", dialect) == "UPDATE t SET a = $1 WHERE id = $2"
    assert QC.compile_delete("t", "id", dialect) == "DELETE FROM t WHERE id = $1"


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        (dict(columns=["a"]), "SELECT a FROM t"),
        (dict(columns=["a", ""]), "SELECT a,  FROM t"),
        (dict(columns=("a", "b")), "SELECT a, b FROM t"),
        (dict(wheres=[("name", "like", "a%")]), "SELECT * FROM t WHERE name like ?"),
        (dict(joins=[("inner", "u", "u.id = t.u")]), "SELECT * FROM t INNER JOIN u ON u.id = t.u"),
        (dict(joins=[("", "u", "c")]), "SELECT * FROM t  JOIN u ON c"),
        (
            dict(joins=[("left outer", "a", "x"), ("Cross", "b", "")]),
            "SELECT * FROM t LEFT OUTER JOIN a ON x CROSS JOIN b ON ",
        ),
        (dict(order_by=[("name", "")], limit=3), "SELECT * FROM t ORDER BY name  LIMIT 3"),
        (
            dict(order_by=[("name", "desc nulls last")]),
            "SELECT * FROM t ORDER BY name DESC NULLS LAST",
        ),
        (dict(limit=0), "SELECT * FROM t LIMIT 0"),
        (dict(limit=None, offset=None), "SELECT * FROM t"),
        (dict(offset=5), "SELECT * FROM t OFFSET 5"),
        (dict(limit=True, offset=False), "SELECT * FROM t LIMIT 1 OFFSET 0"),
        (dict(limit=Index(4)), "SELECT * FROM t LIMIT 4"),
        (
            dict(limit=2**64 - 1, offset=2**63),
            "SELECT * FROM t LIMIT 18446744073709551615 OFFSET 9223372036854775808",
        ),
    ],
)
def test_select_clauses(kwargs, expected):
    args = dict(table="t", columns=[], wheres=[], joins=[], order_by=[])
    args.update(kwargs)
    assert QC.compile_select(**args)[0] == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("straße", "STRASSE"),
        ("ﬁ desc", "FI DESC"),
        ("\u01f0", "J\u030c"),
        ("ŉ", "ʼN"),
        ("left ȷoin", "LEFT ȷOIN"),
        ("\u0390", "\u0399\u0308\u0301"),
        ("ascending ı", "ASCENDING I"),
        ("\ud7ff\U0001e922", "\ud7ff\U0001e900"),
        ("a\0b", "A\0B"),
    ],
)
def test_upper_casing_is_full_unicode(text, expected):
    assert text.upper() == expected
    sql, _ = QC.compile_select("t", [], [], [(text, "u", "c")], [("x", text)])
    assert sql == f"SELECT * FROM t {expected} JOIN u ON c ORDER BY x {expected}"


@given(st.text())
def test_upper_casing_matches_str_upper(text):
    sql, _ = QC.compile_select("t", [], [], [(text, "u", "c")], [("x", text)])
    upper = text.upper()
    assert sql == f"SELECT * FROM t {upper} JOIN u ON c ORDER BY x {upper}"


def test_upper_casing_covers_every_code_point():
    text = "|".join(chr(c) for c in range(sys.maxunicode + 1) if not 0xD800 <= c < 0xE000)
    order = [("c", text)]
    assert (
        QC.compile_select("t", [], [], [], order)[0] == "SELECT * FROM t ORDER BY c " + text.upper()
    )


def test_other_texts_keep_their_case():
    sql, params = QC.compile_select("Tab", ["Col"], [("Col", "Like", "Val")], [], [])
    assert (sql, params) == ("SELECT Col FROM Tab WHERE Col Like ?", ["Val"])


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: QC.compile_insert("users", [], "sqlite"), "INSERT INTO users () VALUES ()"),
        (
            lambda: QC.compile_insert("users", [], "postgres"),
            "INSERT INTO users () VALUES () RETURNING *",
        ),
        (
            lambda: QC.compile_update("users", [], "id", "postgres"),
            "UPDATE users SET  WHERE id = $1",
        ),
        (
            lambda: QC.compile_update("users", ["id", "name"], "id", "postgres"),
            "UPDATE users SET id = $1, name = $2 WHERE id = $3",
        ),
        (
            lambda: QC.compile_insert("t", ["a", "a"], "mysql"),
            "INSERT INTO t (a, a) VALUES (%s, %s)",
        ),
        (
            lambda: QC.compile_insert("order", ["select"], "sqlite"),
            "INSERT INTO order (select) VALUES (?)",
        ),
        (
            lambda: QC.compile_insert("users", ["name"], "postgres_replica"),
            "INSERT INTO users (name) VALUES (?) RETURNING *",
        ),
        (lambda: QC.compile_insert("t", ["a"], "MySQL"), "INSERT INTO t (a) VALUES (%s)"),
        (
            lambda: QC.compile_insert("t", ("a",), "my_postgres_db"),
            "INSERT INTO t (a) VALUES (?) RETURNING *",
        ),
        (lambda: QC.compile_delete("", "", ""), "DELETE FROM  WHERE  = ?"),
        (lambda: QC.compile_delete(" t ", " id ", "mysql"), "DELETE FROM  t  WHERE  id  = %s"),
    ],
)
def test_write_edge_cases(call, expected):
    assert call() == expected


def test_nul_characters_are_carried_through():
    sql, params = QC.compile_select(
        "t\0x", ["a\0"], [("c\0", "=\0", "v\0w")], [("le\0ft", "j\0", "o\0n")], [("o\0", "a\0sc")]
    )
    assert sql == "SELECT a\0 FROM t\0x LE\0FT JOIN j\0 ON o\0n WHERE c\0 =\0 ? ORDER BY o\0 A\0SC"
    assert params == ["v\0w"]
    assert QC.compile_insert("t\0", ["a\0b"], "sqlite") == "INSERT INTO t\0 (a\0b) VALUES (?)"
    assert (
        QC.compile_update("t\0", ["a\0"], "k\0", "mysql")
        == "UPDATE t\0 SET a\0 = %s WHERE k\0 = %s"
    )
    assert QC.compile_delete("t\0", "k\0", "postgres") == "DELETE FROM t\0 WHERE k\0 = $1"


def test_long_statements_grow_past_the_first_buffer():
    columns = [f"column_{i}_" + "x" * 40 for i in range(200)]
    wheres = [(c, "=", c[::-1]) for c in columns]
    sql, params = QC.compile_select("t" * 1000, columns, wheres, [], [], dialect="postgres")
    assert sql.startswith("SELECT " + ", ".join(columns) + " FROM " + "t" * 1000 + " WHERE ")
    assert sql.endswith(f"{columns[-1]} = $200") and params == [c[::-1] for c in columns]
    assert QC.compile_insert("t", columns, "postgres").endswith("$199, $200) RETURNING *")
    assert QC.compile_update("t", columns, "id", "postgres").endswith("$200 WHERE id = $201")
    for size in (230, 231, 5000):  # statements of 256 bytes, 257 bytes and far longer
        table = "t" * size
        assert QC.compile_delete(table, "id", "postgres") == f"DELETE FROM {table} WHERE id = $1"


def test_non_ascii_texts_round_trip():
    sql, params = QC.compile_select("tâble", ["çol", "🦀"], [("ñ", "≥", "ü")], [], [])
    assert (sql, params) == ("SELECT çol, 🦀 FROM tâble WHERE ñ ≥ ?", ["ü"])


def test_str_subclasses_and_custom_sequences_are_accepted():
    columns = Indexed([StrSub("a"), StrSub("b")])
    assert QC.compile_insert(StrSub("t"), columns, StrSub("PostgreSQL")) == (
        "INSERT INTO t (a, b) VALUES ($1, $2) RETURNING *"
    )
    sql, _ = QC.compile_select("t", [], [], [(StrSub("ßx"), "u", "c")], [])
    assert sql == "SELECT * FROM t SSX JOIN u ON c"


def test_arguments_are_converted_in_order():
    # the first failing parameter is the one reported, whatever fails after it
    with pytest.raises(TypeError, match="^argument 'columns'"):
        QC.compile_select("t", 1, [("x",)], [], [], limit=-1, dialect=None)
    with pytest.raises(ValueError, match="length 3"):
        QC.compile_select("t", [], [("x",)], 1, [], limit=-1, dialect=None)
    with pytest.raises(OverflowError):
        QC.compile_select("t", [], [], [], [], limit=-1, offset=1.5, dialect=None)
    calls = []
    limit = Index(1, lambda: calls.append("limit"))
    offset = Index(2, lambda: calls.append("offset"))
    QC.compile_select("t", [], [], [], [], limit, offset)
    assert calls == ["limit", "offset"]


def test_instances_hold_nothing():
    assert QueryCompiler().compile_delete("t", "k", "mysql") == QC.compile_delete("t", "k", "mysql")


class Triple(tuple):
    pass


def test_tuple_subclasses_and_mixed_sequences():
    wheres = [Triple(("a", "=", "1")), ("b", "<", "2")]
    assert QC.compile_select("t", ("x",), tuple(wheres), [], [Triple(("x", "asc"))]) == (
        "SELECT x FROM t WHERE a = ? AND b < ? ORDER BY x ASC",
        ["1", "2"],
    )
    assert QC.compile_select("t", Indexed(["x"]), [], [], [])[0] == "SELECT x FROM t"
