"""`encoding_stats`: what the encodings in a buffer hold and what their compact forms saved.

It steps over every value without building any, keeping only the back-reference table (as
offsets and lengths, dropped after each record) and an explicit stack of open containers,
so that no depth of nesting reaches the recursion limit. Savings are counted against the
plain form the same value would otherwise take: a string written in full at that spot, a
list of dicts with their keys repeated, a list of single-byte items.
"""

from vezuvir._pure._common import (
    ANY_KEY_DICT,
    ASCII_MARKER,
    ASCII_STRING,
    BOOL,
    BYTES,
    CONSISTENT_LIST,
    CUSTOM,
    DICT,
    EMPTY_DICT,
    END,
    ESCAPE,
    FLOAT,
    KEY_POINTER,
    LARGE_POINTER,
    LIST,
    MARKER,
    NEGATIVE_INT,
    NONE,
    POINTER1,
    POINTER4,
    POSITIVE_INT,
    PYPY,
    SMALL_INT,
    STRING,
    STRUCTURED_LIST,
    Input,
    check_buffer,
    end_of_input,
    missing_marker,
)
from vezuvir._pure.decoder import load_bytes, long_varint
from vezuvir._pure.records import check_count, offset_argument
from vezuvir.exceptions import DeserializationError

_NAME = "encoding_stats" if PYPY else "_vezuvir.encoding_stats"

# Frame kinds of the stack: [kind, items left, row-0 items left, rows].
_SEQUENCE, _DICT, _STRUCTURED, _CUSTOM = range(4)

FIELDS = (
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


def varint_size(value, base=255):
    """Bytes the varint of `value` takes (base 254 for a key length)."""
    if value < base:
        return 1
    digits = 0
    rest = value - base
    while rest:
        digits += 1
        rest //= base
    return digits + 2


class Walker:
    """Steps over records, counting; with `identifiers` a list, the identifier of each
    custom value is added to it, in stream order."""

    def __init__(self, data, identifiers=None):
        self.data = data
        self.end = len(data)
        self.pos = 0
        self.counts = dict.fromkeys(FIELDS, 0)
        # Start and length of each back-reference table entry, in stream order.
        self.starts = []
        self.lengths = []
        self.stack = []
        self.identifiers = identifiers

    def record(self, pos):
        """Steps over the encoding at `pos` (its marker included); returns where it ends."""
        del self.starts[:], self.lengths[:], self.stack[:]
        self.pos = pos + len(MARKER)
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
        return self.pos

    def scalar_at(self, start, index):
        """The identifier of a custom value: a string or a scalar (containers cannot be
        keys); None for anything that does not decode on its own."""
        if index >= 0:
            begin = self.starts[index]
            return bytes(self.data[begin : begin + self.lengths[index]]).decode("utf-8", "replace")
        try:
            return load_bytes(MARKER + bytes(self.data[start : self.pos]))
        except (DeserializationError, TypeError):
            return None

    def varint(self, base=255):
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        first = self.data[pos]
        if first != ESCAPE:
            self.pos = pos + 1
            return first
        value, self.pos = long_varint(self.data, self.end, pos + 1, base)
        return value

    def take(self, n):
        """Steps over `n` bytes; returns where they start."""
        start = self.pos
        if n > self.end - start:
            raise end_of_input()
        self.pos = start + n
        return start

    def string_in_full(self, base, marked):
        n = self.varint(base)
        start = self.take(n)
        if marked and n and self.data[start] == ASCII_MARKER:
            start += 1
            n -= 1
        self.starts.append(start)
        self.lengths.append(n)
        counts = self.counts
        counts["strings_in_full"] += 1
        counts["string_bytes"] += n

    def entry(self, index):
        """The text length of table entry `index`."""
        if index >= len(self.lengths):
            raise DeserializationError("Corrupted data")
        self.counts["back_references"] += 1
        return self.lengths[index]

    def push(self, kind, items, row0_items=0, rows=0):
        # Every item takes at least one byte: a larger count cannot be valid.
        if items > self.end - self.pos:
            raise end_of_input()
        if items:
            self.stack.append([kind, items, row0_items, rows])

    def value(self):
        """Steps over one value; returns its table index when it is a string, else -1."""
        data = self.data
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        flag = data[pos]
        self.pos = pos + 1
        if flag >= SMALL_INT or flag <= EMPTY_DICT:
            return -1
        counts = self.counts
        if flag == STRING or flag == ASCII_STRING:
            index = len(self.starts)
            self.string_in_full(255, False)
            return index
        if POINTER1 <= flag <= POINTER4 or flag == LARGE_POINTER:
            if flag == LARGE_POINTER:
                index = self.varint()
            else:
                start = self.take(flag - POINTER1 + 1)
                index = int.from_bytes(data[start : self.pos], "big")
            n = self.entry(index)
            counts["saved_by_back_references"] += 1 + varint_size(n) + n - (self.pos - pos)
            return index
        if flag == POSITIVE_INT or flag == NEGATIVE_INT:
            self.varint()
        elif flag == FLOAT:
            self.take(8)
        elif flag == BYTES:
            self.take(self.varint())
        elif flag == LIST:
            counts["lists"] += 1
            self.push(_SEQUENCE, self.varint())
        elif flag == ANY_KEY_DICT or flag == DICT:
            counts["dicts"] += 1
            self.push(_DICT if flag == DICT else _SEQUENCE, 2 * self.varint())
        elif flag == CONSISTENT_LIST:
            self.packed_list()
        elif flag == STRUCTURED_LIST:
            self.structured_list()
        elif flag == CUSTOM:
            counts["custom_values"] += 1
            self.push(_SEQUENCE if self.identifiers is None else _CUSTOM, 2)
        else:
            # Bool is only an element type; 25 to 29 are unassigned.
            raise DeserializationError("Unexpected flag")
        return -1

    def key(self):
        """Steps over one key of a string-keyed dict."""
        data = self.data
        begin = self.pos
        if begin >= self.end:
            raise end_of_input()
        if data[begin] != KEY_POINTER:
            self.string_in_full(254, True)
            return
        self.pos = begin + 1
        index = self.varint()
        n = self.entry(index)
        start = self.starts[index]
        # Written in full, the key would take its key length and, when it is all ASCII,
        # the marker byte besides its text.
        literal = n + 1 if bytes(data[start : start + n]).isascii() else n
        saved = varint_size(literal, 254) + literal - (self.pos - begin)
        self.counts["saved_by_back_references"] += saved

    def packed_list(self):
        """[element type][varint count][packed elements]"""
        element_type = self.data[self.take(1)]
        count = self.varint()
        counts = self.counts
        counts["lists"] += 1
        counts["packed_lists"] += 1
        counts["packed_items"] += count
        # A plain list would take one byte an item (nine a float) after the same header;
        # the packed one takes the element type byte and its packed elements.
        if element_type == NONE:
            counts["saved_by_packed_lists"] += count - 1
        elif element_type == BOOL:
            packed = (count + 7) // 8
            counts["saved_by_packed_lists"] += count - 1 - packed
            self.take(packed)
        elif element_type == FLOAT:
            self.take(8 * count)
            counts["saved_by_packed_lists"] += count - 1
        elif element_type == STRING:
            for _ in range(count):
                self.string_in_full(255, True)
        elif element_type == BYTES:
            for _ in range(count):
                self.take(self.varint())
        else:
            raise DeserializationError(f"Unexpected type flag: {element_type}")

    def structured_list(self):
        """[varint rows][varint keys], row 0 as (key, field) pairs, then the fields of each
        further row. Row 0's pairs are there even in a list of no rows, as the decoders read
        them."""
        rows = self.varint()
        keys = self.varint()
        counts = self.counts
        counts["lists"] += 1
        counts["structured_lists"] += 1
        counts["structured_rows"] += rows
        counts["dicts"] += rows
        # Beside the repeated keys (counted per key): each row as a dict would open with a
        # flag and the key count, where the structured form writes the key count once.
        if keys:
            counts["saved_by_structured_lists"] += rows * (1 + varint_size(keys)) - varint_size(keys)
        elif rows:
            counts["saved_by_structured_lists"] += rows - 1
        further_rows = rows - 1 if rows > 1 else 0
        self.push(_STRUCTURED, 2 * keys + further_rows * keys, 2 * keys, rows)

    def structured_item(self, frame):
        """One item of a structured list: a key or field of row 0, or a field of a later row."""
        if frame[2] == 0:
            self.value()
            return
        frame[2] -= 1
        if frame[2] % 2 == 0:
            self.value()
            return
        # Every further row would repeat this key; as a dict key that is a key
        # back-reference to the string, or the same bytes again for any other key.
        begin = self.pos
        index = self.value()
        key_size = 1 + varint_size(index) if index >= 0 else self.pos - begin
        rows = frame[3]
        if rows > 1:
            self.counts["saved_by_structured_lists"] += (rows - 1) * key_size


def encoding_stats(*args, **kwargs):
    """encoding_stats(buffer, offset=0, stop=None, /) -> dict: counts what the records that start from `offset` (and before `stop`) hold, with how many there were and the offset where the walk stopped"""
    if kwargs:
        # The interpreter's words for the extension's function, which takes positions only.
        raise TypeError(f"{_NAME}() takes no keyword arguments")
    check_count("encoding_stats", args, 3)
    check_buffer(args[0])
    source = Input(args[0], copy=False)
    try:
        # Read in place: a log may be far larger than one call's window, and no Python code
        # runs during the walk to change the bytes.
        data = source.data
        size = len(data)
        offset = offset_argument(args[1], "offset", size) if len(args) > 1 else 0
        stop = size
        if len(args) > 2 and args[2] is not None:
            stop = offset_argument(args[2], "stop", size)
        walker = Walker(data)
        records = 0
        pos = offset
        # Records follow one another until the bytes stop opening one; the first must.
        # PyPy lets another thread close an mmap (or, before PyPy 8, resize a bytearray)
        # that is read in place here: past the cut, indexing fails and slices come back
        # short, so a walk that met the cut ends as a record cut short does.
        while pos < stop or records == 0:
            if data[pos : pos + len(MARKER)] != MARKER:
                if len(data) < size:
                    raise DeserializationError(f"record at byte offset {pos}: {END}")
                if records == 0:
                    raise missing_marker()
                break
            start = pos
            try:
                pos = walker.record(pos)
                failure = None
            except DeserializationError as error:
                failure = str(error)
            except IndexError:
                # The walker checks every position against the length it started with.
                if len(data) == size:
                    raise
                failure = END
            if len(data) < walker.pos:
                failure = END
            if failure is None:
                records += 1
                continue
            raise DeserializationError(f"record at byte offset {start}: {failure}")
        return {"records": records, "end": pos, **walker.counts}
    finally:
        source.release()


def custom_identifiers(data):
    """The identifiers of the custom values of the encoding `data`, in stream order,
    repeats included."""
    if data[: len(MARKER)] != MARKER:
        raise missing_marker()
    identifiers = []
    Walker(data, identifiers).record(0)
    return identifiers
