#!/usr/bin/env python3
"""Coverage-guided fuzz targets for the native module, one per class plus one for argument
binding.  Run with a build instrumented for the fuzzer (see README.md, "Fuzzing"):

    python fuzz/fuzz.py TARGET [libFuzzer flags] [corpus dirs]

Each input is decoded into a short sequence of calls on one instance, with arguments built
from the hostile objects of tests/hostile.py.  After every call the target checks that the
call either succeeded or failed with one of the documented exceptions, that the instance's
invariants hold, and that a plain call on it succeeds.
"""

import functools
import gc
import operator
import os
import re
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from hostile import (  # noqa: E402
    EqKey,
    Index,
    Indexed,
    IterOnly,
    LoudStr,
    LyingDict,
    NumpyBool,
    OwnStr,
    Seq,
    Text,
    at_next_collection,
    panic_exception_type,
)

from brackwell import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker  # noqa: E402

TRACE = os.environ.get("FUZZ_TRACE") == "1"
PANIC = panic_exception_type()
PANIC_MESSAGES = {
    "dictionary changed size during iteration",
    "dictionary keys changed during iteration",
    "capacity overflow",
}
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}
WORDS = [
    "postgres", "postgresql", "POSTGRES", "pg_postgres", "mysql", "MySQL", "sqlite", "",
    "data_type", "nullable", "primary_key", "inner", "left", "right", "full", "cross",
    "asc", "desc", "id", "a", "b", "t", "=", "x\udc80", "\u00e9\U0001f600",
]  # fmt: skip
DEFAULT_REPR = re.compile(r"<(unprintable .* object|.* at 0x[0-9a-f]+)>$")
INTS = [0, 1, -1, 2, 7, 255, 2**31, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64]


class Boom(Exception):
    """Raised by the hostile objects' actions; allowed to reach the caller."""


class Input:
    """The fuzzer's bytes, read front to back; past the end every read gives 0."""

    def __init__(self, data, instance, reenter):
        self.data, self.pos = data, 0
        self.instance, self.reenter = instance, reenter
        self.containers = []  # what the actions of this call may mutate
        self.keys = set()  # ("i", digits) / ("s", text): what a key may come out as
        self.fired = 0  # actions that ran during the current call
        self.mutated = False  # an action changed a container: displays of it changed
        self.armed = False  # actions run only inside the call under test
        self.fuses = []  # armed collections, disarmed after each call
        self.model_names, self.db_names, self.db_empty, self.types = set(), set(), True, set()

    def byte(self):
        self.pos += 1
        return self.data[self.pos - 1] if self.pos <= len(self.data) else 0

    def more(self):
        return self.pos < len(self.data)

    def pick(self, seq):
        return seq[self.byte() % len(seq)]

    def int(self):
        b = self.byte()
        if b < 128:
            return self.pick(INTS) * (-1 if b & 64 else 1)
        return int.from_bytes(bytes(self.byte() for _ in range(b % 10)), "little", signed=b & 1)

    def text(self):
        b = self.byte()
        if b < 100:
            return self.pick(WORDS)
        raw = bytes(self.byte() for _ in range(b % 12))
        s = raw.decode("utf-8", "surrogateescape" if b & 1 else "replace")
        return self.pick(WORDS) + s if b & 2 else s

    # -- hostile values -------------------------------------------------------------------
    def action(self, depth=0):
        """None, or a callable run from inside a special method during the call."""
        kind = self.byte() % 8
        if kind < 3 or depth > 1:
            return None
        n = self.byte()
        if kind == 3:

            def act(*_):
                raise Boom("hostile")
        elif kind == 4:

            def act(*_):
                self.call_back(n)
        elif kind == 5:

            def act(*_):
                if self.containers:
                    self.mutate(self.containers[n % len(self.containers)], n)
        elif kind == 6:
            inner = self.action(depth + 1) or (lambda *_: None)

            def act(*_):
                self.fuses.append(at_next_collection(inner))
        else:

            def act(*_):
                gc.collect()

        def fire(*args):
            if self.armed:
                self.fired += 1
                act(*args)

        return fire

    def call_back(self, n):
        """A plain call on the instance under test, made from inside a call on it."""
        self.keys.update({("i", str(n)), ("s", "a")})
        self.reenter(self.instance, n)

    def key_forms(self, obj):
        """Record what `obj` may be stored as by the aggregator (computed with no action)."""
        try:
            i = operator.index(obj.value if isinstance(obj, Index) else obj)
            if -(2**63) <= i < 2**63:
                self.keys.add(("i", str(i)))
            else:
                self.keys.add(("s", str(i)))
        except Exception:  # noqa: BLE001 - not an integer: the text forms below
            pass
        if isinstance(obj, str):
            self.keys.add(("s", lossy(str.__str__(obj))))
            for c in str.__str__(obj):  # a str is also a sequence of keys
                self.keys.add(("s", lossy(c)))
        if isinstance(obj, bytes):
            self.keys.update(("i", str(c)) for c in obj)
        shown = obj.value if isinstance(obj, Text) else obj
        if isinstance(shown, str) or not isinstance(obj, (Text, NumpyBool, EqKey)):
            self.keys.add(("s", lossy(str(shown))))

    def value(self, kind="any", depth=0):
        """A leaf: mostly the right `kind` ("text", "int", "bool"), sometimes anything."""
        b = self.byte()
        if depth > 3:
            return self.text()
        if b >= 224 and depth < 2:
            obj = self.container(lambda: self.value("any", depth + 1))
        elif kind == "text" and b < 160 or kind == "any" and b < 40:
            obj = self.text() if b % 5 else (LoudStr if b & 1 else OwnStr)(self.text())
        elif kind == "int" and b < 160 or kind == "any" and b < 80:
            obj = self.int() if b % 4 else Index(self.value("int", depth + 1), self.action())
        elif kind == "bool" and b < 160 or kind == "any" and b < 100:
            obj = bool(b & 1) if b % 3 else NumpyBool(self.value("bool", depth + 1), self.action())
        else:
            obj = self.pick([
                lambda: Text(self.text() if b & 1 else self.value(kind, depth + 1), self.action()),
                lambda: Index(self.int(), self.action()),
                lambda: None,
                lambda: 1.5,
                lambda: float("nan"),
                lambda: self.text().encode("utf-8", "surrogatepass"),
                lambda: self.text(),
                lambda: self.int(),
            ])()  # fmt: skip
        self.key_forms(obj)
        return obj

    def items(self, make):
        return [make() for _ in range(self.byte() % 6)]

    def container(self, make):
        """A sequence-like argument over items made by `make`, in one of many shapes."""
        items = self.items(make)
        shape = self.byte() % 10
        if shape == 0:
            obj = tuple(items)
        elif shape == 1:
            obj = Seq(items, self.pick([None, len(items) + 2, max(len(items) - 1, 0), 2**62]),
                      self.action(), self.action())  # fmt: skip
        elif shape == 2:
            obj = IterOnly(items, self.action(), self.pick([0, len(items), 2**62]))
        elif shape == 3:
            obj = (x for x in items)
        elif shape == 4:
            obj = self.text()
            self.key_forms(obj)
        elif shape == 5:
            obj = {id(x): x for x in items}
        elif shape == 7:
            obj = Indexed(items, self.pick([None, len(items) + 1, 2**62]), self.action())
        else:
            obj = items
        self.containers.append(obj)
        return obj

    def mapping(self, key, val):
        """A dict (or a dict subclass whose Python-level methods lie) of `key()` -> `val()`."""
        d = LyingDict() if self.byte() % 4 == 0 else {}
        for _ in range(self.byte() % 6):
            k = key()
            if self.byte() % 8 == 0 and dict.__len__(d):  # a key that hashes like one already there
                k = EqKey(next(iter(dict.keys(d))), self.action(), bool(self.byte() & 1))
            try:
                d[k] = val()
            except TypeError:  # unhashable key
                pass
        self.containers.append(d)
        return d

    def call(self, method, args, check):
        """Run one call with the actions armed; check what came out of it."""
        if TRACE:  # FUZZ_TRACE=1: print each call, to turn a finding into a test
            print(
                "call %s%r" % (getattr(method, "__qualname__", method), tuple(args)),
                file=sys.stderr,
            )
        self.fired, self.armed = 0, True
        threshold = gc.get_threshold()
        try:
            result = method(*args)
        except BaseException as e:  # noqa: BLE001 - every outcome is judged here
            result = e
        finally:
            self.armed = False
            gc.set_threshold(*threshold)  # undo at_next_collection
            for fuse in self.fuses:
                fuse.clear()
        if isinstance(result, BaseException):
            check_failure(result)
        check(self, result, args)
        self.containers, self.fuses = [], []

    def mutate(self, obj, n):
        self.mutated = True
        if isinstance(obj, (list, Indexed, IterOnly)):
            items = obj if isinstance(obj, list) else obj.items
            if n & 1:
                items.clear()
            elif len(items) < 16:
                items.append(Text("x" * (n % 7)))
                self.key_forms(items[-1])
        elif isinstance(obj, dict):
            if n & 1 and dict.__len__(obj):
                dict.popitem(obj)
            else:
                dict.__setitem__(obj, "k%d" % n, {})
                self.keys.add(("s", "k%d" % n))
        for c in self.containers:  # their display text changed
            if not isinstance(c, (Indexed, IterOnly)):
                self.keys.add(("s", lossy(str(c))))


def lossy(s):
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def check_failure(e):
    if isinstance(e, Boom):
        return
    if type(e) is PANIC:
        assert str(e) in PANIC_MESSAGES, "undocumented internal failure: %r" % e
    elif isinstance(e, RuntimeError):
        assert str(e) in BORROW_MESSAGES, "undocumented RuntimeError: %r" % e
    elif not isinstance(e, (TypeError, ValueError, OverflowError, IndexError)):
        raise AssertionError("undocumented exception %r" % e) from e


def ok(result):
    return not isinstance(result, BaseException)


# -- StateTracker ----------------------------------------------------------------------------
def tracker_reenter(t, n):
    [
        lambda: t.set_field("a", n),
        lambda: t.get_field("a"),
        lambda: t.get_current_dict(),
        lambda: t.set_initial_state({"a": n}),
        lambda: t.hydrate_snapshot(),
        lambda: t.dirty_fields(),
    ][n % 6]()


def tracker_check(inp, result, _args):
    t = inp.instance
    current = t.get_current_dict()  # the plain call
    names = {s for k, s in inp.keys if k == "s"} | {"a"}
    for name, value in current.items():
        assert t.get_field(name) is value, "get_field(%r) disagrees" % name
        assert name in names, "field %r was never passed in" % name
    dirty = t.dirty_fields()
    changes = t.get_dirty_changes()
    assert len(set(dirty)) == len(dirty), "a name twice in dirty_fields: %r" % dirty
    assert dirty == list(changes), (dirty, changes)
    assert dirty == [n for n in current if n in changes], "dirty order differs from current"
    assert all(changes[n] is current[n] for n in dirty)
    assert t.is_dirty() == bool(dirty)


def tracker_target(inp):
    t = inp.instance
    calls = [
        (t.set_initial_state, lambda: [inp.mapping(lambda: inp.value("text"), inp.value)]),
        (t.set_field, lambda: [inp.value("text"), inp.value()]),
        (t.get_field, lambda: [inp.value("text")]),
        (t.hydrate_snapshot, lambda: []),
        (inp.call_back, lambda: [inp.byte()]),
    ]
    while inp.more():
        method, args = inp.pick(calls)
        inp.call(method, args(), tracker_check)


# -- BatchAggregator ---------------------------------------------------------------------
def aggregator_reenter(a, n):
    [lambda: a.add_key(n), a.len, a.get_keys, a.clear, lambda: a.add_keys_batch([n])][n % 5]()


def aggregator_check(inp, result, _args):
    a = inp.instance
    keys = a.get_keys()
    forms = [("i" if type(k) is int else "s", str(k)) for k in keys]
    assert len(set(forms)) == len(forms), "a key twice: %r" % keys
    assert forms == sorted(forms, key=lambda f: f[0] != "i"), "ints not first: %r" % keys
    assert len(keys) == a.len() and a.is_empty() == (not keys)
    for f in forms:
        shown = inp.mutated and f[1].startswith(("Index(", "Text(", "[", "(", "{"))
        assert f in inp.keys or shown or DEFAULT_REPR.match(f[1]), "key %r never passed in" % (f,)


def aggregator_target(inp):
    a = inp.instance
    while inp.more():
        op = inp.byte() % 7
        if op == 0:
            inp.call(a.add_keys_batch, [inp.container(inp.value)], aggregator_check)
        elif op == 6:
            inp.call(inp.call_back, [inp.byte()], aggregator_check)
        else:
            kind = ["int", "text", "any", "any", "any"][op - 1]
            method = [a.add_key_int, a.add_key_str, a.add_key, a.add_key, a.clear][op - 1]
            inp.call(method, [] if op == 5 else [inp.value(kind)], aggregator_check)


# -- SchemaDiffEngine --------------------------------------------------------------------
def text_keys(d):
    return {lossy(str.__str__(k)) for k in dict.keys(d) if isinstance(k, str)}


KEY_SUFFIXES = [
    " INTEGER PRIMARY KEY AUTOINCREMENT", " SERIAL PRIMARY KEY", " INT AUTO_INCREMENT PRIMARY KEY",
]  # fmt: skip


def parse_columns(body, names, types, exact):
    """True if `body` is a ", "-join of column definitions, each one of `names` (none twice;
    all of them if `exact`) followed by a key suffix or by one of `types`."""
    if not body:
        return not exact or not names
    for name in names:
        for suffix in KEY_SUFFIXES + [" " + t + n for t in types for n in ("", " NOT NULL")]:
            d = name + suffix
            if body == d and (not exact or names == {name}):
                return True
            if body.startswith(d + ", ") and body != d + ", ":
                if parse_columns(body[len(d) + 2 :], names - {name}, types, exact):
                    return True
    return False


def diff_check(inp, result, args):
    e = inp.instance
    plain = e.diff_table("t", {"a": {}}, {}, "sqlite")
    assert plain == (["CREATE TABLE IF NOT EXISTS t (a TEXT);"], ["DROP TABLE IF EXISTS t;"])
    if not ok(result):
        return
    table, model, db, _ = args
    up, down = result
    assert isinstance(up, list) and isinstance(down, list) and len(up) == len(down)
    table = str.__str__(table)
    names = text_keys(model) | inp.model_names
    head = "CREATE TABLE IF NOT EXISTS %s (" % table
    if up and up[0].startswith(head) and (inp.fired or inp.db_empty):
        assert len(up) == 1 and up[0].endswith(");"), up
        assert down == ["DROP TABLE IF EXISTS %s;" % table], down
        body = up[0][len(head) : -2]
        assert parse_columns(body, frozenset(names), inp.types, not inp.fired), up
        return
    assert not inp.db_empty or inp.fired, "no CREATE TABLE for a new table: %r" % up
    dropped = []
    for u, d in zip(up, down):
        head = "ALTER TABLE %s DROP COLUMN " % table
        assert d.startswith(head) and d.endswith(";"), d
        name = d[len(head) : -1]
        assert u.startswith("ALTER TABLE %s ADD COLUMN %s " % (table, name)), (u, d)
        dropped.append(name)
    assert len(set(dropped)) == len(dropped), "a column named twice: %r" % up
    assert set(dropped) <= names, "a column that is not in the model: %r" % dropped
    if not inp.fired:
        assert set(dropped) == names - inp.db_names, (dropped, names, inp.db_names)


def diff_target(inp):
    e = inp.instance
    while inp.more():
        column = lambda: inp.mapping(  # noqa: E731
            lambda: inp.pick(["data_type", "nullable", "primary_key", inp.text()]),
            lambda: inp.value(inp.pick(["text", "bool", "any"])),
        )
        model = inp.mapping(lambda: inp.value("text"), column)
        db = inp.mapping(lambda: inp.value("text"), lambda: inp.value("text"))
        args = [inp.value("text"), model, db, inp.value("text")]
        inp.model_names, inp.db_names = text_keys(model), text_keys(db)
        inp.db_empty = not dict.__len__(db)
        inp.types = {"TEXT"} | {
            lossy(str.__str__(v))
            for c in dict.values(model) if isinstance(c, dict)
            for v in dict.values(c) if isinstance(v, str)
        }  # fmt: skip
        inp.call(e.diff_table, args, diff_check)


# -- QueryCompiler -----------------------------------------------------------------------
def compiler_check(inp, result, args, name):
    qc = inp.instance
    assert qc.get_placeholder("postgres", 3) == "$3"
    if not ok(result) or inp.fired:
        return
    if name == "get_placeholder" and type(args[0]) is str and type(args[1]) is int:
        d = args[0].lower()
        want = "%s" if d == "mysql" else "$%d" % args[1] if d in ("postgres", "postgresql") else "?"
        assert result == want, (args, result)
    elif name == "compile_select":
        sql, params = result
        assert type(sql) is str and type(params) is list
        wheres = args[2]
        if type(wheres) is list and all(type(w) is tuple for w in wheres):
            assert params == [str.__str__(w[2]) for w in wheres], (params, wheres)
    else:
        assert type(result) is str


def compiler_target(inp):
    qc = inp.instance
    text, ints = lambda: inp.value("text"), lambda: inp.value("int")
    tuples = lambda n: lambda: tuple(text() for _ in range(n + inp.byte() % 7 // 6))  # noqa: E731
    shapes = {
        "get_placeholder": [text, ints],
        "compile_select": [
            text,
            lambda: inp.container(text),
            lambda: inp.container(tuples(3)),
            lambda: inp.container(tuples(3)),
            lambda: inp.container(tuples(2)),
            lambda: inp.pick([None, ints()]),
            lambda: inp.pick([None, ints()]),
            text,
        ],  # fmt: skip
        "compile_insert": [text, lambda: inp.container(text), text],
        "compile_update": [text, lambda: inp.container(text), text, text],
        "compile_delete": [text, text, text],
    }
    names = list(shapes)
    while inp.more():
        name = inp.pick(names)
        args = [make() for make in shapes[name]]
        inp.call(getattr(qc, name), args, functools.partial(compiler_check, name=name))


# -- argument binding --------------------------------------------------------------------
CLASSES = [QueryCompiler, StateTracker, SchemaDiffEngine, BatchAggregator]
PARAMS = {
    "get_placeholder": ["dialect", "index"],
    "compile_select": [
        "table",
        "columns",
        "wheres",
        "joins",
        "order_by",
        "limit",
        "offset",
        "dialect",
    ],  # fmt: skip
    "compile_insert": ["table", "columns", "dialect"],
    "compile_update": ["table", "columns", "pk_col", "dialect"],
    "compile_delete": ["table", "pk_col", "dialect"],
    "set_initial_state": ["data"],
    "set_field": ["field", "value"],
    "get_field": ["field"],
    "benchmark_pure_rust": ["count"],
    "diff_table": ["table_name", "model_fields", "db_columns", "_dialect"],
    "add_key_int": ["key"],
    "add_key_str": ["key"],
    "add_key": ["key"],
    "add_keys_batch": ["keys"],
}


def binding_reenter(objs, n):
    obj = objs[n % len(objs)]
    name = [m for m in dir(obj) if not m.startswith("_") and m != "benchmark_pure_rust"]
    getattr(obj, name[n % len(name)])(*(["a"] * (n % 3)))


def binding_check(inp, result, _args):
    q, t, e, a = inp.instance
    assert q.get_placeholder(dialect="mysql", index=1) == "%s"
    t.get_current_dict(), a.len()
    assert e.diff_table("t", {}, {"a": "x"}, _dialect="") == ([], [])


def binding_target(inp):
    objs = inp.instance
    while inp.more():
        cls = inp.pick(CLASSES)
        names = [m for m in dir(cls) if not m.startswith("_")] + ["__new__"]
        name = inp.pick(names)
        params = PARAMS.get(name, [])
        args = [inp.value(inp.pick(["text", "int", "any"])) for _ in range(inp.byte() % 10)]
        kwargs = {}
        for _ in range(inp.byte() % 4):
            kwargs[inp.pick(params + ["KEY", "self", "", "key "])] = inp.value()
        counts = args[:1] + [kwargs.get("count", 0)]
        if name == "benchmark_pure_rust" and not all(type(n) is int and n < 999 for n in counts):
            continue  # a benchmark of any size is a valid call, and a slow one
        if name == "__new__":
            method = cls
        elif inp.byte() % 8 == 0:  # through the class, with any object as self
            method = getattr(cls, name)
        else:
            method = getattr(objs[CLASSES.index(cls)], name)
        inp.call(functools.partial(method, **kwargs), args, binding_check)


TARGETS = {
    "query_compiler": (QueryCompiler, compiler_target, lambda qc, n: qc.get_placeholder("a", n)),
    "state_tracker": (StateTracker, tracker_target, tracker_reenter),
    "schema_diff": (SchemaDiffEngine, diff_target, lambda e, n: e.diff_table("t", {}, {}, "")),
    "batch_aggregator": (BatchAggregator, aggregator_target, aggregator_reenter),
    "binding": (lambda: [c() for c in CLASSES], binding_target, binding_reenter),
}


def main():
    # libFuzzer's merge and fork modes start this script again with the flags only
    if len(sys.argv) > 1 and sys.argv[1] in TARGETS:
        os.environ["FUZZ_TARGET"] = sys.argv.pop(1)
    if os.environ.get("FUZZ_TARGET") not in TARGETS:
        sys.exit("usage: fuzz.py {%s} [libFuzzer flags]" % ",".join(TARGETS))
    make, target, reenter = TARGETS[os.environ["FUZZ_TARGET"]]
    sys.unraisablehook = lambda unraisable: None  # display-text fallbacks report here

    def one_input(data):
        inp = Input(data, make(), reenter)
        target(inp)

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
