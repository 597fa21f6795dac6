"""SchemaDiffEngine.diff_table: DDL texts, model order, hostile and faulty dictionaries."""

import os
import subprocess
import sys

import pytest
from hostile import EqKey, LyingDict, OwnStr, StrSub, panic_exception_type
from hypothesis import given
from hypothesis import strategies as st

from brackwell._brackwell_rs import SchemaDiffEngine

SQLITE_KEY = " INTEGER PRIMARY KEY AUTOINCREMENT"
PG_KEY = " SERIAL PRIMARY KEY"
MYSQL_KEY = " INT AUTO_INCREMENT PRIMARY KEY"

USERS = {
    "id": {"data_type": "INTEGER", "primary_key": True, "nullable": False},
    "email": {"data_type": "VARCHAR(255)", "nullable": False},
    "bio": {},
}
USERS_DB = {"id": "INTEGER", "email": "VARCHAR(255)", "bio": "TEXT", "legacy_flag": "BOOLEAN"}


PanicException = panic_exception_type()


def diff(table, model, db, dialect="sqlite"):
    return SchemaDiffEngine().diff_table(table, model, db, dialect)


@pytest.mark.parametrize(
    "dialect, key",
    [
        ("sqlite", SQLITE_KEY),
        ("anything", SQLITE_KEY),
        ("", SQLITE_KEY),
        ("postgres", PG_KEY),
        ("postgresql", PG_KEY),
        ("mysql", MYSQL_KEY),
        ("MySQL", SQLITE_KEY),
        ("Postgres", SQLITE_KEY),
        ("POSTGRESQL", SQLITE_KEY),
        (" mysql", SQLITE_KEY),
    ],
)
def test_new_table_worked_example(dialect, key):
    assert diff("users", USERS, {}, dialect) == (
        [f"CREATE TABLE IF NOT EXISTS users (id{key}, email VARCHAR(255) NOT NULL, bio TEXT);"],
        ["DROP TABLE IF EXISTS users;"],
    )


@pytest.mark.parametrize("dialect", ["sqlite", "postgres", "mysql", "other"])
def test_existing_table_worked_example(dialect):
    model = dict(
        USERS, age={"data_type": "INTEGER"}, nickname={"data_type": "TEXT", "nullable": False}
    )
    assert diff("users", model, USERS_DB, dialect) == (
        [
            "ALTER TABLE users ADD COLUMN age INTEGER;",
            "ALTER TABLE users ADD COLUMN nickname TEXT NOT NULL;",
        ],
        ["ALTER TABLE users DROP COLUMN age;", "ALTER TABLE users DROP COLUMN nickname;"],
    )


@pytest.mark.parametrize(
    "model, db, expected",
    [
        ({}, {}, (["CREATE TABLE IF NOT EXISTS t ();"], ["DROP TABLE IF EXISTS t;"])),
        ({}, {"a": "TEXT"}, ([], [])),
        ({"a": {"data_type": "INT"}}, {"a": "BLOB"}, ([], [])),
        ({"a": {}}, {}, (["CREATE TABLE IF NOT EXISTS t (a TEXT);"], ["DROP TABLE IF EXISTS t;"])),
        (
            {"a": {"nullable": 0}, "b": {"nullable": None}, "c": {"nullable": "no"}},
            {"x": "T"},
            (
                [
                    "ALTER TABLE t ADD COLUMN a TEXT;",
                    "ALTER TABLE t ADD COLUMN b TEXT;",
                    "ALTER TABLE t ADD COLUMN c TEXT;",
                ],
                [
                    "ALTER TABLE t DROP COLUMN a;",
                    "ALTER TABLE t DROP COLUMN b;",
                    "ALTER TABLE t DROP COLUMN c;",
                ],
            ),
        ),
        (
            {"a": {"primary_key": 1, "nullable": 0.0}},
            {},
            (["CREATE TABLE IF NOT EXISTS t (a TEXT);"], ["DROP TABLE IF EXISTS t;"]),
        ),
        (
            {"a": {"data_type": None}, "b": {"data_type": 5}, "c": {"data_type": b"INT"}},
            {},
            (
                ["CREATE TABLE IF NOT EXISTS t (a TEXT, b TEXT, c TEXT);"],
                ["DROP TABLE IF EXISTS t;"],
            ),
        ),
        (
            {"a": {"data_type": "\ud800"}, "b": {"data_type": StrSub("BIGINT"), "nullable": False}},
            {},
            (
                ["CREATE TABLE IF NOT EXISTS t (a TEXT, b BIGINT NOT NULL);"],
                ["DROP TABLE IF EXISTS t;"],
            ),
        ),
        (
            {"a": {"primary_key": True}, "b": {"primary_key": True, "data_type": "UUID"}},
            {},
            (
                [f"CREATE TABLE IF NOT EXISTS t (a{SQLITE_KEY}, b{SQLITE_KEY});"],
                ["DROP TABLE IF EXISTS t;"],
            ),
        ),
        (
            {"k": {"primary_key": True, "nullable": False, "data_type": "BIGINT"}},
            {"x": "T"},
            (["ALTER TABLE t ADD COLUMN k BIGINT;"], ["ALTER TABLE t DROP COLUMN k;"]),
        ),
        (
            {"Email": {}},
            {"email": "TEXT"},
            (["ALTER TABLE t ADD COLUMN Email TEXT;"], ["ALTER TABLE t DROP COLUMN Email;"]),
        ),
        (
            {"a": LyingDict(nullable=False), "b": LyingDict()},
            {},
            (
                ["CREATE TABLE IF NOT EXISTS t (a TEXT NOT NULL, b TEXT);"],
                ["DROP TABLE IF EXISTS t;"],
            ),
        ),
        (
            {"naïve": {"data_type": "ÉTAT"}},
            {},
            (["CREATE TABLE IF NOT EXISTS t (naïve ÉTAT);"], ["DROP TABLE IF EXISTS t;"]),
        ),
        (
            {" a ": {"data_type": ""}},
            {"a": "T"},
            (["ALTER TABLE t ADD COLUMN  a  ;"], ["ALTER TABLE t DROP COLUMN  a ;"]),
        ),
        (
            {"a": {"".join(["null", "able"]): False, "".join(["data_", "type"]): "INT"}},
            {},
            (["CREATE TABLE IF NOT EXISTS t (a INT NOT NULL);"], ["DROP TABLE IF EXISTS t;"]),
        ),
        (
            {"a": {StrSub("nullable"): False, "data_type": "INT"}},
            {},
            (["CREATE TABLE IF NOT EXISTS t (a INT NOT NULL);"], ["DROP TABLE IF EXISTS t;"]),
        ),
        (
            {"a": {**{f"k{i}": i for i in range(10)}, "data_type": "INT", "primary_key": True}},
            {"b": "T"},
            (["ALTER TABLE t ADD COLUMN a INT;"], ["ALTER TABLE t DROP COLUMN a;"]),
        ),
    ],
    ids=[
        "both-empty",
        "model-empty",
        "all-present",
        "empty-description",
        "non-bool-nullable",
        "non-bool-key",
        "non-str-type",
        "bad-utf8-and-subclass-type",
        "several-keys",
        "key-added-to-live-table",
        "letter-case",
        "dict-subclass-description",
        "non-ascii",
        "verbatim-blanks",
        "runtime-built-keys",
        "str-subclass-key",
        "large-description",
    ],
)
def test_edge_cases(model, db, expected):
    assert diff("t", model, db) == expected


def test_empty_table_name():
    assert diff("", {"a": {}}, {}) == (
        ["CREATE TABLE IF NOT EXISTS  (a TEXT);"],
        ["DROP TABLE IF EXISTS ;"],
    )
    assert diff("", {"a": {}}, {"b": "T"}) == (
        ["ALTER TABLE  ADD COLUMN a TEXT;"],
        ["ALTER TABLE  DROP COLUMN a;"],
    )


def test_dict_subclasses_are_read_from_their_storage():
    model = LyingDict(b={"nullable": False}, a={})
    assert diff("t", model, {}) == (
        ["CREATE TABLE IF NOT EXISTS t (b TEXT NOT NULL, a TEXT);"],
        ["DROP TABLE IF EXISTS t;"],
    )
    assert diff("t", {"a": {}, "b": {}}, LyingDict(b="T"))[0] == [
        "ALTER TABLE t ADD COLUMN a TEXT;"
    ]


def test_numpy_booleans_count_as_booleans():
    np = pytest.importorskip("numpy")
    model = {
        "a": {"nullable": np.False_},
        "b": {"nullable": np.True_, "primary_key": np.False_},
        "c": {"primary_key": np.True_},
    }
    assert diff("t", model, {}, "postgres")[0] == [
        f"CREATE TABLE IF NOT EXISTS t (a TEXT NOT NULL, b TEXT, c{PG_KEY});"
    ]


def test_model_order_is_kept_for_many_columns():
    names = [f"c{(i * 37) % 101}" for i in range(101)]
    model = {name: {"data_type": "INT"} for name in names}
    db = {"c0": "INT", "other": "TEXT", **{f"x{i}": "T" for i in range(20)}}
    up, down = diff("t", model, db)
    expected = [n for n in names if n != "c0"]
    assert up == [f"ALTER TABLE t ADD COLUMN {n} INT;" for n in expected]
    assert down == [f"ALTER TABLE t DROP COLUMN {n};" for n in expected]
    create = diff("t", model, {})[0][0]
    assert create == "CREATE TABLE IF NOT EXISTS t (" + ", ".join(f"{n} INT" for n in names) + ");"
    assert all(diff("t", model, db) == (up, down) for _ in range(20))


def test_same_output_in_other_processes():
    code = (
        "from brackwell._brackwell_rs import SchemaDiffEngine as S\n"
        "m = {f'c{(i * 7) % 40}': {'data_type': 'INT'} for i in range(40)}\n"
        "print(S().diff_table('t', m, {'c3': 'INT', **{f'z{i}': 'T' for i in range(12)}}, 'x'))\n"
    )
    env = dict(os.environ)
    outputs = set()
    for seed in ("1", "2"):
        env["PYTHONHASHSEED"] = seed
        result = subprocess.run(
            [sys.executable, "-c", code],
            env=env,
            capture_output=True,
            text=True,
            check=True,
            cwd=os.path.dirname(__file__),
        )
        outputs.add(result.stdout)
    assert len(outputs) == 1
    namespace = {}
    exec(code.replace("print(", "result = ("), namespace)
    assert outputs == {repr(namespace["result"]) + "\n"}


def test_repeated_name_keeps_first_position_and_last_description():
    model = {
        OwnStr("a"): {"data_type": "OLD"},
        "b": {},
        OwnStr("a"): {"data_type": "NEW", "nullable": False},
    }
    assert len(model) == 3
    assert diff("t", model, {}) == (
        ["CREATE TABLE IF NOT EXISTS t (a NEW NOT NULL, b TEXT);"],
        ["DROP TABLE IF EXISTS t;"],
    )
    assert diff("t", model, {"z": "T"})[1] == [
        "ALTER TABLE t DROP COLUMN a;",
        "ALTER TABLE t DROP COLUMN b;",
    ]


NOT_STR = "'{}' object cannot be converted to 'PyString'"
NOT_DICT = "'{}' object cannot be converted to 'PyDict'"


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, {}, {}, "sqlite"), "argument 'table_name': " + NOT_STR.format("NoneType")),
        ((b"t", {}, {}, "sqlite"), "argument 'table_name': " + NOT_STR.format("bytes")),
        (("t", [], {}, "sqlite"), "argument 'model_fields': " + NOT_DICT.format("list")),
        (("t", {}, (), "sqlite"), "argument 'db_columns': " + NOT_DICT.format("tuple")),
        (("t", {}, {}, 1), "argument '_dialect': " + NOT_STR.format("int")),
        (("t", {1: {}}, {}, "x"), NOT_STR.format("int")),
        (("t", {"a": []}, {}, "x"), NOT_DICT.format("list")),
        (("t", {"a": None}, {}, "x"), NOT_DICT.format("NoneType")),
        (("t", {}, {2: "T"}, "x"), NOT_STR.format("int")),
        (("t", {}, {"a": None}, "x"), NOT_STR.format("NoneType")),
        (("t", {"a": {}}, {"a": 5}, "x"), NOT_STR.format("int")),
        (("t", {"a": 1}, {"b": None}, "x"), NOT_DICT.format("int")),
        (("t", {"a": {}, 3: {}}, {4: "T"}, "x"), NOT_STR.format("int")),
    ],
)
def test_type_errors(args, message):
    with pytest.raises(TypeError) as info:
        SchemaDiffEngine().diff_table(*args)
    assert str(info.value) == message


def test_mapping_that_is_not_a_dict_is_refused():
    from types import MappingProxyType

    with pytest.raises(TypeError, match="argument 'model_fields': 'mappingproxy' object"):
        diff("t", MappingProxyType({}), {})


@pytest.mark.parametrize(
    "args",
    [
        ("\udc00", {}, {}, "x"),
        ("t", {}, {}, "\ud800"),
        ("t", {"\ud800": {}}, {}, "x"),
        ("t", {}, {"\ud800": "T"}, "x"),
        ("t", {}, {"a": "\ud800"}, "x"),
    ],
)
def test_unencodable_text_raises_encode_error(args):
    with pytest.raises(UnicodeEncodeError):
        SchemaDiffEngine().diff_table(*args)


def test_binding_by_keyword_and_signature():
    engine = SchemaDiffEngine()
    assert engine.diff_table(
        _dialect="mysql", db_columns={}, model_fields={"a": {}}, table_name="t"
    ) == (["CREATE TABLE IF NOT EXISTS t (a TEXT);"], ["DROP TABLE IF EXISTS t;"])
    with pytest.raises(
        TypeError,
        match=r"^SchemaDiffEngine.diff_table\(\) missing 1 required positional "
        r"argument: '_dialect'$",
    ):
        engine.diff_table("t", {}, {})
    assert SchemaDiffEngine.diff_table.__text_signature__ == (
        "($self, table_name, model_fields, db_columns, _dialect)"
    )
    assert SchemaDiffEngine.diff_table.__doc__ == (
        "Compares model metadata against database introspection table structure.\n"
        "Returns upgrade_statements and downgrade_statements."
    )


def test_error_inside_a_lookup_propagates():
    def fail():
        raise KeyError("from __eq__")

    with pytest.raises(KeyError, match="from __eq__"):
        diff("t", {"a": {EqKey("data_type", fail): 1}}, {})


def test_model_changing_size_while_read_is_an_internal_failure():
    model = {"a": {}, "b": {}}

    def grow():
        model["c"] = {}

    model["a"] = {EqKey("data_type", grow): 1}
    with pytest.raises(BaseException) as info:
        diff("t", model, {})
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"
    assert type(info.value) is PanicException


def test_model_keys_replaced_while_read_is_an_internal_failure():
    model = {"a": {}, "b": {}}

    def swap():
        if "a" in model:
            del model["a"]
            model["z"] = {}

    model["a"] = {EqKey("data_type", swap): 1}
    with pytest.raises(PanicException, match="^dictionary keys changed during iteration$"):
        diff("t", model, {})


def test_entry_deleted_while_its_description_is_read():
    model = {}

    def delete_entry():
        model.clear()  # the key and the description lose their last other reference

    model[OwnStr("".join(["co", "l"]))] = {EqKey("data_type", delete_entry): 1, "nullable": False}
    with pytest.raises(PanicException, match="^dictionary changed size during iteration$"):
        diff("t", model, {})


def test_engine_works_after_failures():
    engine = SchemaDiffEngine()
    with pytest.raises(TypeError):
        engine.diff_table("t", {1: {}}, {}, "x")
    model = {"a": {}}
    model["a"] = {EqKey("data_type", lambda: model.setdefault("b", {})): 1}
    with pytest.raises(PanicException):
        engine.diff_table("t", model, {}, "x")
    assert engine.diff_table("t", {"a": {}}, {"b": "T"}, "x")[0] == [
        "ALTER TABLE t ADD COLUMN a TEXT;"
    ]


def reference(model, db, dialect):
    """What the DDL must say, written the plain way."""
    key = {"mysql": MYSQL_KEY, "postgres": PG_KEY, "postgresql": PG_KEY}.get(dialect, SQLITE_KEY)

    def kind(desc):
        data_type = desc.get("data_type")
        return (
            data_type if isinstance(data_type, str) else "TEXT",
            desc.get("nullable") is not False,
            desc.get("primary_key") is True,
        )

    if not db:
        parts = []
        for name, desc in model.items():
            data_type, nullable, pk = kind(desc)
            parts.append(
                name + key if pk else name + " " + data_type + ("" if nullable else " NOT NULL")
            )
        return ["CREATE TABLE IF NOT EXISTS t (" + ", ".join(parts) + ");"], [
            "DROP TABLE IF EXISTS t;"
        ]
    up, down = [], []
    for name, desc in model.items():
        if name in db:
            continue
        data_type, nullable, pk = kind(desc)
        up.append(
            f"ALTER TABLE t ADD COLUMN {name} {data_type}"
            + ("" if nullable or pk else " NOT NULL")
            + ";"
        )
        down.append(f"ALTER TABLE t DROP COLUMN {name};")
    return up, down


names = st.text(alphabet="abcAB_é1", min_size=0, max_size=4)
descriptions = st.fixed_dictionaries(
    {},
    optional={
        "data_type": st.one_of(
            st.sampled_from(["INT", "TEXT", "VARCHAR(9)", ""]), st.none(), st.integers()
        ),
        "nullable": st.one_of(st.booleans(), st.none(), st.integers(0, 1)),
        "primary_key": st.one_of(st.booleans(), st.integers(0, 1)),
        "comment": st.text(max_size=3),
    },
)


@given(
    model=st.dictionaries(names, descriptions, max_size=12),
    db=st.dictionaries(names, st.sampled_from(["INT", "TEXT"]), max_size=12),
    dialect=st.sampled_from(["sqlite", "postgres", "postgresql", "mysql", "MYSQL", ""]),
)
def test_matches_plain_reference(model, db, dialect):
    assert diff("t", model, db, dialect) == reference(model, db, dialect)
