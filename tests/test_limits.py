"""Hostile counts: a few bytes may declare 2**64 - 1 elements that take no bytes each."""

import sys

import pytest

from vezuvir import (
    CustomType,
    DeserializationError,
    Idx,
    SerializationError,
    bytes_check_if_contains,
    dump_bytes,
    lazy_load_bytes,
    load_bytes,
)

MARKER = b"<o>"


def varint(value):
    """Base 255: a byte below 255, else FF, the digits of value - 255 (least first), FF."""
    if value < 255:
        return bytes([value])
    digits, rest = [], value - 255
    while rest:
        digits.append(rest % 255)
        rest //= 255
    return bytes([0xFF, *digits, 0xFF])


def none_list(count):
    return MARKER + b"\x0e\x04" + varint(count)


def keyless_rows(count):
    return MARKER + b"\x13" + varint(count) + b"\x00"


@pytest.mark.parametrize("make, element", [(none_list, None), (keyless_rows, {})])
@pytest.mark.parametrize("count", [2**64 - 1, sys.maxsize // 8 + 1])
def test_declared_counts_past_any_memory(make, element, count):
    data = make(count)
    assert len(data) <= 16
    with pytest.raises(DeserializationError, match="max_free_elements"):
        load_bytes(data)
    with pytest.raises(MemoryError):
        load_bytes(data, max_free_elements=None)
    # Reading one element never builds the list, wherever it lies.
    assert lazy_load_bytes(data, [Idx(count - 1)]) == element
    assert bytes_check_if_contains(data, [Idx(count - 1)]) is True
    assert bytes_check_if_contains(data, [Idx(count)]) is False
    assert bytes_check_if_contains(data, [Idx(count - 1), "a"]) is False


def test_far_row_of_keyless_rows_is_read_at_once(isolated):
    # Reading row i of a key-less structured list used to step over the i empty rows before
    # it one at a time: 2**64 steps for a 16-byte input.
    result = isolated(
        """
        from vezuvir import Idx, lazy_load_bytes
        data = b"<o>\\x13" + bytes.fromhex("ff00071c3846381c0801ff") + b"\\x00"  # 2**64 - 1 rows
        print(lazy_load_bytes(data, [Idx(2**64 - 2)]))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["{}"]


def none_lists(*counts):
    return MARKER + b"\x0d" + varint(len(counts)) + b"".join(none_list(c)[3:] for c in counts)


BUDGET = 2_000_000


@pytest.mark.parametrize(
    "data, options, ok",
    [
        (none_list(BUDGET), {}, True),
        (none_list(BUDGET + 1), {}, False),
        (keyless_rows(BUDGET + 1), {}, False),
        # The budget is per call: nesting cannot multiply it.
        (none_lists(BUDGET // 2, BUDGET // 2 + 1), {}, False),
        (none_lists(BUDGET // 2, BUDGET // 2), {}, True),
        (none_list(11), {"max_free_elements": 10}, False),
        (none_list(10), {"max_free_elements": 10}, True),
        (none_lists(BUDGET, BUDGET), {"max_free_elements": None}, True),
        (none_list(2**31), {}, False),
    ],
)
def test_free_element_budget(data, options, ok):
    for read in (load_bytes, lambda d, **o: lazy_load_bytes(d, [], **o)):
        if ok:
            assert read(data, **options)  # built, not refused
        else:
            with pytest.raises(DeserializationError, match="`max_free_elements`"):
                read(data, **options)
    # Nothing is built to answer a check.
    assert bytes_check_if_contains(data, [], **options) is True


def bits_for(digits):
    return -(-digits * 332192809489 // 100000000000)


@pytest.mark.parametrize("digits", [640, 4300, 20000])
def test_int_limit_is_the_same_both_ways(digits):
    options = {} if digits == 4300 else {"max_int_digits": digits}
    for sign in (1, -1):
        inside = sign * (2 ** bits_for(digits) - 1)
        assert load_bytes(dump_bytes(inside, **options), **options) == inside
        outside = sign * 2 ** bits_for(digits)
        with pytest.raises(SerializationError, match="`max_int_digits`"):
            dump_bytes(outside, **options)
        data = dump_bytes(outside, max_int_digits=None)
        with pytest.raises(DeserializationError, match="`max_int_digits`"):
            load_bytes(data, **options)
        with pytest.raises(DeserializationError, match="`max_int_digits`"):
            lazy_load_bytes(data, [], **options)
        assert load_bytes(data, max_int_digits=None) == outside


def test_megabyte_of_int_digits_is_refused_unread():
    data = MARKER + b"\x07\xff" + b"\x01" * 2**20 + b"\xff"
    with pytest.raises(DeserializationError, match="`max_int_digits`"):
        load_bytes(data)


@pytest.mark.parametrize(
    "function, options, error",
    [
        (load_bytes, {"max_free_elements": -1}, ValueError),
        (load_bytes, {"max_free_elements": "1"}, TypeError),
        (load_bytes, {"max_int_digits": 639}, ValueError),
        (lambda d, **o: lazy_load_bytes(d, [], **o), {"max_int_digits": 1.5}, TypeError),
        (lambda d, **o: dump_bytes(d, **o), {"max_int_digits": 0}, ValueError),
    ],
)
def test_limit_arguments_are_checked(function, options, error):
    with pytest.raises(error, match=next(iter(options))):
        function(MARKER + b"\x1e", **options)


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="tracemalloc sees the interpreter's allocations on CPython only")
def test_lazy_read_builds_a_skipped_string_once():
    import tracemalloc

    s = "a" * 2**20
    data = dump_bytes([s, [s] * 3000])
    peaks = []
    for read in (load_bytes, lambda d: lazy_load_bytes(d, [Idx(1)])):
        tracemalloc.start()
        value = read(data)
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
        del value
    assert peaks[1] <= peaks[0] * 1.2 + 2**16, peaks


NESTING = {
    "load_bytes": "load_bytes(b'<o>' + b'\\x0d\\x01' * N + b'\\x04')",
    "lazy target": "lazy_load_bytes(b'<o>' + b'\\x10\\x01\\x02\\xfea' * N + b'\\x04', [])",
    "skipper": "lazy_load_bytes(b'<o>\\x0d\\x02' + b'\\x0d\\x01' * N + b'\\x04\\x04', [Idx(1)])",
    "lazy path": "lazy_load_bytes(b'<o>' + b'\\x0d\\x01' * N + b'\\x04', [Idx(0)] * N)",
    "dump_bytes": "x = None\nfor _ in range(N): x = {'a': [x]}\ndump_bytes(x)",
}


@pytest.mark.parametrize("reader", sorted(NESTING))
def test_native_stack_is_bounded_whatever_the_recursion_limit(reader, isolated):
    # Applications raise the limit; the native stack must still end in RecursionError.
    result = isolated(
        f"""
        import sys
        from vezuvir import Idx, dump_bytes, lazy_load_bytes, load_bytes
        sys.setrecursionlimit(10**7)
        N = 400_000
        try:
            exec({NESTING[reader]!r})
            print("read")
        except RecursionError:
            print("RecursionError")
        """,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    # The skipper keeps the containers it is inside on a heap stack of its own, bounded by
    # the interpreter's count alone: raised, it reads past any depth, unless the
    # interpreter keeps a limit of its own for C code (3.12 and later).
    expected = [["read"], ["RecursionError"]] if reader == "skipper" else [["RecursionError"]]
    assert result.stdout.split() in expected


def traced_peak(call):
    """The call's outcome (a value or the exception raised) and the most memory it held."""
    import tracemalloc

    tracemalloc.start()
    try:
        outcome = call()
    except Exception as exc:  # the outcome is compared, not raised
        outcome = exc
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return outcome, peak


def nested(opening, levels=200, padding=40_000):
    """`levels` containers, each opening inside the last and declaring more items than the
    input holds after it, then padding: every count alone fits what remains."""
    return MARKER + opening * levels + b"\x00" * padding


PROMISING = {
    "dicts": nested(b"\x10" + varint(20_000) + b"\x01a"),
    "any-key dicts": nested(b"\x0f" + varint(20_000) + b"\x1f"),
    "structured rows": nested(b"\x13\x01" + varint(10_000) + b"\x1f"),
    "lists": nested(b"\x0d" + varint(40_000)),
}
READERS = {
    "load_bytes": load_bytes,
    "tuples": lambda data: load_bytes(data, use_tuples=True),
    "lazy_load_bytes": lambda data: lazy_load_bytes(data, []),
    "load_record": lambda data: __import__("vezuvir").load_record(data),
}


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="tracemalloc sees the interpreter's allocations on CPython only")
@pytest.mark.parametrize("reader", sorted(READERS))
@pytest.mark.parametrize("form", sorted(PROMISING))
def test_nested_counts_reserve_no_memory_the_input_does_not_hold(form, reader):
    # Each level's count is checked against the bytes after it, which the levels around it
    # have already promised: sizing every level for its count held 12,000 bytes per byte.
    data = PROMISING[form]
    outcome, peak = traced_peak(lambda: READERS[reader](data))
    assert isinstance(outcome, DeserializationError), outcome
    assert peak < 64 * len(data), (peak, len(data))


def custom_value(identifier_items):
    """A custom value at the root whose identifier is a list of references to one string."""
    text = b"\x12" + varint(100_000) + b"a" * 100_000
    items = text + b"\x14\x00" * (identifier_items - 1)
    return MARKER + b"\x18\x0d" + varint(identifier_items) + items + b"\x1f"


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="tracemalloc sees the interpreter's allocations on CPython only")
@pytest.mark.parametrize(
    "read",
    [
        load_bytes,
        lambda data: lazy_load_bytes(data, []),
        lambda data: bytes_check_if_contains(data, [], include_falsy=False),
    ],
)
def test_message_holds_a_bounded_text_of_a_decoded_value(read):
    # str() of that identifier is 100 KB per item: a 300 MB message for 200 KB of input.
    data = custom_value(2_000)
    outcome, peak = traced_peak(lambda: read(data))
    assert peak < 4 * len(data) + 2**20, peak
    if outcome is not False:
        assert isinstance(outcome, DeserializationError)
        message = str(outcome)
        assert message.startswith("Unknown custom type.") and len(message) < 400
        assert f"identifier: `['{'a' * 198}...` (type: `<class 'list'>`)" in message


class Marker:
    pass


@pytest.mark.parametrize(
    "identifier, shown",
    [
        ("point", "point"),
        ("p" * 201, "p" * 200 + "..."),
        ([1, (2,), {"a": b"b"}, None, 2.5], "(1, (2,), {'a': b'b'}, None, 2.5)"),
        (2**700, "<int of 701 bits>"),
        # The separator after a key takes the last of the room: nothing more is rendered.
        ({"k" * 197: "v"}, "{'" + "k" * 197 + "'..."),
        ([["s" * 300]], "(('" + "s" * 197 + "..."),
    ],
)
def test_unknown_custom_type_names_a_bounded_identifier(identifier, shown):
    data = dump_bytes(Marker(), custom_types={Marker: CustomType(identifier, lambda _: 0)},
                      max_int_digits=None)
    with pytest.raises(DeserializationError) as caught:
        load_bytes(data, max_int_digits=None, use_tuples=True)
    kind = tuple if type(identifier) is list else type(identifier)
    assert f"identifier: `{shown}` (type: `{kind!r}`)" in str(caught.value)
