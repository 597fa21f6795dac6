"""What a user would write without brackwell: the same four classes in plain, fast Python.

Each class has the methods and results of its native counterpart for the inputs the
benchmark uses (joins and f-strings for SQL, dicts of str() texts for the tracker, dicts
for the diff, dicts as ordered sets for the keys). Argument type checks are left out, as
a user's own code would leave them out.
"""

from __future__ import annotations

import operator
import time

_I64_MIN = -(2**63)
_I64_MAX = 2**63 - 1


def _placeholder(dialect: str, index: int) -> str:
    lowered = dialect.lower()
    if lowered == "mysql":
        return "%s"
    if lowered == "postgres" or lowered == "postgresql":
        return f"${index}"
    return "?"


class QueryCompiler:
    def get_placeholder(self, dialect, index):
        return _placeholder(dialect, index)

    def compile_select(
        self, table, columns, wheres, joins, order_by, limit=None, offset=None, dialect="sqlite"
    ):
        parts = [f"SELECT {', '.join(columns) if columns else '*'} FROM {table}"]
        for kind, other, condition in joins:
            parts.append(f" {kind.upper()} JOIN {other} ON {condition}")
        params = []
        if wheres:
            conditions = []
            for i, (column, op, value) in enumerate(wheres, 1):
                conditions.append(f"{column} {op} {_placeholder(dialect, i)}")
                params.append(value)
            parts.append(" WHERE " + " AND ".join(conditions))
        if order_by:
            parts.append(
                " ORDER BY " + ", ".join(f"{column} {way.upper()}" for column, way in order_by)
            )
        if limit is not None:
            parts.append(f" LIMIT {limit}")
        if offset is not None:
            parts.append(f" OFFSET {offset}")
        return "".join(parts), params

    def compile_insert(self, table, columns, dialect):
        marks = ", ".join([_placeholder(dialect, i) for i in range(1, len(columns) + 1)])
        sql = f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})"
        if "postgres" in dialect.lower():
            sql += " RETURNING *"
        return sql

    def compile_update(self, table, columns, pk_col, dialect):
        sets = ", ".join([f"{c} = {_placeholder(dialect, i)}" for i, c in enumerate(columns, 1)])
        key = _placeholder(dialect, len(columns) + 1)
        return f"UPDATE {table} SET {sets} WHERE {pk_col} = {key}"

    def compile_delete(self, table, pk_col, dialect):
        return f"DELETE FROM {table} WHERE {pk_col} = {_placeholder(dialect, 1)}"


class StateTracker:
    """Three dicts: the clean texts, the current texts and the current objects."""

    __slots__ = ("_snapshot", "_current", "_values")

    def __init__(self):
        self._snapshot = {}
        self._current = {}
        self._values = {}

    def set_initial_state(self, data):
        texts = {name: str(value) for name, value in data.items()}
        self._snapshot = texts
        self._current = texts.copy()
        self._values = dict(data)

    def set_field(self, field, value):
        text = str(value)
        if field not in self._snapshot:
            self._snapshot[field] = text
        self._current[field] = text
        self._values[field] = value

    def get_field(self, field):
        return self._values.get(field)

    def is_dirty(self):
        return self._current != self._snapshot

    def dirty_fields(self):
        snapshot = self._snapshot
        return [name for name, text in self._current.items() if text != snapshot[name]]

    def get_dirty_changes(self):
        snapshot, values = self._snapshot, self._values
        return {
            name: values[name] for name, text in self._current.items() if text != snapshot[name]
        }

    def hydrate_snapshot(self):
        self._snapshot = self._current.copy()

    def get_current_dict(self):
        return self._values.copy()

    @staticmethod
    def benchmark_pure_rust(count):
        """The same workload as the native benchmark, on dicts of [snapshot, current]."""
        start = time.perf_counter()
        trackers = [
            {"id": [str(i), str(i)], "name": ["Alice", "Alice"], "age": ["25", "25"],
             "active": ["true", "true"]}
            for i in range(count)
        ]  # fmt: skip
        for tracker in trackers:
            pair = tracker.get("age")
            if pair is not None:
                pair[1] = "26"
            any(snapshot != current for snapshot, current in tracker.values())
            for pair in tracker.values():
                pair[0] = pair[1]
        return time.perf_counter() - start


_KEY_SUFFIX = {
    "mysql": " INT AUTO_INCREMENT PRIMARY KEY",
    "postgres": " SERIAL PRIMARY KEY",
    "postgresql": " SERIAL PRIMARY KEY",
}


class SchemaDiffEngine:
    def diff_table(self, table_name, model_fields, db_columns, _dialect):
        columns = []
        for name, info in model_fields.items():
            data_type = info.get("data_type")
            nullable = info.get("nullable")
            columns.append(
                (
                    name,
                    data_type if isinstance(data_type, str) else "TEXT",
                    nullable if isinstance(nullable, bool) else True,
                    info.get("primary_key") is True,
                )
            )
        if not db_columns:
            suffix = _KEY_SUFFIX.get(_dialect, " INTEGER PRIMARY KEY AUTOINCREMENT")
            definitions = ", ".join(
                [
                    f"{name}{suffix}"
                    if key
                    else f"{name} {data_type}" + ("" if nullable else " NOT NULL")
                    for name, data_type, nullable, key in columns
                ]
            )
            return (
                [f"CREATE TABLE IF NOT EXISTS {table_name} ({definitions});"],
                [f"DROP TABLE IF EXISTS {table_name};"],
            )
        upgrade, downgrade = [], []
        for name, data_type, nullable, key in columns:
            if name not in db_columns:
                not_null = "" if nullable or key else " NOT NULL"
                upgrade.append(f"ALTER TABLE {table_name} ADD COLUMN {name} {data_type}{not_null};")
                downgrade.append(f"ALTER TABLE {table_name} DROP COLUMN {name};")
        return upgrade, downgrade


def _key_of(key):
    """int keys within 64 bits stay ints (bool and __index__ included); else the text."""
    kind = type(key)
    if kind is int:
        return key if _I64_MIN <= key <= _I64_MAX else str(key)
    if kind is str:
        return key
    try:
        number = operator.index(key)
    except TypeError:
        return key if isinstance(key, str) else str(key)
    return int(number) if _I64_MIN <= number <= _I64_MAX else str(key)


class BatchAggregator:
    """Two dicts used as sets: int keys and text keys, ints listed first."""

    __slots__ = ("_ints", "_texts")

    def __init__(self):
        self._ints = {}
        self._texts = {}

    def add_key_int(self, key):
        keys = self._ints
        if key in keys:
            return False
        keys[key] = None
        return True

    def add_key_str(self, key):
        keys = self._texts
        if key in keys:
            return False
        keys[key] = None
        return True

    def add_key(self, key):
        key = _key_of(key)
        keys = self._ints if type(key) is int else self._texts
        if key in keys:
            return False
        keys[key] = None
        return True

    def add_keys_batch(self, keys):
        ints, texts = self._ints, self._texts
        before = len(ints) + len(texts)
        for key in keys:
            kind = type(key)
            if kind is int and _I64_MIN <= key <= _I64_MAX:
                ints[key] = None
            elif kind is str:
                texts[key] = None
            else:
                key = _key_of(key)
                (ints if type(key) is int else texts)[key] = None
        return len(ints) + len(texts) - before

    def get_keys(self):
        return [*self._ints, *self._texts]

    def clear(self):
        self._ints.clear()
        self._texts.clear()

    def len(self):
        return len(self._ints) + len(self._texts)

    def is_empty(self):
        return not (self._ints or self._texts)
