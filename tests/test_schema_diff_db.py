"""diff_table's DDL run on real databases: create, extend, undo, drop, and diff again."""

import pytest

from brackwell._brackwell_rs import SchemaDiffEngine

TABLE = "bw_schema_diff_round_trip"

BASE = {
    "id": {"data_type": "INTEGER", "primary_key": True, "nullable": False},
    "email": {"data_type": "VARCHAR(255)", "nullable": False},
    "bio": {},
    "score": {"data_type": "INTEGER", "nullable": True},
}
ADDED = {
    "nickname": {"data_type": "VARCHAR(40)"},
    "age": {"data_type": "INTEGER", "nullable": True},
    "code": {"data_type": "VARCHAR(20)", "nullable": False},
}


class Database:
    """One connection seen through the three things a migration needs."""

    def __init__(self, conn, dialect, columns_sql):
        self.conn, self.dialect, self.columns_sql = conn, dialect, columns_sql

    def run(self, statements):
        cur = self.conn.cursor()
        try:
            for statement in statements:
                cur.execute(statement)
        finally:
            cur.close()

    def query(self, sql, args=()):
        cur = self.conn.cursor()
        try:
            cur.execute(sql, args)
            return [tuple(row) for row in cur.fetchall()]
        finally:
            cur.close()

    def columns(self):
        """Column name -> (declared type, nullable), in the table's order."""
        if self.dialect == "sqlite":
            rows = self.query(f"PRAGMA table_info({TABLE})")
            return {name: (kind, not notnull) for _, name, kind, notnull, _, _ in rows}
        rows = self.query(self.columns_sql, (TABLE,))
        return {name: (kind, nullable == "YES") for name, kind, nullable in rows}


INFO_SQL = (
    "SELECT column_name, data_type, is_nullable FROM information_schema.columns "
    "WHERE table_name = %s AND table_schema = {} ORDER BY ordinal_position"
)


@pytest.fixture(params=["sqlite", "postgres", "mysql"])
def database(request):
    if request.param == "sqlite":
        db = Database(request.getfixturevalue("sqlite_conn"), "sqlite", None)
    elif request.param == "postgres":
        conn = request.getfixturevalue("pg_conn")
        db = Database(conn, "postgres", INFO_SQL.format("current_schema()"))
    else:
        conn = request.getfixturevalue("mysql_conn")
        db = Database(conn, "mysql", INFO_SQL.format("DATABASE()"))
    db.run([f"DROP TABLE IF EXISTS {TABLE}"])
    yield db
    db.run([f"DROP TABLE IF EXISTS {TABLE}"])


def diff(model, columns, dialect):
    db_columns = {name: kind for name, (kind, _) in columns.items()}
    return SchemaDiffEngine().diff_table(TABLE, model, db_columns, dialect)


def assert_matches_model(database, model):
    columns = database.columns()
    assert list(columns) == list(model)
    for name, description in model.items():
        if not description.get("primary_key"):
            assert columns[name][1] == description.get("nullable", True), name
    assert diff(model, columns, database.dialect) == ([], [])
    return columns


def test_round_trip(database):
    dialect = database.dialect
    create, drop = diff(BASE, {}, dialect)
    database.run(create)
    created = assert_matches_model(database, BASE)

    model = {**BASE, **ADDED}
    upgrade, downgrade = diff(model, created, dialect)
    assert len(upgrade) == len(downgrade) == len(ADDED)
    database.run(upgrade)  # the table is still empty: a NOT NULL column can be added
    assert_matches_model(database, model)

    # the key column numbers rows by itself in every dialect
    database.run([f"INSERT INTO {TABLE} (email, code) VALUES ('a@example.org', 'x1')"] * 2)
    assert database.query(f"SELECT id FROM {TABLE} ORDER BY id") == [(1,), (2,)]

    database.run(downgrade)
    assert database.columns() == created
    assert database.query(f"SELECT id, email FROM {TABLE} ORDER BY id")[0] == (1, "a@example.org")

    database.run(drop)
    assert database.columns() == {}
    assert diff(BASE, {}, dialect) == (create, drop)
