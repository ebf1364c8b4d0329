"""What an encoding, or a log of them, holds (``vezuvir stats``).

``walk`` gathers the counts with the active backend's ``encoding_stats``, which reads the bytes
the way the decoder does but builds nothing except the back-reference table (as offsets), so it
can say how each string was written and what the compact forms saved. Savings are measured
against the plain form the same value would otherwise take: a string written in full at that
spot, a list of dicts with their keys repeated, a list of single-byte items. The same walk in
pure Python, ``_Walker``, finds the identifiers of custom values.
"""

from typing import Any, Callable, List, Optional, Tuple

from vezuvir import _backend
from vezuvir.exceptions import DeserializationError

__all__ = ["EncodingStats", "walk", "custom_identifiers"]

MARKER = b"<o>"

EMPTY_STRING, EMPTY_BYTES, TRUE, FALSE, NONE, EMPTY_LIST, EMPTY_DICT = range(7)
POSITIVE_INT, NEGATIVE_INT, FLOAT, STRING, BYTES, BOOL, LIST = range(7, 14)
CONSISTENT_TYPE_LIST, ANY_KEY_DICT, DICT, LARGE_POINTER, ASCII_STRING = range(14, 19)
STRUCTURED_LIST, POINTER1, POINTER2, POINTER3, POINTER4, CUSTOM = range(19, 25)
SMALL_INT_BASE = 30
KEY_BACK_REFERENCE = 254
ASCII_MARKER = 254

_EOF = "Unexpected end of input"

# Frames of the explicit stack (deep documents must not hit the interpreter's recursion limit).
_SEQUENCE, _DICT, _STRUCTURED, _CUSTOM = range(4)


class EncodingStats:
    """What ``walk`` found in one encoding. Sizes are in bytes."""

    __slots__ = (
        "size",
        "records",
        "trailing_bytes",
        "strings_in_full",
        "string_bytes",
        "back_references",
        "saved_by_back_references",
        "dicts",
        "lists",
        "structured_lists",
        "structured_rows",
        "saved_by_structured_lists",
        "packed_lists",
        "packed_items",
        "saved_by_packed_lists",
        "custom_values",
    )

    def __init__(self, size: int) -> None:
        for name in self.__slots__:
            setattr(self, name, 0)
        self.size = size

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name in self.__slots__}


def varint_size(value: int) -> int:
    """Bytes the varint of ``value`` takes (base 255)."""
    return _long_form_size(value, 255)


def key_varint_size(value: int) -> int:
    """Bytes the key_varint of ``value`` takes (base 254)."""
    return _long_form_size(value, 254)


def _long_form_size(value: int, base: int) -> int:
    if value < base:
        return 1
    rest = value - base
    digits = 0
    while rest:
        digits += 1
        rest //= base
    return digits + 2


def _read_long_form(data: bytes, pos: int, base: int) -> Tuple[int, int]:
    # Called after an escape byte 255: digits least significant first, up to a 255.
    value, weight, end = base, 1, len(data)
    while True:
        if pos >= end:
            raise DeserializationError(_EOF)
        digit = data[pos]
        pos += 1
        if digit == 255:
            return value, pos
        value += digit * weight
        weight *= base


class _Walker:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.end = len(data)
        self.pos = 3
        # Offset and byte length of each back-reference table entry, in stream order.
        self.starts: List[int] = []
        self.lengths: List[int] = []
        self.stack: List[list] = []
        self.stats = EncodingStats(len(data))
        self.identifiers: List[Any] = []

    def varint(self) -> int:
        data, pos = self.data, self.pos
        if pos >= self.end:
            raise DeserializationError(_EOF)
        first = data[pos]
        if first < 255:
            self.pos = pos + 1
            return first
        value, self.pos = _read_long_form(data, pos + 1, 255)
        return value

    def take(self, count: int) -> int:
        """Steps over ``count`` bytes and returns where they start."""
        start = self.pos
        if count > self.end - start:
            raise DeserializationError(_EOF)
        self.pos = start + count
        return start

    def add_string(self, start: int, length: int) -> int:
        self.starts.append(start)
        self.lengths.append(length)
        self.stats.strings_in_full += 1
        self.stats.string_bytes += length
        return len(self.starts) - 1

    def is_ascii(self, index: int) -> bool:
        start = self.starts[index]
        return bytes(self.data[start : start + self.lengths[index]]).isascii()

    def referenced(self, index: int) -> int:
        if index >= len(self.starts):
            raise DeserializationError("Corrupted data")
        self.stats.back_references += 1
        return self.lengths[index]

    def run(self) -> None:
        if bytes(self.data[:3]) != MARKER:
            raise DeserializationError("Corrupted data: missing starting marker `<o>`")
        self.value()
        stack = self.stack
        while stack:
            frame = stack[-1]
            if frame[1] == 0:
                stack.pop()
                continue
            frame[1] -= 1
            kind = frame[0]
            if kind == _SEQUENCE:
                self.value()
            elif kind == _DICT:
                # Items alternate key, value; an odd count left means a value comes next.
                if frame[1] % 2:
                    self.key()
                else:
                    self.value()
            elif kind == _STRUCTURED:
                self.structured_item(frame)
            else:
                start = self.pos
                index = self.value()
                if frame[1] == 1:
                    self.identifiers.append(self.scalar_at(start, index))
        self.stats.trailing_bytes = self.end - self.pos

    def structured_item(self, frame: list) -> None:
        # frame: kind, items left, row-0 items left, rows.
        if frame[2] == 0:
            self.value()
            return
        frame[2] -= 1
        if frame[2] % 2 == 0:
            self.value()
            return
        start = self.pos
        index = self.value()
        # Every further row would repeat this key; as a dict key that is a key back-reference.
        if index >= 0:
            key_size = 1 + varint_size(index)
        else:
            key_size = self.pos - start
        self.stats.saved_by_structured_lists += max(frame[3] - 1, 0) * key_size

    def key(self) -> None:
        data, pos = self.data, self.pos
        if pos >= self.end:
            raise DeserializationError(_EOF)
        if data[pos] == KEY_BACK_REFERENCE:
            self.pos = pos + 1
            index = self.varint()
            length = self.referenced(index)
            literal = length + 1 if self.is_ascii(index) else length
            full = key_varint_size(literal) + literal
            self.stats.saved_by_back_references += full - (self.pos - pos)
            return
        if data[pos] < 255:
            length, self.pos = data[pos], pos + 1
        else:
            length, self.pos = _read_long_form(data, pos + 1, 254)
        start = self.take(length)
        if length and data[start] == ASCII_MARKER:
            start, length = start + 1, length - 1
        self.add_string(start, length)

    def value(self) -> int:
        """Steps over one value; returns its table index when it is a string, else -1."""
        data, pos = self.data, self.pos
        if pos >= self.end:
            raise DeserializationError(_EOF)
        flag = data[pos]
        self.pos = pos + 1
        if flag >= SMALL_INT_BASE or flag <= EMPTY_DICT:
            return -1
        if flag == STRING or flag == ASCII_STRING:
            length = self.varint()
            return self.add_string(self.take(length), length)
        if POINTER1 <= flag <= POINTER4 or flag == LARGE_POINTER:
            if flag == LARGE_POINTER:
                index = self.varint()
            else:
                width = flag - POINTER1 + 1
                index = int.from_bytes(data[self.take(width) : self.pos], "big")
            length = self.referenced(index)
            full = 1 + varint_size(length) + length
            self.stats.saved_by_back_references += full - (self.pos - pos)
            return index
        if flag == POSITIVE_INT or flag == NEGATIVE_INT:
            self.varint()
        elif flag == FLOAT:
            self.take(8)
        elif flag == BYTES:
            self.take(self.varint())
        elif flag == LIST:
            self.stats.lists += 1
            self.push(_SEQUENCE, self.varint())
        elif flag == ANY_KEY_DICT:
            self.stats.dicts += 1
            self.push(_SEQUENCE, 2 * self.varint())
        elif flag == DICT:
            self.stats.dicts += 1
            self.push(_DICT, 2 * self.varint())
        elif flag == CONSISTENT_TYPE_LIST:
            self.packed_list()
        elif flag == STRUCTURED_LIST:
            self.structured_list()
        elif flag == CUSTOM:
            self.stats.custom_values += 1
            self.push(_CUSTOM, 2)
        else:
            raise DeserializationError("Unexpected flag")
        return -1

    def push(self, kind: int, items: int, *extra: int) -> None:
        # Every item takes at least one byte: a larger count cannot be valid.
        if items > self.end - self.pos:
            raise DeserializationError(_EOF)
        if items:
            self.stack.append([kind, items, *extra])

    def packed_list(self) -> None:
        element_type = self.data[self.take(1)]
        count = self.varint()
        stats = self.stats
        stats.lists += 1
        stats.packed_lists += 1
        stats.packed_items += count
        header = 1 + varint_size(count)
        if element_type == NONE:
            stats.saved_by_packed_lists += header + count - (header + 1)
        elif element_type == BOOL:
            packed = (count + 7) // 8
            self.take(packed)
            stats.saved_by_packed_lists += header + count - (header + 1 + packed)
        elif element_type == FLOAT:
            self.take(8 * count)
            stats.saved_by_packed_lists += header + 9 * count - (header + 1 + 8 * count)
        elif element_type == STRING:
            for _ in range(count):
                length = self.varint()
                start = self.take(length)
                if length and self.data[start] == ASCII_MARKER:
                    start, length = start + 1, length - 1
                self.add_string(start, length)
        elif element_type == BYTES:
            for _ in range(count):
                self.take(self.varint())
        else:
            raise DeserializationError(f"Unexpected type flag: {element_type}")

    def structured_list(self) -> None:
        rows = self.varint()
        keys = self.varint()
        stats = self.stats
        stats.lists += 1
        stats.structured_lists += 1
        stats.structured_rows += rows
        stats.dicts += rows
        # Beside the repeated keys (counted per key): each row as a dict would open with a
        # flag and the key count, where the structured form writes the key count once.
        if keys:
            stats.saved_by_structured_lists += rows * (1 + varint_size(keys)) - varint_size(keys)
        elif rows:
            stats.saved_by_structured_lists += rows - 1
        # Row 0's pairs are there even in a list of no rows, as the decoders read them.
        self.push(_STRUCTURED, 2 * keys + max(rows - 1, 0) * keys, 2 * keys, rows)

    def scalar_at(self, start: int, index: int) -> Any:
        """The identifier of a custom value: a string or a scalar (containers cannot be keys)."""
        if index >= 0:
            begin = self.starts[index]
            return bytes(self.data[begin : begin + self.lengths[index]]).decode("utf-8", "replace")
        _vezuvir = _backend.module()

        try:
            return _vezuvir.load_bytes(MARKER + bytes(self.data[start : self.pos]))
        except (DeserializationError, TypeError):
            return None


# Records are counted in calls over this many bytes, between which progress is shown.
_PROGRESS_STEP = 16 << 20


def walk(data: Any, progress: Optional[Callable[[int], None]] = None) -> EncodingStats:
    """Counts what the encoding ``data`` holds, summed over its records when encodings follow
    one another (a record log); bytes after the last one that do not start another are
    ``trailing_bytes``. Raises ``DeserializationError`` if a record is invalid or cut short.

    ``data`` is bytes or any object exporting them; ``progress`` is called now and then with
    the read position.
    """
    _vezuvir = _backend.module()

    with memoryview(data) as view:
        size = view.nbytes
    stats = EncodingStats(size)
    offset = 0
    while True:
        counts = _vezuvir.encoding_stats(data, offset, min(offset + _PROGRESS_STEP, size))
        offset = counts.pop("end")
        for name, count in counts.items():
            setattr(stats, name, getattr(stats, name) + count)
        if progress is not None:
            progress(offset)
        if offset >= size or bytes(data[offset : offset + 3]) != MARKER:
            break
    stats.trailing_bytes = size - offset
    return stats


def custom_identifiers(data: bytes) -> List[Any]:
    """The identifiers of the custom values in ``data``, in stream order, repeats included."""
    walker = _Walker(data)
    walker.run()
    return walker.identifiers
