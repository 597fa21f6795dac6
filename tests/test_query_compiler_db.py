"""QueryCompiler's statements run on real engines: SQLite (?), PostgreSQL ($n, bound by the
server through psycopg's RawCursor) and MariaDB (%s through PyMySQL); and the README's
driver blocks (```python asyncpg, psycopg, pymysql) run against the servers.

The PostgreSQL and MariaDB cases skip when no server is configured (see conftest.py) and
fail instead under BRACKWELL_REQUIRE_DB=1.
"""

import asyncio
import random
import uuid

import pytest
from test_readme import readme_driver_snippet

from brackwell import QueryCompiler

QC = QueryCompiler()


class Engine:
    """One open connection and the dialect name that QueryCompiler is given for it."""

    def __init__(self, dialect, cursor):
        self.dialect = dialect
        self.cursor = cursor
        self.tables = []

    def run(self, sql, params=()):
        self.cursor.execute(sql, tuple(params))
        if self.cursor.description is None:
            return []
        return [tuple(row) for row in self.cursor.fetchall()]

    def create(self, columns):
        """A fresh table of its own, dropped after the test; returns its name."""
        name = "qc_" + uuid.uuid4().hex[:12]
        self.run(f"CREATE TABLE {name} ({columns})")
        self.tables.append(name)
        return name

    def drop_all(self):
        for name in reversed(self.tables):
            self.run(f"DROP TABLE {name}")


@pytest.fixture(
    params=[
        "sqlite",
        pytest.param("postgres", marks=pytest.mark.db),
        pytest.param("mysql", marks=pytest.mark.db),
    ]
)
def engine(request):
    if request.param == "sqlite":
        conn = request.getfixturevalue("sqlite_conn")
        eng = Engine("sqlite", conn.cursor())
    elif request.param == "postgres":
        eng = Engine("postgres", request.getfixturevalue("pg_raw_cursor"))
    else:
        conn = request.getfixturevalue("mysql_conn")
        eng = Engine("mysql", conn.cursor())
    try:
        yield eng
    finally:
        eng.drop_all()


USER_COLUMNS = (
    "id INTEGER PRIMARY KEY, name VARCHAR(40), email VARCHAR(80), age INTEGER, status VARCHAR(20)"
)


def make_people(seed=7, count=60):
    rng = random.Random(seed)
    names = ["ann", "bob", "cid", "dee", "eve", "fay"]  # lower-case ASCII: one order everywhere
    users = [
        (
            i,
            rng.choice(names),
            f"u{i}@example.org",
            rng.randrange(10, 40),
            rng.choice(["active", "idle"]),
        )
        for i in range(1, count + 1)
    ]
    orders = [(n, rng.randrange(1, count + 1), rng.randrange(1, 500)) for n in range(1, count + 1)]
    return users, orders


def insert_rows(engine, table, columns, rows):
    sql = QC.compile_insert(table, columns, engine.dialect)
    for row in rows:
        engine.run(sql, row)


def test_select_with_joins_conditions_order_limit_offset(engine):
    users_table = engine.create(USER_COLUMNS)
    orders_table = engine.create("order_id INTEGER PRIMARY KEY, user_id INTEGER, total INTEGER")
    users, orders = make_people()
    insert_rows(engine, users_table, ["id", "name", "email", "age", "status"], users)
    insert_rows(engine, orders_table, ["order_id", "user_id", "total"], orders)

    sql, params = QC.compile_select(
        users_table,
        ["id", "name"],
        [("age", ">=", "18"), ("status", "=", "active")],
        [("left", orders_table, f"{orders_table}.user_id = {users_table}.id")],
        [("name", "asc"), ("id", "desc")],
        10,
        5,
        engine.dialect,
    )
    expected = []
    for uid, name, _email, age, status in users:
        if age >= 18 and status == "active":
            matches = sum(1 for o in orders if o[1] == uid)
            expected += [(uid, name)] * max(matches, 1)
    expected.sort(key=lambda row: (row[0],), reverse=True)
    expected.sort(key=lambda row: row[1])
    assert len(expected) > 15  # the data reach past the offset and fill the limit
    assert engine.run(sql, params) == expected[5:15]


def test_write_statements_hit_the_right_row(engine):
    table = engine.create(USER_COLUMNS)
    users, _ = make_people(count=5)
    insert = QC.compile_insert(table, ["id", "name", "email", "age", "status"], engine.dialect)
    for row in users:
        returned = engine.run(insert, row)
        # only the postgres family appends RETURNING *: the server hands back the new row
        assert returned == ([row] if engine.dialect == "postgres" else [])

    update = QC.compile_update(table, ["name", "email"], "id", engine.dialect)
    assert engine.run(update, ["zed", "zed@example.org", 3]) == []
    delete = QC.compile_delete(table, "id", engine.dialect)
    engine.run(delete, [4])

    select, params = QC.compile_select(table, [], [], [], [("id", "asc")], dialect=engine.dialect)
    expected = [u for u in users if u[0] != 4]
    expected[2] = (3, "zed", "zed@example.org") + users[2][3:]
    assert engine.run(select, params) == expected


def test_placeholders_numbered_past_nine(engine):
    columns = [f"c{i}" for i in range(1, 12)]
    table = engine.create(
        "id INTEGER PRIMARY KEY, " + ", ".join(f"{c} VARCHAR(20)" for c in columns)
    )
    rows = [(n, *(f"v{n}_{i}" for i in range(1, 12))) for n in range(1, 4)]
    insert_rows(engine, table, ["id", *columns], rows)

    # eleven conditions, each bound to its own value: one row matches all of them
    wheres = [(c, "=", v) for c, v in zip(columns, rows[1][1:])]
    sql, params = QC.compile_select(table, ["id"], wheres, [], [], dialect=engine.dialect)
    assert engine.run(sql, params) == [(2,)]

    # ten SET columns and the key as the eleventh placeholder
    new_values = [f"w{i}" for i in range(1, 11)]
    engine.run(QC.compile_update(table, columns[:10], "id", engine.dialect), [*new_values, 3])
    sql, params = QC.compile_select(table, [], [], [], [("id", "asc")], dialect=engine.dialect)
    assert engine.run(sql, params) == [rows[0], rows[1], (3, *new_values, rows[2][11])]


def test_values_are_bound_not_spliced(engine):
    table = engine.create(USER_COLUMNS)
    tricky = ["o'brien", "x'); DROP TABLE users; --", "ß✓ 🦀", "50% off", "$1", "?"]
    rows = [(i, name, None, 30, "active") for i, name in enumerate(tricky, 1)]
    insert_rows(engine, table, ["id", "name", "email", "age", "status"], rows)
    for i, name in enumerate(tricky, 1):
        sql, params = QC.compile_select(
            table, ["id", "name"], [("name", "=", name)], [], [], dialect=engine.dialect
        )
        assert engine.run(sql, params) == [(i, name)]


# --- the README's driver blocks ------------------------------------------------------------
TEAMS = [(1, "Platform"), (2, "Payments")]
PEOPLE = [("Ada", 36, 1), ("Brian", 17, 2), ("Chen", 41, 2)]  # (name, age, team_id)


def readme_tables(execute, serial):
    """Temporary users and teams tables for the README blocks; the users get ids 1, 2, 3."""
    execute("CREATE TEMPORARY TABLE teams (id INTEGER PRIMARY KEY, name VARCHAR(40))")
    execute(
        f"CREATE TEMPORARY TABLE users (id {serial} PRIMARY KEY, name VARCHAR(40),"
        " age INTEGER, team_id INTEGER)"
    )
    for row in TEAMS:
        execute("INSERT INTO teams (id, name) VALUES (%s, %s)", row)


def test_readme_asyncpg(asyncpg_dsn):
    import asyncpg

    block = readme_driver_snippet("asyncpg")

    async def run():
        conn = await asyncpg.connect(asyncpg_dsn)
        try:
            await conn.execute("CREATE TEMPORARY TABLE teams (id INTEGER PRIMARY KEY, name TEXT)")
            await conn.execute(
                "CREATE TEMPORARY TABLE users"
                " (id SERIAL PRIMARY KEY, name TEXT, age INTEGER, team_id INTEGER)"
            )
            await conn.executemany("INSERT INTO teams (id, name) VALUES ($1, $2)", TEAMS)
            added = [tuple(await block["add_user"](conn, *person)) for person in PEOPLE]
            assert added == [(i, *person) for i, person in enumerate(PEOPLE, 1)]
            assert [tuple(r) for r in await block["adults"](conn)] == [(1, "Ada"), (3, "Chen")]
            sql, params = QC.compile_select(
                "users", [], [("age", ">=", "18")], [], [], dialect="postgres"
            )
            with pytest.raises(asyncpg.DataError, match=r"query argument \$1: '18' \("):
                await conn.fetch(sql, *params)  # the README's reason to convert
            teams = await block["teams_of"](conn, [2, 1, 2])
            assert sorted(tuple(r) for r in teams) == TEAMS
            with pytest.raises(asyncpg.DataError, match="invalid array element at index 1"):
                await block["teams_of"](conn, [1, "x"])
        finally:
            await conn.close()

    asyncio.run(run())


def test_readme_psycopg(pg_conn):
    block = readme_driver_snippet("psycopg")
    readme_tables(pg_conn.execute, "SERIAL")
    for person in PEOPLE:
        pg_conn.execute("INSERT INTO users (name, age, team_id) VALUES (%s, %s, %s)", person)
    assert block["adult_names"](pg_conn) == [("Ada",), ("Chen",)]
    assert block["payments_staff"](pg_conn) == [("Chen",)]


def test_readme_pymysql(mysql_conn):
    block = readme_driver_snippet("pymysql")
    with mysql_conn.cursor() as cur:
        readme_tables(cur.execute, "INTEGER AUTO_INCREMENT")
        cur.executemany("INSERT INTO users (name, age, team_id) VALUES (%s, %s, %s)", PEOPLE)
    assert block["payments_staff"](mysql_conn) == (("Chen",),)
