"""Checks of the test infrastructure itself (conftest.py fixtures, leakcheck.py).

The database tests here run against the servers that scripts/databases.sh starts; in CI
(BRACKWELL_REQUIRE_DB=1) they fail when a server is unreachable instead of skipping.
"""

import gc
import sys

import pytest
from leakcheck import LeakError, assert_no_leak


def test_pg_raw_cursor_sends_dollar_placeholders(pg_raw_cursor):
    # the exact text QueryCompiler produces for PostgreSQL, bound by the server
    cur = pg_raw_cursor
    cur.execute("CREATE TEMP TABLE users (id int, name text, age int)")
    cur.execute("INSERT INTO users (id, name, age) VALUES ($1, $2, $3)", [1, "ann", 18])
    cur.execute("INSERT INTO users (id, name, age) VALUES ($1, $2, $3)", [2, "bob", 7])
    cur.execute("SELECT id, name FROM users WHERE age >= $1 ORDER BY name ASC LIMIT 10", ["18"])
    assert cur.fetchall() == [(1, "ann")]


def test_pg_conn_uses_percent_s(pg_conn):
    assert pg_conn.autocommit
    assert pg_conn.execute("SELECT %s::int + 1", [41]).fetchone() == (42,)


def test_mysql_conn(mysql_conn):
    assert mysql_conn.get_autocommit()
    with mysql_conn.cursor() as cur:
        cur.execute("CREATE TEMPORARY TABLE users (id INT, name VARCHAR(20))")
        cur.execute("INSERT INTO users (id, name) VALUES (%s, %s)", (1, "ann"))
        cur.execute("SELECT name FROM users WHERE id = %s", (1,))
        assert cur.fetchall() == (("ann",),)


def test_sqlite_conn(sqlite_conn):
    sqlite_conn.execute("CREATE TABLE users (id INTEGER, name TEXT)")
    sqlite_conn.execute("INSERT INTO users (id, name) VALUES (?, ?)", (1, "ann"))
    assert sqlite_conn.execute("SELECT name FROM users WHERE id = ?", (1,)).fetchall() == [("ann",)]


def test_unraisable_collects_hook_calls(unraisable):
    class Boom:
        def __del__(self):
            raise ValueError("from __del__")

    b = Boom()
    del b
    gc.collect()
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is ValueError
    assert str(unraisable[0].exc_value) == "from __del__"
    # the class is named by the object (the __del__ function) or, from 3.14 on, by err_msg
    assert "Boom" in unraisable[0].object_repr or "Boom" in (unraisable[0].err_msg or "")


def test_leakcheck_passes_clean_call():
    marker = object()
    assert_no_leak(lambda: [marker] * 3, calls=200, watch=[marker])


def test_leakcheck_finds_leaked_objects_and_references():
    marker = object()
    kept = []
    with pytest.raises(LeakError, match="gcobjs grew"):
        assert_no_leak(lambda: kept.append([marker]), calls=200)
    kept.clear()
    held = []
    with pytest.raises(LeakError, match=r"refs\[0\] grew"):
        assert_no_leak(lambda: held.append(marker), calls=200, watch=[marker])
    assert sys.getrefcount(marker) > 1
