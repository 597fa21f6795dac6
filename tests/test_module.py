"""The module object, its classes and their method tables."""

import gc
import importlib
import importlib.metadata
import os
import sys
import weakref

import pytest

import brackwell
import brackwell._brackwell_rs as native

CLASSES = ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]

# (class, method, text signature, doc) exactly as the method tables register them.
METHOD_TABLE = [
    ("StateTracker", "set_initial_state", "($self, data)", None),
    ("StateTracker", "set_field", "($self, field, value)", None),
    ("StateTracker", "get_field", "($self, field)", None),
    ("StateTracker", "is_dirty", "($self)", None),
    ("StateTracker", "dirty_fields", "($self)", None),
    ("StateTracker", "get_dirty_changes", "($self)", None),
    ("StateTracker", "hydrate_snapshot", "($self)", None),
    ("StateTracker", "get_current_dict", "($self)", None),
    (
        "StateTracker",
        "benchmark_pure_rust",
        "(count)",
        "Pure Rust Native Benchmark (Rust -> Rust) executing 100% in C/Rust memory using FxHashMap",
    ),
    (
        "QueryCompiler",
        "get_placeholder",
        "($self, dialect, index)",
        "Formats placeholder based on database dialect: sqlite (?), postgres ($N), mysql (%s)",
    ),
    (
        "QueryCompiler",
        "compile_select",
        "($self, table, columns, wheres, joins, order_by, limit=None, offset=None, "
        'dialect="sqlite")',
        "Compiles SELECT query with pre-allocated buffer",
    ),
    (
        "QueryCompiler",
        "compile_insert",
        "($self, table, columns, dialect)",
        "Compiles INSERT query with pre-allocated buffer",
    ),
    (
        "QueryCompiler",
        "compile_update",
        "($self, table, columns, pk_col, dialect)",
        "Compiles UPDATE query with pre-allocated buffer",
    ),
    ("QueryCompiler", "compile_delete", "($self, table, pk_col, dialect)", "Compiles DELETE query"),
    (
        "BatchAggregator",
        "add_key_int",
        "($self, key)",
        "Add an integer foreign key directly (Zero string formatting overhead)",
    ),
    ("BatchAggregator", "add_key_str", "($self, key)", "Add a string foreign key"),
    ("BatchAggregator", "add_key", "($self, key)", "Dynamically add key checking type"),
    (
        "BatchAggregator",
        "add_keys_batch",
        "($self, keys)",
        "Batch add keys in a single FFI boundary call",
    ),
    (
        "BatchAggregator",
        "get_keys",
        "($self)",
        "Returns deduplicated keys as a PyList constructed directly in Rust",
    ),
    ("BatchAggregator", "clear", "($self)", None),
    ("BatchAggregator", "len", "($self)", None),
    ("BatchAggregator", "is_empty", "($self)", None),
    (
        "SchemaDiffEngine",
        "diff_table",
        "($self, table_name, model_fields, db_columns, _dialect)",
        "Compares model metadata against database introspection table structure.\n"
        "Returns upgrade_statements and downgrade_statements.",
    ),
]


def test_all_lists_the_classes_in_registration_order():
    assert native.__all__ == CLASSES
    assert brackwell.__all__ == CLASSES
    assert [name for name in vars(native) if name in CLASSES] == CLASSES
    assert native.__doc__ == ""


def test_package_reexports_the_native_classes():
    for name in CLASSES:
        assert getattr(brackwell, name) is getattr(native, name)
    assert isinstance(brackwell.__version__, str)


def test_installed_metadata_carries_the_package_version():
    assert importlib.metadata.version("brackwell") == brackwell.__version__


def test_reimport_returns_the_cached_module_unchanged():
    saved = native.BatchAggregator
    del native.BatchAggregator
    del sys.modules["brackwell._brackwell_rs"]
    try:
        again = importlib.import_module("brackwell._brackwell_rs")
        assert again is native
        assert not hasattr(again, "BatchAggregator")  # nothing was registered again
    finally:
        native.BatchAggregator = saved
        sys.modules["brackwell._brackwell_rs"] = native


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_heap_type_properties(name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ == ""
    assert getattr(cls, "__text_signature__", None) in (None, "()")
    assert cls.__bases__ == (object,)
    obj = cls()
    assert repr(obj).startswith(f"<builtins.{name} object at 0x")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        len(obj)
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("cls, name, signature, doc", METHOD_TABLE)
def test_method_signatures_and_docs(cls, name, signature, doc):
    method = getattr(getattr(native, cls), name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_method_tables_hold_exactly_the_listed_methods():
    for cls in CLASSES:
        listed = [name for owner, name, _, _ in METHOD_TABLE if owner == cls]
        own = [name for name in vars(getattr(native, cls)) if not name.startswith("__")]
        assert own == listed


def test_benchmark_is_static_and_other_methods_refuse_strangers():
    assert isinstance(native.StateTracker.__dict__["benchmark_pure_rust"], staticmethod)
    with pytest.raises(TypeError):
        native.QueryCompiler.compile_delete(1, "t", "id", "sqlite")
    with pytest.raises(TypeError):
        native.BatchAggregator.len(native.QueryCompiler())


@pytest.mark.parametrize("name", ["is_dirty", "dirty_fields", "hydrate_snapshot"])
def test_no_argument_methods_are_refused_by_the_interpreter(name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(native.StateTracker(), name)(1)


@pytest.mark.parametrize("name", CLASSES)
def test_instances_free_their_type_reference(name):
    cls = getattr(native, name)
    gc.collect()  # instances waiting in collectable cycles would skew the count
    before = sys.getrefcount(cls)
    objs = [cls() for _ in range(100)]
    assert sys.getrefcount(cls) == before + 100
    del objs
    gc.collect()
    assert sys.getrefcount(cls) == before


_PROBE = r"""
import os, sys
sys.path[:] = {path!r}
try:
    import brackwell._brackwell_rs
    message = "imported"
except BaseException as exc:
    message = "%s: %s" % (type(exc).__name__, exc)
os.write({fd}, message.encode("utf-8", "replace"))
"""


def _run_legacy(code):
    import _testcapi

    _testcapi.run_in_subinterp(code)


def _run_isolated(code):
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interp = interpreters.create()
    try:
        result = interpreters.run_string(interp, code)
        assert result is None, result
    finally:
        interpreters.destroy(interp)


@pytest.mark.parametrize("runner", [_run_legacy, _run_isolated], ids=["legacy", "isolated"])
def test_a_second_interpreter_cannot_import_the_module(runner):
    read_end, write_end = os.pipe()
    try:
        runner(_PROBE.format(path=list(sys.path), fd=write_end))
    except ImportError as exc:
        pytest.skip(f"no sub-interpreter support in this build: {exc}")
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        outcome = pipe.read().decode()
    assert outcome.startswith("ImportError:")
    assert "sub" in outcome and "interpreter" in outcome
    # the first interpreter's module is unaffected
    assert native.QueryCompiler.__name__ == "QueryCompiler"
    assert importlib.import_module("brackwell._brackwell_rs") is native
