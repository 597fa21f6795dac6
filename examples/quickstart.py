"""brackwell's main job, end to end, on an in-memory SQLite database.

    python examples/quickstart.py

1. create two tables from their models (SchemaDiffEngine against an empty table)
2. insert rows (QueryCompiler.compile_insert)
3. query with a WHERE, ORDER BY and LIMIT and bind the returned parameters
4. load a row into a StateTracker, change fields, write only the dirty ones
5. collect the foreign keys of a page of rows (BatchAggregator), load the related rows
   in one IN (...) query
6. add a column to a model, diff it against PRAGMA table_info, upgrade, then downgrade

Each step prints the SQL it runs and what came back.
"""

import sqlite3

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

DIALECT = "sqlite"

# A model is an ordered mapping of column name to description; DDL follows this order.
TEAM = {
    "id": {"data_type": "INTEGER", "primary_key": True},
    "name": {"data_type": "TEXT", "nullable": False},
}
USER = {
    "id": {"data_type": "INTEGER", "primary_key": True},
    "name": {"data_type": "TEXT", "nullable": False},
    "email": {"data_type": "TEXT", "nullable": False},
    "team_id": {"data_type": "INTEGER"},
}

qc = QueryCompiler()
differ = SchemaDiffEngine()
db = sqlite3.connect(":memory:", isolation_level=None)
db.row_factory = sqlite3.Row


def run(sql, params=()):
    print(f"  sql    {sql}")
    if params:
        print(f"  params {list(params)}")
    return db.execute(sql, params)


def table_columns(table):
    """The table's columns as the database reports them: {name: declared type}."""
    return {row["name"]: row["type"] for row in db.execute(f"PRAGMA table_info({table})")}


def section(title):
    print(f"\n== {title}")


section("1. create tables from their models")
for table, model in (("teams", TEAM), ("users", USER)):
    upgrade, downgrade = differ.diff_table(table, model, table_columns(table), DIALECT)
    for statement in upgrade:
        run(statement)
    print(f"  undo   {downgrade}")
assert list(table_columns("users")) == list(USER)

section("2. insert rows")
teams = ["Platform", "Payments", "Search"]
sql = qc.compile_insert("teams", ["name"], DIALECT)
team_ids = [run(sql, [name]).lastrowid for name in teams]
users = [
    ("Ada", "ada@example.org", team_ids[0]),
    ("Brian", "brian@example.org", team_ids[1]),
    ("Chen", "chen@example.org", team_ids[0]),
    ("Dora", "dora@example.org", team_ids[2]),
    ("Emil", "emil@example.org", team_ids[1]),
]
sql = qc.compile_insert("users", ["name", "email", "team_id"], DIALECT)
print(f"  sql    {sql}  x{len(users)}")
db.executemany(sql, users)
print(f"  {db.execute('SELECT count(*) FROM users').fetchone()[0]} users, {len(teams)} teams")

section("3. query")
sql, params = qc.compile_select(
    "users",
    ["id", "name", "team_id"],
    [("team_id", "=", str(team_ids[0])), ("name", "<>", "Chen")],
    [],
    [("name", "asc")],
    limit=10,
    dialect=DIALECT,
)
rows = run(sql, params).fetchall()
for row in rows:
    print(f"  -> {dict(row)}")
assert [row["name"] for row in rows] == ["Ada"]

section("4. track changes, write only the dirty fields")
row = db.execute("SELECT * FROM users WHERE name = ?", ["Brian"]).fetchone()
tracker = StateTracker()
tracker.set_initial_state(dict(row))
print(f"  loaded {tracker.get_current_dict()}")
tracker.set_field("name", "Brian")  # same text as loaded: stays clean
tracker.set_field("email", "brian@payments.example.org")
tracker.set_field("team_id", str(team_ids[1]))  # same text as the loaded int: stays clean
dirty = tracker.dirty_fields()
changes = tracker.get_dirty_changes()
print(f"  dirty  {dirty}")
assert dirty == ["email"]
sql = qc.compile_update("users", dirty, "id", DIALECT)
run(sql, [changes[name] for name in dirty] + [tracker.get_field("id")])
tracker.hydrate_snapshot()
assert not tracker.is_dirty()
stored = db.execute("SELECT email FROM users WHERE id = ?", [row["id"]]).fetchone()
print(f"  stored email {stored['email']!r}; tracker clean again: {not tracker.is_dirty()}")

section("5. batch the foreign keys of a page, load the related rows in one query")
page = db.execute("SELECT id, name, team_id FROM users ORDER BY id LIMIT 4").fetchall()
keys = BatchAggregator()
added = keys.add_keys_batch([user["team_id"] for user in page])
team_keys = keys.get_keys()
print(f"  {len(page)} users, {added} distinct team keys: {team_keys}")
sql, _ = qc.compile_select("teams", ["id", "name"], [], [], [], dialect=DIALECT)
marks = ", ".join(qc.get_placeholder(DIALECT, i) for i in range(1, len(team_keys) + 1))
team_by_id = {t["id"]: t["name"] for t in run(f"{sql} WHERE id IN ({marks})", team_keys)}
for user in page:
    print(f"  -> {user['name']}: {team_by_id[user['team_id']]}")
assert len(team_by_id) == keys.len() == 3

section("6. add a column to the model, upgrade, downgrade")
USER["last_login"] = {"data_type": "TEXT"}
upgrade, downgrade = differ.diff_table("users", USER, table_columns("users"), DIALECT)
print(f"  upgrade   {upgrade}")
print(f"  downgrade {downgrade}")
for statement in upgrade:
    run(statement)
print(f"  columns after upgrade:   {list(table_columns('users'))}")
assert "last_login" in table_columns("users")
if sqlite3.sqlite_version_info >= (3, 35, 0):
    for statement in downgrade:
        run(statement)
    print(f"  columns after downgrade: {list(table_columns('users'))}")
    assert "last_login" not in table_columns("users")
else:
    print(f"  (DROP COLUMN needs SQLite 3.35; this Python has {sqlite3.sqlite_version})")

print("\ndone")
