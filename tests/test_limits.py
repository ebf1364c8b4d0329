"""Hostile counts: a few bytes may declare 2**64 - 1 elements that take no bytes each."""

import sys

import pytest

from vezuvir import DeserializationError, Idx, bytes_check_if_contains, lazy_load_bytes, load_bytes

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
