"""`load_bytes`: the object decoder and its entry point.

The decoder reads one `bytes` object with a read position (`pos`) that every step
advances. Every read is bounds-checked where it happens, so that truncated input always
fails with "Unexpected end of input" at the same point as in the extension; counts read
from the input are compared with the bytes left before anything of that size is built.
"""

import gc
import struct
import sys

from vezuvir._pure._common import (
    ANY_KEY_DICT,
    ASCII_MARKER,
    ASCII_STRING,
    BOOL,
    BYTES,
    CONSISTENT_LIST,
    CUSTOM,
    DICT,
    EMPTY_BYTES,
    EMPTY_DICT,
    EMPTY_LIST,
    EMPTY_STRING,
    ESCAPE,
    FALSE,
    FLOAT,
    KEY_POINTER,
    LARGE_POINTER,
    LIST,
    MARKER,
    MAX_DEPTH,
    MAX_U64,
    NEGATIVE_INT,
    NONE,
    POINTER1,
    POINTER2,
    POINTER4,
    POSITIVE_INT,
    PYPY,
    SMALL_INT,
    STRING,
    STRUCTURED_LIST,
    TRUE,
    Input,
    Limits,
    call_converter,
    check_buffer,
    end_of_input,
    find_converter,
    int_limit_error,
    missing_marker,
    parse_loads_custom_types,
    store_item,
    too_deep,
    unexpected_keyword,
    unknown_custom_type,
)
from vezuvir.exceptions import DeserializationError

_unpack_f64 = struct.Struct(">d").unpack_from

if PYPY:
    import cffi

    _ffi = cffi.FFI()
    # Offsets in the scratch double of the bytes of a big-endian one, first to last.
    _F64_ORDER = tuple(range(8)) if sys.byteorder == "big" else tuple(range(7, -1, -1))
    _O0, _O1, _O2, _O3, _O4, _O5, _O6, _O7 = _F64_ORDER
# The eight elements of a packed bool byte, most significant bit first.
_BITS = [tuple(bool(b >> (7 - i) & 1) for i in range(8)) for b in range(256)]
# A list (the extension's PyList_New) of more items than this cannot even be allocated.
_MAX_LIST = sys.maxsize // 8


def long_varint(data, end, pos, base):
    """The long form of a varint, `pos` just past its FF: (value, position after the
    closing FF). Values beyond 2**64 - 1 wrap, as the extension's 64-bit reader does."""
    # Seven digits stay below 2**63: plain machine ints, which PyPy's JIT keeps unboxed,
    # where the wrapping mask would make every step arithmetic on arbitrary-size ints.
    value = base
    weight = 1
    for _ in range(7):
        if pos >= end:
            raise end_of_input()
        digit = data[pos]
        pos += 1
        if digit == ESCAPE:
            return value, pos
        value += digit * weight
        weight *= base
    return _wide_varint(data, end, pos, base, value, weight)


def _wide_varint(data, end, pos, base, value, weight):
    while pos < end:
        digit = data[pos]
        pos += 1
        if digit == ESCAPE:
            return value & MAX_U64, pos
        value = (value + digit * weight) & MAX_U64
        weight = (weight * base) & MAX_U64
    raise end_of_input()


def digits_value(digits, powers=None):
    """Σ d_i * 255**i over base-255 digits (least significant first), exactly. Long runs
    are split in halves so that the work stays near that of a few multiplications; the
    powers of 255 that the halves share are computed once per number (`powers`)."""
    n = len(digits)
    if n <= 32:
        value = 0
        for i in range(n - 1, -1, -1):
            value = value * 255 + digits[i]
        return value
    if powers is None:
        powers = {}
    half = n // 2
    weight = powers.get(half)
    if weight is None:
        weight = powers[half] = 255**half
    return digits_value(digits[:half], powers) + digits_value(digits[half:], powers) * weight


# What `item_at` answers for a value it leaves to `value`.
_MISS = object()


def _sequence_of(n, make):
    """A list of `n` items from `make()`, failing as the extension does where a list of
    that size cannot be allocated at all."""
    if n > _MAX_LIST:
        raise MemoryError
    # As much room as the extension's list takes: where that cannot be had, this fails
    # at once rather than after building items until memory runs out.
    out = [None] * n
    for i in range(n):
        out[i] = make()
    return out


# Row makers by key set, and the rows read so far of key sets that have none yet.
_ROW_MAKERS = {}
_ROWS_SEEN = {}
# Making one costs PyPy 60-350 µs (3 to 32 keys) and saves about 12 ns a key on each row
# built after: key sets get one once this many of their rows have been read.
_ROWS_BEFORE_MAKER = 1024


def _row_maker(key_list, rows):
    """A function that makes a row's dict from a list of its values, in one dict display
    of the keys as constants, which PyPy builds at about twice the speed of entry-by-entry
    stores; None until the key set has had its rows, and for key sets too long."""
    keys = tuple(key_list)
    maker = _ROW_MAKERS.get(keys)
    if maker is not None:
        return maker
    # Both tables are bounded, and so is what they keep of the input.
    if len(keys) > 32 or sum(map(len, keys)) > 1024:
        return None
    seen = _ROWS_SEEN.get(keys, 0) + rows
    if seen < _ROWS_BEFORE_MAKER:
        if len(_ROWS_SEEN) < 4096:
            _ROWS_SEEN[keys] = seen
        return None
    if len(_ROW_MAKERS) >= 256:
        return None
    _ROWS_SEEN.pop(keys, None)
    # The keys enter the source as their repr, a literal of the same text: nothing else
    # of the input does.
    entries = ", ".join(f"{key!r}: values[{i}]" for i, key in enumerate(keys))
    namespace = {}
    exec(f"def make(values):\n    return {{{entries}}}\n", namespace)
    maker = _ROW_MAKERS[keys] = namespace["make"]
    return maker


class Decoder:
    """The whole-buffer decoder of `load_bytes`: every string read in full enters `strings`,
    the back-reference table, in stream order."""

    def __init__(self, data, use_tuples, converters, limits, start=0):
        self.data = data
        self.end = len(data)
        # Where the encoding starts (a record of a log): positions in messages count from it.
        self.start = start
        self.pos = start + len(MARKER)
        self.strings = []
        self.use_tuples = use_tuples
        self.converters = converters
        self.limits = limits
        self.depth = 0
        self.max_depth = min(MAX_DEPTH, sys.getrecursionlimit())
        # PyPy: scratch memory of the caller's own, where a float's bytes are put in the
        # machine's order and read back as a double (twice as fast there as struct).
        self.f64_bytes = None
        self.f64 = None

    if PYPY:

        def read_f64(self, pos):
            """The big-endian double at `pos` (bounds checked by the caller)."""
            scratch = self.f64_bytes
            if scratch is None:
                scratch = self.f64_bytes = _ffi.new("unsigned char[8]")
                self.f64 = _ffi.cast("double *", scratch)
            data = self.data
            scratch[_O0] = data[pos]
            scratch[_O1] = data[pos + 1]
            scratch[_O2] = data[pos + 2]
            scratch[_O3] = data[pos + 3]
            scratch[_O4] = data[pos + 4]
            scratch[_O5] = data[pos + 5]
            scratch[_O6] = data[pos + 6]
            scratch[_O7] = data[pos + 7]
            return self.f64[0]

    else:

        def read_f64(self, pos):
            """The big-endian double at `pos` (bounds checked by the caller)."""
            return _unpack_f64(self.data, pos)[0]

    def back_reference(self, index):
        strings = self.strings
        if index < len(strings):
            return strings[index]
        raise DeserializationError("Corrupted data")

    # --- leaf readers -----------------------------------------------------------------

    def varint_at(self, pos, base=255):
        """(the varint at `pos`, the position after it); base 254 for a key length."""
        if pos >= self.end:
            raise end_of_input()
        data = self.data
        first = data[pos]
        if first != ESCAPE:
            return first, pos + 1
        # Up to two digits in line (table indices and lengths below 65,000): the loop of
        # `long_varint` is a call of its own, which costs PyPy more.
        if pos + 3 < self.end:
            d0 = data[pos + 1]
            if d0 == ESCAPE:
                return base, pos + 2
            d1 = data[pos + 2]
            if d1 == ESCAPE:
                return base + d0, pos + 3
            if data[pos + 3] == ESCAPE:
                return base + d0 + base * d1, pos + 4
        return long_varint(data, self.end, pos + 1, base)

    def varint(self):
        value, self.pos = self.varint_at(self.pos)
        return value

    def count(self, min_item_bytes):
        """An item count, refused when the rest of the input cannot hold that many items."""
        n = self.varint()
        if n > (self.end - self.pos) // min_item_bytes:
            raise end_of_input()
        return n

    def text(self, start, n):
        """The str of `n` UTF-8 bytes at `start`."""
        try:
            # Not str(bytes, "utf-8"): on PyPy that lets encoded surrogates through.
            return self.data[start : start + n].decode("utf-8")
        except UnicodeDecodeError:
            pass
        raise DeserializationError(
            f"Corrupted data: invalid UTF-8 in string at position {start - self.start}"
        )

    def string(self):
        """A string value's body (varint length, bytes), entered in the table."""
        n = self.varint()
        pos = self.pos
        if n > self.end - pos:
            raise end_of_input()
        self.pos = pos + n
        text = self.text(pos, n) if n else ""
        self.strings.append(text)
        return text

    def body_at(self, pos, base):
        """(start, length, end) of the string whose length field is at `pos`: a varint
        (base 255) of a string-list element, or the key_varint (base 254) of a literal dict
        key; a leading ASCII marker is left out of start and length."""
        n, pos = self.varint_at(pos, base)
        if n > self.end - pos:
            raise end_of_input()
        if n and self.data[pos] == ASCII_MARKER:
            return pos + 1, n - 1, pos + n
        return pos, n, pos + n

    def marked_string(self, base):
        """The str of `body_at` at `pos`; not entered anywhere."""
        start, n, self.pos = self.body_at(self.pos, base)
        return self.text(start, n) if n else ""

    def dict_key(self):
        """A key of a `Dict`, as `key_at` reads it."""
        key, self.pos = self.key_at(self.pos)
        return key

    # The readers below take a position and return (result, position after it): in the
    # container loops the position stays a local, and the JIT, which inlines these, builds
    # no tuple. Each is free of loops for that reason; long forms go to separate functions.

    def string_at(self, pos):
        """A string value's body at `pos` (its varint length), entered in the table."""
        n, pos = self.varint_at(pos)
        if n > self.end - pos:
            raise end_of_input()
        text = self.text(pos, n) if n else ""
        self.strings.append(text)
        return text, pos + n

    def key_at(self, pos):
        """A key of a `Dict` at `pos`: a key back-reference (254, varint index), or a
        literal key that enters the table."""
        if pos >= self.end:
            raise end_of_input()
        if self.data[pos] == KEY_POINTER:
            index, pos = self.varint_at(pos + 1)
            return self.back_reference(index), pos
        start, n, pos = self.body_at(pos, 254)
        key = self.text(start, n) if n else ""
        self.strings.append(key)
        return key, pos

    def item_at(self, pos):
        """The value at `pos`: the commonest leaves right here, the rest by `value`."""
        data = self.data
        if pos < self.end:
            flag = data[pos]
            if flag >= SMALL_INT:
                return flag - SMALL_INT, pos + 1
            if flag == ASCII_STRING or flag == STRING:
                return self.string_at(pos + 1)
            if flag == POINTER1:
                if pos + 2 > self.end:
                    raise end_of_input()
                return self.back_reference(data[pos + 1]), pos + 2
            if flag == POINTER2:
                if pos + 3 > self.end:
                    raise end_of_input()
                return self.back_reference(data[pos + 1] << 8 | data[pos + 2]), pos + 3
            if flag == FLOAT:
                if pos + 9 > self.end:
                    raise end_of_input()
                return self.read_f64(pos + 1), pos + 9
            if flag == NONE:
                return None, pos + 1
            if flag == TRUE:
                return True, pos + 1
            if flag == FALSE:
                return False, pos + 1
            if flag == POSITIVE_INT:
                return self.integer_at(pos + 1, False)
            if flag == NEGATIVE_INT:
                return self.integer_at(pos + 1, True)
        # Containers and the rest: the caller reads them with `reader_at`.
        return _MISS, pos

    def reader_at(self, pos):
        """The method that reads the value at `pos`, with `pos` set for it: a list or dict
        reader itself, so that the loops of structured lists call it directly, without
        `value`'s dispatch; `value` for the rest."""
        if pos < self.end:
            flag = self.data[pos]
            if flag == DICT:
                self.pos = pos + 1
                return self.dict
            if flag == LIST:
                self.pos = pos + 1
                return self.list
        self.pos = pos
        return self.value

    def integer_at(self, pos, negative):
        """The varint magnitude after `PositiveInt`/`NegativeInt`, exactly."""
        data = self.data
        end = self.end
        if pos >= end:
            raise end_of_input()
        first = data[pos]
        if first != ESCAPE:
            return (-first if negative else first), pos + 1
        # Up to four digits in line (ids, counts, offsets: below 255**4); longer ones, and
        # any that the input cuts short, out of line. Only the terminator is 255.
        if pos + 5 < end:
            d0 = data[pos + 1]
            if d0 != ESCAPE:
                d1 = data[pos + 2]
                if d1 == ESCAPE:
                    value = 255 + d0
                    return (-value if negative else value), pos + 3
                d2 = data[pos + 3]
                if d2 == ESCAPE:
                    value = 255 + d0 + 255 * d1
                    return (-value if negative else value), pos + 4
                d3 = data[pos + 4]
                if d3 == ESCAPE:
                    value = 255 + d0 + 255 * d1 + 65025 * d2
                    return (-value if negative else value), pos + 5
                value = 255 + d0 + 255 * d1 + 65025 * d2 + 16581375 * d3
                if data[pos + 5] == ESCAPE:
                    return (-value if negative else value), pos + 6
                # Up to eight (every int64: ids, timestamps in ns) in line too: the loop
                # of `long_integer` is a call of its own, which costs PyPy more.
                if pos + 9 < end:
                    value += 4228250625 * data[pos + 5]
                    d5 = data[pos + 6]
                    if d5 == ESCAPE:
                        return (-value if negative else value), pos + 7
                    value += 1078203909375 * d5
                    d6 = data[pos + 7]
                    if d6 == ESCAPE:
                        return (-value if negative else value), pos + 8
                    value += 274941996890625 * d6
                    d7 = data[pos + 8]
                    if d7 == ESCAPE:
                        return (-value if negative else value), pos + 9
                    if data[pos + 9] == ESCAPE:
                        value += 70110209207109375 * d7
                        return (-value if negative else value), pos + 10
        value = self.long_integer(pos + 1, negative)
        return value, self.pos

    def float(self):
        pos = self.pos
        if pos + 8 > self.end:
            raise end_of_input()
        self.pos = pos + 8
        return self.read_f64(pos)

    def bytes(self):
        n = self.varint()
        pos = self.pos
        if n > self.end - pos:
            raise end_of_input()
        self.pos = pos + n
        return self.data[pos : pos + n]

    def integer(self, negative):
        """The varint magnitude after `PositiveInt`/`NegativeInt`, exactly, however long."""
        data = self.data
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        first = data[pos]
        pos += 1
        if first != ESCAPE:
            self.pos = pos
            return -first if negative else first
        return self.long_integer(pos, negative)

    def long_integer(self, pos, negative):
        """The long form of an int's magnitude, `pos` just past its FF."""
        data = self.data
        # Up to eight digits (every int64) in a small loop; longer runs below.
        value = 255
        weight = 1
        for at in range(pos, min(pos + 9, self.end)):
            digit = data[at]
            if digit == ESCAPE:
                self.pos = at + 1
                return -value if negative else value
            value += digit * weight
            weight *= 255
        stop = data.find(b"\xff", pos)
        if stop < 0:
            self.pos = self.end
            raise end_of_input()
        self.pos = stop + 1
        # Combining the digits costs more than linear time: the limit is tested on their
        # count first (a digit carries more than 7 bits), and exactly on the result.
        limits = self.limits
        bits = limits.int_bits
        if bits is not None and stop - pos > bits // 7 + 2:
            raise int_limit_error(limits.int_digits, DeserializationError, "deserialize")
        magnitude = 255 + digits_value(data[pos:stop])
        if bits is not None and magnitude.bit_length() > bits:
            raise int_limit_error(limits.int_digits, DeserializationError, "deserialize")
        return -magnitude if negative else magnitude

    def pointer(self, width):
        pos = self.pos
        if self.end - pos < width:
            raise end_of_input()
        self.pos = pos + width
        if width == 1:
            return self.back_reference(self.data[pos])
        return self.back_reference(int.from_bytes(self.data[pos : pos + width], "big"))

    # --- values -----------------------------------------------------------------------

    def value(self):
        """Decodes the value whose flag is at `pos` and leaves `pos` just past it."""
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        flag = self.data[pos]
        self.pos = pos + 1
        if flag >= SMALL_INT:
            return flag - SMALL_INT
        if flag == ASCII_STRING or flag == STRING:
            return self.string()
        if flag == POINTER1:
            return self.pointer(1)
        if flag == DICT:
            return self.dict()
        if flag == FLOAT:
            return self.float()
        if flag == LIST:
            return self.list()
        if flag <= EMPTY_DICT:
            if flag == EMPTY_STRING:
                return ""
            if flag == EMPTY_BYTES:
                return b""
            if flag == TRUE:
                return True
            if flag == FALSE:
                return False
            if flag == NONE:
                return None
            if flag == EMPTY_LIST:
                return () if self.use_tuples else []
            return {}
        if flag == POSITIVE_INT:
            return self.integer(False)
        if flag == NEGATIVE_INT:
            return self.integer(True)
        if flag == STRUCTURED_LIST:
            return self.structured_list()
        if flag == CONSISTENT_LIST:
            return self.consistent_list()
        if flag == BYTES:
            return self.bytes()
        if flag == ANY_KEY_DICT:
            return self.any_key_dict()
        if POINTER1 < flag <= POINTER4:
            return self.pointer(flag - POINTER1 + 1)
        if flag == LARGE_POINTER:
            return self.back_reference(self.varint())
        if flag == CUSTOM:
            return self.custom()
        raise DeserializationError(f"Corrupted data: unexpected flag {flag}")

    def item(self):
        """`value` with the commonest leaves of lists and dicts read right here."""
        value, pos = self.item_at(self.pos)
        if value is _MISS:
            return self.reader_at(pos)()
        self.pos = pos
        return value

    def enter(self):
        """One level deeper; RecursionError past the interpreter's recursion limit, as a
        call per level would raise it (dicts and lists nest without one), or MAX_DEPTH."""
        depth = self.depth + 1
        if depth > self.max_depth:
            raise too_deep(" while decoding nested data")
        self.depth = depth

    def list(self):
        return self.nested(False)

    def dict(self):
        return self.nested(True)

    def nested(self, is_dict):
        """The dict (`is_dict`) or list whose count is at `pos`, and every dict and list
        inside it, with a stack of its own rather than a call per level, which costs PyPy
        more than building the container (the other values go through `value`). Reads,
        checks and errors come in the order the nesting calls would give them."""
        self.enter()
        n = self.count(2 if is_dict else 1)
        data = self.data
        end = self.end
        key_at = self.key_at
        item_at = self.item_at
        use_tuples = self.use_tuples
        # The containers being filled around the current one: (container, is_dict, items
        # left, key of the current one in it), four entries each.
        stack = []
        out = {} if is_dict else []
        left = n
        key = None
        pos = self.pos
        while True:
            # Each kind has a loop of its own for its leaves, which the JIT compiles for it
            # alone; a nested container, or any other value, leaves it.
            if is_dict:
                while left:
                    key, pos = key_at(pos)
                    value, pos = item_at(pos)
                    if value is _MISS:
                        break
                    out[key] = value
                    left -= 1
            else:
                while left:
                    value, pos = item_at(pos)
                    if value is _MISS:
                        break
                    out.append(value)
                    left -= 1
            if left:
                left -= 1
                flag = data[pos] if pos < end else -1
                if flag == DICT or flag == LIST:
                    self.pos = pos + 1
                    stack.append(out)
                    stack.append(is_dict)
                    stack.append(left)
                    stack.append(key)
                    is_dict = flag == DICT
                    self.enter()
                    left = self.count(2 if is_dict else 1)
                    pos = self.pos
                    out = {} if is_dict else []
                    continue
                self.pos = pos
                value = self.value()
                pos = self.pos
            else:
                # The current container is complete, and goes into the one around it.
                self.depth -= 1
                value = out
                if use_tuples and not is_dict:
                    value = tuple(value)
                if not stack:
                    self.pos = pos
                    return value
                key = stack.pop()
                left = stack.pop()
                is_dict = stack.pop()
                out = stack.pop()
            if is_dict:
                out[key] = value
            else:
                out.append(value)

    def any_key_dict(self):
        self.enter()
        n = self.count(2)
        out = {}
        for _ in range(n):
            key = self.value()
            store_item(out, key, self.item())
        self.depth -= 1
        return out

    def structured_list(self):
        """<varint rows R> <varint keys K> (key value)*K [value*K]*(R-1): R dicts of the K
        keys. With R = 0 row 0 is still read, so later strings keep their numbers."""
        self.enter()
        rows = self.varint()
        keys = self.varint()
        if not keys:
            self.limits.take_free_elements(rows)
            out = _sequence_of(rows, dict)
            self.depth -= 1
            return tuple(out) if self.use_tuples else out
        rest = self.end - self.pos
        if keys > rest // 2 or (rows > 1 and rows - 1 > (rest - 2 * keys) // keys):
            raise end_of_input()
        value = self.value
        item = self.item
        first = {}
        key_list = []
        str_keys = True
        for _ in range(keys):
            key = value()
            if type(key) is str:
                first[key] = item()
            else:
                store_item(first, key, item())
                str_keys = False
            key_list.append(key)
        out = [first] if rows else []
        maker = _row_maker(key_list, rows) if str_keys and rows > 8 else None
        if maker is not None:
            item_at = self.item_at
            pos = self.pos
            values = [None] * keys
            for _ in range(rows - 1):
                for j in range(keys):
                    value, pos = item_at(pos)
                    if value is _MISS:
                        value = self.reader_at(pos)()
                        pos = self.pos
                    values[j] = value
                out.append(maker(values))
            self.pos = pos
        elif str_keys:
            item_at = self.item_at
            pos = self.pos
            for _ in range(rows - 1):
                row = {}
                for key in key_list:
                    value, pos = item_at(pos)
                    if value is _MISS:
                        value = self.reader_at(pos)()
                        pos = self.pos
                    row[key] = value
                out.append(row)
            self.pos = pos
        else:
            for _ in range(rows - 1):
                row = {}
                for key in key_list:
                    store_item(row, key, item())
                out.append(row)
        self.depth -= 1
        return tuple(out) if self.use_tuples else out

    def packed_header(self):
        """(element type, count) of a consistent-type list, `pos` just after its flag."""
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        self.pos = pos + 1
        return self.data[pos], self.varint()

    def consistent_list(self):
        """<element type> <varint count n> <n packed elements>."""
        element_type, n = self.packed_header()
        if element_type == NONE:
            self.limits.take_free_elements(n)
            if n > _MAX_LIST:
                raise MemoryError
            out = [None] * n
        elif element_type == BOOL:
            out = self.bool_list(n)
        elif element_type == FLOAT:
            out = self.float_list(n)
        elif element_type == STRING:
            out = self.str_list(n)
        elif element_type == BYTES:
            out = self.bytes_list(n)
        else:
            raise TypeError("Unexpected consistent list type")
        return tuple(out) if self.use_tuples else out

    def bool_list(self, n):
        block = (n + 7) // 8
        pos = self.pos
        if block > self.end - pos:
            raise end_of_input()
        self.pos = pos + block
        out = []
        for byte in self.data[pos : pos + block]:
            out.extend(_BITS[byte])
        del out[n:]
        return out

    def float_list(self, n):
        pos = self.pos
        if n > (self.end - pos) // 8:
            raise end_of_input()
        self.pos = pos + 8 * n
        return list(struct.unpack_from(">%dd" % n, self.data, pos))

    def str_list(self, n):
        if n > self.end - self.pos:
            raise end_of_input()
        out = []
        strings = self.strings
        for _ in range(n):
            text = self.marked_string(255)
            strings.append(text)
            out.append(text)
        return out

    def bytes_list(self, n):
        if n > self.end - self.pos:
            raise end_of_input()
        return [self.bytes() for _ in range(n)]

    def custom(self):
        self.enter()
        identifier = self.value()
        payload = self.value()
        converter = find_converter(self.converters, identifier)
        if converter is None:
            raise unknown_custom_type(identifier)
        self.depth -= 1
        return call_converter(converter, payload)


def load_bytes(*args, **kwargs):
    """deserializes quelt"""
    buffer = None
    by_keyword = False
    use_tuples = stop_gc = ignore_extra_data = False
    converters = None
    limits = Limits()
    for name, value in kwargs.items():
        if name == "buffer":
            check_buffer(value)
            buffer = value
            by_keyword = True
        elif name == "use_tuples":
            use_tuples = bool(value)
        elif name == "stop_gc":
            stop_gc = bool(value)
        elif name == "ignore_extra_data":
            ignore_extra_data = bool(value)
        elif name == "custom_types":
            converters = parse_loads_custom_types(value)
        elif not limits.parse(name, value):
            raise unexpected_keyword("load_bytes", name)
    if by_keyword:
        if args:
            raise TypeError("load_bytes() got multiple values for argument 'buffer'")
    elif len(args) != 1:
        raise TypeError(
            f"load_bytes() expected exactly 1 positional argument, but {len(args)} were provided"
        )
    else:
        buffer = args[0]
        check_buffer(buffer)
    paused = stop_gc and gc.isenabled()
    if paused:
        gc.disable()
    try:
        source = Input(buffer)
        try:
            data = source.data
            if not data.startswith(MARKER):
                raise missing_marker()
            decoder = Decoder(data, use_tuples, converters, limits)
            root = decoder.value()
        finally:
            source.release()
    finally:
        if paused:
            gc.enable()
    if not ignore_extra_data and decoder.pos != len(data):
        raise DeserializationError(
            f"Unexpected extra data, from position {decoder.pos}. "
            "If you want to ignore it use the flag `ignore_extra_data`"
        )
    return root
