"""What a user would write without brackwell: the same four classes in plain, fast Python.

Each class has the methods and results of its native counterpart for the inputs the
benchmark uses, written the most direct way: one pass over each input, no intermediate
structures, the dialect recognised once per call, the common key types tested inline
before any helper is called. Argument type checks are left out, as a user's own code
would leave them out.

Two classes are written a second way. SchemaDiffEngineSameReads: diff_table written to do
the reads and checks the module must do (every description and every database entry read
and its types checked), where the direct version skips what it does not need.
BatchAggregatorSets: the keys in two sets instead of two dicts, what a user who only needs
the keys (for an `IN (...)` list) would write; adding is faster, but a set keeps no
first-seen order, so its get_keys() lists each group in the set's own order.
"""

from __future__ import annotations

import operator
import time

_I64_MIN = -(2**63)
_I64_MAX = 2**63 - 1


class QueryCompiler:
    def get_placeholder(self, dialect, index):
        lowered = dialect.lower()
        if lowered == "mysql":
            return "%s"
        if lowered == "postgres" or lowered == "postgresql":
            return f"${index}"
        return "?"

    def compile_select(
        self, table, columns, wheres, joins, order_by, limit=None, offset=None, dialect="sqlite"
    ):
        parts = [f"SELECT {', '.join(columns) if columns else '*'} FROM {table}"]
        for kind, other, condition in joins:
            parts.append(f" {kind.upper()} JOIN {other} ON {condition}")
        params = []
        if wheres:
            lowered = dialect.lower()
            numbered = lowered == "postgres" or lowered == "postgresql"
            mark = "%s" if lowered == "mysql" else "?"
            conditions = []
            for i, (column, op, value) in enumerate(wheres, 1):
                conditions.append(f"{column} {op} ${i}" if numbered else f"{column} {op} {mark}")
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
        lowered = dialect.lower()
        if lowered == "postgres" or lowered == "postgresql":
            marks = ", ".join([f"${i}" for i in range(1, len(columns) + 1)])
        else:
            marks = ", ".join(["%s" if lowered == "mysql" else "?"] * len(columns))
        sql = f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})"
        if "postgres" in lowered:
            sql += " RETURNING *"
        return sql

    def compile_update(self, table, columns, pk_col, dialect):
        lowered = dialect.lower()
        if lowered == "postgres" or lowered == "postgresql":
            sets = ", ".join([f"{c} = ${i}" for i, c in enumerate(columns, 1)])
            key = f"${len(columns) + 1}"
        else:
            key = "%s" if lowered == "mysql" else "?"
            sets = ", ".join([f"{c} = {key}" for c in columns])
        return f"UPDATE {table} SET {sets} WHERE {pk_col} = {key}"

    def compile_delete(self, table, pk_col, dialect):
        lowered = dialect.lower()
        if lowered == "postgres" or lowered == "postgresql":
            return f"DELETE FROM {table} WHERE {pk_col} = $1"
        return f"DELETE FROM {table} WHERE {pk_col} = {'%s' if lowered == 'mysql' else '?'}"


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
        if not db_columns:
            suffix = _KEY_SUFFIX.get(_dialect, " INTEGER PRIMARY KEY AUTOINCREMENT")
            definitions = []
            for name, info in model_fields.items():
                if info.get("primary_key") is True:
                    definitions.append(name + suffix)
                    continue
                data_type = info.get("data_type")
                if not isinstance(data_type, str):
                    data_type = "TEXT"
                if info.get("nullable") is False:
                    definitions.append(f"{name} {data_type} NOT NULL")
                else:
                    definitions.append(f"{name} {data_type}")
            return (
                [f"CREATE TABLE IF NOT EXISTS {table_name} ({', '.join(definitions)});"],
                [f"DROP TABLE IF EXISTS {table_name};"],
            )
        upgrade, downgrade = [], []
        for name, info in model_fields.items():
            if name in db_columns:
                continue
            data_type = info.get("data_type")
            if not isinstance(data_type, str):
                data_type = "TEXT"
            if info.get("nullable") is False and info.get("primary_key") is not True:
                upgrade.append(f"ALTER TABLE {table_name} ADD COLUMN {name} {data_type} NOT NULL;")
            else:
                upgrade.append(f"ALTER TABLE {table_name} ADD COLUMN {name} {data_type};")
            downgrade.append(f"ALTER TABLE {table_name} DROP COLUMN {name};")
        return upgrade, downgrade


def _refused(value, expected):
    return TypeError(f"'{type(value).__name__}' object cannot be converted to '{expected}'")


class SchemaDiffEngineSameReads:
    """diff_table with the module's reads: the argument types are checked, every
    description is read for all three keys, and every key, description and database
    entry has its type checked, model first, before the result is returned."""

    def diff_table(self, table_name, model_fields, db_columns, _dialect):
        if not isinstance(table_name, str):
            raise _refused(table_name, "PyString")
        if not isinstance(model_fields, dict):
            raise _refused(model_fields, "PyDict")
        if not isinstance(db_columns, dict):
            raise _refused(db_columns, "PyDict")
        if not isinstance(_dialect, str):
            raise _refused(_dialect, "PyString")
        new_table = not db_columns
        if new_table:
            suffix = _KEY_SUFFIX.get(_dialect, " INTEGER PRIMARY KEY AUTOINCREMENT")
        definitions, upgrade, downgrade = [], [], []
        for name, info in model_fields.items():
            if not isinstance(name, str):
                raise _refused(name, "PyString")
            if not isinstance(info, dict):
                raise _refused(info, "PyDict")
            data_type = info.get("data_type")
            if not isinstance(data_type, str):
                data_type = "TEXT"
            not_null = info.get("nullable") is False
            key = info.get("primary_key") is True
            if new_table:
                if key:
                    definitions.append(name + suffix)
                elif not_null:
                    definitions.append(f"{name} {data_type} NOT NULL")
                else:
                    definitions.append(f"{name} {data_type}")
            elif name not in db_columns:
                upgrade.append(
                    f"ALTER TABLE {table_name} ADD COLUMN {name} {data_type}"
                    f"{' NOT NULL' if not_null and not key else ''};"
                )
                downgrade.append(f"ALTER TABLE {table_name} DROP COLUMN {name};")
        for name, column_type in db_columns.items():
            if not isinstance(name, str):
                raise _refused(name, "PyString")
            if not isinstance(column_type, str):
                raise _refused(column_type, "PyString")
        if new_table:
            return (
                [f"CREATE TABLE IF NOT EXISTS {table_name} ({', '.join(definitions)});"],
                [f"DROP TABLE IF EXISTS {table_name};"],
            )
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
        kind = type(key)
        if kind is int and _I64_MIN <= key <= _I64_MAX:
            keys = self._ints
        elif kind is str:
            keys = self._texts
        else:
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


class BatchAggregatorSets:
    """Two sets: int keys and text keys, classified as BatchAggregator does, ints listed
    first, each group in its set's order."""

    __slots__ = ("_ints", "_texts")

    def __init__(self):
        self._ints = set()
        self._texts = set()

    def add_key_int(self, key):
        keys = self._ints
        if key in keys:
            return False
        keys.add(key)
        return True

    def add_key_str(self, key):
        keys = self._texts
        if key in keys:
            return False
        keys.add(key)
        return True

    def add_key(self, key):
        kind = type(key)
        if kind is int and _I64_MIN <= key <= _I64_MAX:
            keys = self._ints
        elif kind is str:
            keys = self._texts
        else:
            key = _key_of(key)
            keys = self._ints if type(key) is int else self._texts
        if key in keys:
            return False
        keys.add(key)
        return True

    def add_keys_batch(self, keys):
        ints, texts = self._ints, self._texts
        before = len(ints) + len(texts)
        add_int, add_text = ints.add, texts.add
        for key in keys:
            kind = type(key)
            if kind is int and _I64_MIN <= key <= _I64_MAX:
                add_int(key)
            elif kind is str:
                add_text(key)
            else:
                key = _key_of(key)
                (add_int if type(key) is int else add_text)(key)
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
