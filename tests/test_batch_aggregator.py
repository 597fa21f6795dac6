import ctypes

import pytest
from hostile import UNPRINTABLE, Index, LoudStr, Seq, panic_exception_type, raiser, unprintable
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import UNDER_MEMORY_TOOL

from brackwell import BatchAggregator

# (key, the key stored); an int result is an integer key, a str result a text key
CLASSIFIED = [
    (7, 7),
    (True, 1),
    (False, 0),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (2**63, "9223372036854775808"),
    (-(2**63) - 1, "-9223372036854775809"),
    (2**64, "18446744073709551616"),
    (1.5, "1.5"),
    (float("nan"), "nan"),
    (None, "None"),
    (b"x", "b'x'"),
    ("5", "5"),
    ("", ""),
    ("a\udc80b", "a\ufffd\ufffd\ufffdb"),
    (Index(5), 5),
    (Index(2**70), f"Index({2**70})"),
    (LoudStr("abc"), 99),
    (Index(0, raiser(ValueError("no index"))), "Index(0)"),
    (type("Sub", (str,), {})("x\U0001f600"), "x\U0001f600"),
]


@pytest.mark.parametrize("key, stored", CLASSIFIED)
def test_add_key_classifies(key, stored):
    agg = BatchAggregator()
    assert agg.add_key(key) is True
    assert agg.add_key(key) is False
    [got] = agg.get_keys()
    assert (type(got), got) == (type(stored), stored)
    assert agg.add_keys_batch([key, stored]) == 0


def test_unprintable_key_goes_to_the_unraisable_hook(unraisable):
    agg = BatchAggregator()
    assert agg.add_key(unprintable()) is True
    assert agg.add_keys_batch([unprintable(), 1]) == 1
    assert agg.get_keys() == [1, UNPRINTABLE]
    assert [type(u.exc_value) for u in unraisable] == [ValueError, ValueError]


def python_model(batches):
    ints, texts = {}, {}
    for batch in batches:
        for key in batch:
            if isinstance(key, int) and -(2**63) <= key < 2**63:
                ints.setdefault(int(key))
            else:
                texts.setdefault(key if isinstance(key, str) else str(key))
    return list(ints) + list(texts)


keys = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.integers(-3, 3).map(lambda i: i << 40),
    st.text(max_size=20),
    st.sampled_from(["1", "é", "a" * 40, 2**64, 1.5, True]),
)


@given(
    st.lists(st.tuples(st.lists(keys, max_size=80), st.sampled_from("blta")), max_size=5),
    st.booleans(),
)
def test_first_added_order_across_calls_and_clear(batches, clear_first):
    agg = BatchAggregator()
    if clear_first:
        agg.add_keys_batch([k for batch, _ in batches for k in batch] + [10**6, "gone"])
        agg.clear()
    for batch, how in batches:
        before = agg.len()
        if how in "bl":
            assert agg.add_keys_batch(batch if how == "l" else tuple(batch)) == agg.len() - before
        for k in batch if how in "ta" else ():
            typed = {int: agg.add_key_int, str: agg.add_key_str}.get(type(k), agg.add_key)
            typed = agg.add_key if k == 2**64 else typed
            (agg.add_key if how == "a" else typed)(k)
    expected = python_model(batch for batch, _ in batches)
    assert agg.get_keys() == expected == agg.get_keys()
    assert (agg.len(), agg.is_empty()) == (len(expected), not expected)


def test_keys_equal_in_their_low_bits_stay_distinct():
    agg = BatchAggregator()
    crafted = [i << 32 for i in range(200_000)]
    assert agg.add_keys_batch(crafted) == 200_000
    assert agg.add_keys_batch(crafted[::-1]) == 0
    assert agg.get_keys() == crafted
    assert agg.add_keys_batch([str(k) for k in crafted[:1000]] * 2) == 1000


@pytest.mark.parametrize(
    "call, arg, error, message",
    [
        ("add_key_int", "5", TypeError, "argument 'key': 'str' object cannot be interpreted as an"),
        ("add_key_int", 1.0, TypeError, "argument 'key': 'float' object cannot be interpreted as"),
        ("add_key_int", 2**63, OverflowError, ""),
        (
            "add_key_str",
            5,
            TypeError,
            "argument 'key': 'int' object cannot be converted to 'PyString'",
        ),
        ("add_key_str", None, TypeError, "argument 'key': 'NoneType' object cannot be converted"),
        ("add_key_str", "\ud800", UnicodeEncodeError, "'utf-8' codec can't encode"),
        (
            "add_keys_batch",
            (x for x in [1]),
            TypeError,
            "argument 'keys': 'generator' object cannot be converted to 'Sequence'",
        ),
        ("add_keys_batch", {1, 2}, TypeError, "argument 'keys': 'set' object cannot be converted"),
        ("add_keys_batch", {1: 2}, TypeError, "argument 'keys': 'dict' object cannot be converted"),
        ("add_keys_batch", 12, TypeError, "argument 'keys': 'int' object cannot be converted"),
    ],
)
def test_refused_arguments_change_nothing(call, arg, error, message):
    agg = BatchAggregator()
    agg.add_key("kept")
    with pytest.raises(error) as info:
        getattr(agg, call)(arg)
    assert str(info.value).startswith(message) and type(info.value) is error
    assert agg.get_keys() == ["kept"]


def test_accepted_argument_forms():
    agg = BatchAggregator()
    assert [agg.add_key_int(True), agg.add_key_int(Index(2)), agg.add_key_str(LoudStr("s"))] == [
        True,
        True,
        True,
    ]
    assert agg.add_keys_batch("") == agg.add_keys_batch([]) == 0
    assert agg.add_keys_batch("ab") + agg.add_keys_batch(b"ab") + agg.add_keys_batch(range(3)) == 5
    assert agg.add_keys_batch(Seq(["x", 9])) == 2
    assert agg.get_keys() == [1, 2, 97, 98, 0, 9, "s", "a", "b", "x"]
    with pytest.raises(TypeError):
        len(agg)


def test_calls_back_into_the_same_aggregator_are_refused():
    agg = BatchAggregator()
    seen = []

    def call(method, *args):
        try:
            getattr(agg, method)(*args)
        except RuntimeError as e:
            seen.append(str(e))
            raise

    calls_back = Seq([0, 1, 2], on_item=lambda i: i == 1 and call("add_key", i))
    batch = [Index(1, lambda: call("len")), Index(2, lambda: call("add_key", 3)), 4]
    assert agg.add_keys_batch(batch) == 3  # the refused items are keyed by their text
    with pytest.raises(RuntimeError, match="Already borrowed"):
        agg.add_keys_batch(calls_back)
    assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed"]
    assert agg.get_keys() == [4, 0, "Index(1)", "Index(2)"] and agg.add_key(5) is True


def test_a_sequence_that_shrinks_or_grows_while_read():
    agg = BatchAggregator()
    shrinking = [1, 2, Index(3, lambda: shrinking.clear()), 4]
    with pytest.raises(IndexError):
        agg.add_keys_batch(shrinking)
    growing = [10, Index(11, lambda: growing.append(12))]
    assert agg.add_keys_batch(growing) == 2
    with pytest.raises(IndexError):
        agg.add_keys_batch(Seq([20, 21], length=5))
    assert agg.get_keys() == [1, 2, 3, 10, 11, 20, 21]


@pytest.fixture(scope="module")
def panic_exception():
    return panic_exception_type()


def test_a_panic_from_python_code_is_never_swallowed(panic_exception, capfd):
    agg = BatchAggregator()
    for call in (agg.add_key, lambda k: agg.add_keys_batch([1, k, 2])):
        with pytest.raises(panic_exception, match="^key broke$"):
            call(Index(0, raiser(panic_exception("key broke"))))
    assert "Python stack trace below:" in capfd.readouterr().err
    assert agg.get_keys() == [1]


@pytest.mark.no_sanitizer
@pytest.mark.skipif(UNDER_MEMORY_TOOL, reason="reads malloc's counters")
def test_refill_after_clear_allocates_nothing():
    class Mallinfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t) for name in "ar ord sm hblks hblkhd us fsm uord".split()
        ]

    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = Mallinfo2
    agg = BatchAggregator()
    keys = list(range(50_000)) + [f"key {i}" for i in range(50_000)]
    agg.add_keys_batch(keys)
    agg.clear()
    before = mallinfo2()
    assert agg.add_keys_batch(keys) == 100_000
    after = mallinfo2()
    assert abs(after.uord + after.hblkhd - before.uord - before.hblkhd) < 64 * 1024
