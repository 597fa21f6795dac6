"""Types of the native module: four classes, each constructed without arguments.

Integer parameters take an ``int`` (``bool`` included) or any object with ``__index__``.
Text parameters take a ``str`` (or subclass) that encodes strictly as UTF-8.
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

__all__ = ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]

@final
class StateTracker:
    """Which fields of one record changed since it was loaded or last committed.

    Values compare by their ``str()`` text, taken once when the value is stored.
    """

    def __init__(self) -> None: ...
    def set_initial_state(self, data: dict[str, Any]) -> None:
        """Replace every field with the entries of ``data``, all clean."""
    def set_field(self, field: str, value: object) -> None:
        """Assign one field; a field the tracker does not hold yet is added clean."""
    def get_field(self, field: str) -> Any:
        """The object last stored for ``field``, or None when there is none."""
    def is_dirty(self) -> bool: ...
    def dirty_fields(self) -> list[str]:
        """Names of the changed fields, in the order the fields first entered."""
    def get_dirty_changes(self) -> dict[str, Any]:
        """Each changed field mapped to its current object."""
    def hydrate_snapshot(self) -> None:
        """Make the current values the clean state."""
    def get_current_dict(self) -> dict[str, Any]:
        """Every field mapped to its current object, in the order the fields first entered."""
    @staticmethod
    def benchmark_pure_rust(count: SupportsIndex) -> float:
        """Seconds taken to build, change, check and commit ``count`` native trackers."""

@final
class QueryCompiler:
    """SQL statement text for SQLite (``?``), PostgreSQL (``$1``, ``$2``, ...) and
    MySQL (``%s``). Names and conditions are written verbatim, never quoted."""

    def __init__(self) -> None: ...
    def get_placeholder(self, dialect: str, index: SupportsIndex) -> str: ...
    def compile_select(
        self,
        table: str,
        columns: Sequence[str],
        wheres: Sequence[tuple[str, str, str]],
        joins: Sequence[tuple[str, str, str]],
        order_by: Sequence[tuple[str, str]],
        limit: SupportsIndex | None = None,
        offset: SupportsIndex | None = None,
        dialect: str = "sqlite",
    ) -> tuple[str, list[str]]:
        """The statement and the values to bind to its placeholders, in order.

        ``wheres`` holds (column, operator, value), ``joins`` (kind, table, condition),
        ``order_by`` (column, direction); an empty ``columns`` selects ``*``.
        """
    def compile_insert(self, table: str, columns: Sequence[str], dialect: str) -> str: ...
    def compile_update(self, table: str, columns: Sequence[str], pk_col: str, dialect: str) -> str:
        """Placeholders 1 to n for the columns, n + 1 for the key."""
    def compile_delete(self, table: str, pk_col: str, dialect: str) -> str: ...

@final
class BatchAggregator:
    """Distinct foreign keys, integers and strings apart (``5`` and ``'5'`` are two keys)."""

    def __init__(self) -> None: ...
    def add_key_int(self, key: SupportsIndex) -> bool:
        """True when the key was new."""
    def add_key_str(self, key: str) -> bool:
        """True when the key was new."""
    def add_key(self, key: object) -> bool:
        """An integer key if ``key`` has an index that fits 64 bits, else a text key."""
    def add_keys_batch(self, keys: Sequence[object]) -> int:
        """Add every item as ``add_key`` would; the number of new keys."""
    def get_keys(self) -> list[int | str]:
        """Integer keys, then text keys, each group in the order first added."""
    def clear(self) -> None: ...
    def len(self) -> int: ...
    def is_empty(self) -> bool: ...

@final
class SchemaDiffEngine:
    """Additive DDL from a model's columns and the columns a table has."""

    def __init__(self) -> None: ...
    def diff_table(
        self,
        table_name: str,
        model_fields: dict[str, dict[str, Any]],
        db_columns: dict[str, str],
        _dialect: str,
    ) -> tuple[list[str], list[str]]:
        """Compares model metadata against database introspection table structure.
        Returns upgrade_statements and downgrade_statements."""
