"""Native hot paths for an ORM: statement text, dirty-field tracking, schema-diff DDL
and foreign-key batching."""

from ._brackwell_rs import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

__all__ = ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]
__version__ = "0.1.0"
