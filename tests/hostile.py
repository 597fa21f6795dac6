"""Objects that fight back, for the hostile-input tests.

Each class runs an optional `action` (any callable: a call back into the instance under
test, a mutation of a container being read, a raise) from the one special method it is
about, so a test names the place and the behaviour separately.
"""

import collections.abc
import gc

from brackwell import StateTracker


def caught_panic():
    """An instance of the module's internal-failure exception (which cannot be imported),
    caught from a dict that grows while a tracker loads it."""
    data = {"a": 1}

    class Grows:
        def __str__(self):
            data["b"] = 2
            return "grows"

    data["x"] = Grows()
    try:
        StateTracker().set_initial_state(data)
    except BaseException as e:  # noqa: BLE001 - the one way to reach the type
        return e
    raise AssertionError("a dict that grows while read was not refused")


def panic_exception_type():
    """The module's internal-failure exception type, taken from a caught instance."""
    return type(caught_panic())


def raiser(exc):
    """An action that raises a new exception like `exc` (an instance) on each call: raising
    one instance again would chain every traceback onto it."""

    def action(*_):
        raise type(exc)(*exc.args)

    return action


class Index:
    """__index__ runs `action` first, then returns `value` (of any type)."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"

    __str__ = __repr__


class Text:
    """__str__ runs `action` first, then returns `value` (of any type)."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __str__(self):
        if self.action:
            self.action()
        return self.value

    def __repr__(self):
        return f"Text({self.value!r})"


def unprintable():
    """A value whose str() raises ValueError("no text"): it is shown as UNPRINTABLE."""
    return Text("never", raiser(ValueError("no text")))


UNPRINTABLE = "<unprintable Text object>"


class StrSub(str):
    """A str subclass that adds nothing but an upper() the module must never call."""

    def upper(self):
        raise AssertionError("a subclass's upper() is never called")


class OwnStr(str):
    """A str subclass equal only to itself and hashed by identity: a dict can hold it beside
    a str of the same text, or hold two of them."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __ne__(self, other):
        return self is not other

    def __repr__(self):
        return f"OwnStr({str.__repr__(self)})"


class LyingDict(dict):
    """A dict subclass whose Python-level methods all lie; only its storage is true."""

    def __iter__(self):
        return iter(["lie"])

    def __len__(self):
        return 1

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        return "lie"

    def __missing__(self, key):
        return "lie"

    def get(self, key, default=None):
        return "lie"

    def items(self):
        return [("lie", {})]


class LoudStr(str):
    """A str subclass whose Python-level methods all lie; only its stored text is true."""

    def __str__(self):
        return "lie"

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return 7

    def __index__(self):
        return 99

    def __len__(self):
        return 1000

    def __iter__(self):
        return iter(["lie"])


class Indexed:
    """Items read by index only: no __iter__, and not a registered collections.abc.Sequence.
    __len__ reports `length` (default: the real one) after running `on_len`; __getitem__
    runs `on_item(i)` first, and past the items raises IndexError."""

    def __init__(self, items, length=None, on_len=None, on_item=None):
        self.items = list(items)
        self.length, self.on_len, self.on_item = length, on_len, on_item

    def __len__(self):
        if self.on_len:
            self.on_len()
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.on_item:
            self.on_item(i)
        return self.items[i]


class Seq(Indexed, collections.abc.Sequence):
    """Indexed, registered as a collections.abc.Sequence (which adds __iter__)."""


class IterOnly:
    """Passes the sequence test (it has __getitem__ and __len__) but is read through
    __iter__, which yields `items` and runs `on_next(i)` before each."""

    def __init__(self, items, on_next=None, length=0):
        self.items, self.on_next, self.length = list(items), on_next, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if self.on_next:
                self.on_next(i)
            yield item


class NumpyBool:
    """Looks like numpy's boolean scalar to the boolean conversion: its type's module is
    "numpy" and its name "bool_". __bool__ runs `action`, then returns `value`."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __bool__(self):
        if self.action:
            self.action()
        return self.value


NumpyBool.__module__ = "numpy"
NumpyBool.__name__ = "bool_"
NumpyBool.__qualname__ = "bool_"


class EqKey:
    """A dict key that hashes like `twin` and runs `action` whenever compared with it."""

    def __init__(self, twin, action=None, equal=False):
        self.twin, self.action, self.equal = twin, action, equal

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        if self.action:
            self.action()
        return self.equal


class _Bomb:
    """Cyclic garbage whose finalizer lights the callback in `fuse`, if still there."""

    def __init__(self, fuse):
        self.fuse, self.me = fuse, self

    def __del__(self):
        if self.fuse:
            self.fuse.pop()()


def at_next_collection(callback):
    """Arms `callback` to run inside the next garbage collection, and makes the next
    allocation of a tracked object (a list, an exception being raised) start one: before
    3.12 that is wherever the module allocates; from 3.12 on, at the next bytecode.
    Returns the fuse: clearing it disarms. The `collect_soon` fixture undoes all this."""
    gc.collect()  # this also empties the free lists of tuples: fill them again, so that
    for size in range(1, 9):  # packing a call's arguments does not start the collection
        tuple(range(size))
    fuse = [callback]
    _Bomb(fuse)
    gc.set_threshold(1)
    return fuse
