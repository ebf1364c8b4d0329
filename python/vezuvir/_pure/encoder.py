"""`dump_bytes`: the walk over the object tree and the buffers it writes into.

The walk (`Encoder`) is written once over two primitives, `push` (one byte) and `extend`
(a run of bytes), and a few composite writes built from them. The writer-backed encoder
keeps exactly that split, because where a flush or a direct write falls depends on it;
the encoders that build one `bytes` object override the composites to append whole
groups at once.
"""

import datetime
import struct

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
    MAX_INLINE_INT,
    NEGATIVE_INT,
    NONE,
    POINTER1,
    POSITIVE_INT,
    PYPY,
    SMALL_INT,
    STRING,
    STRUCTURED_LIST,
    TRUE,
    DEFAULT_MAX_INT_DIGITS,
    MIN_MAX_INT_DIGITS,
    int_limit_bits,
    int_limit_error,
    parse_limit,
    pretty_type,
    too_deep,
    unexpected_keyword,
)
from vezuvir.exceptions import SerializationError
from vezuvir.serialize.settings import CustomType

DEFAULT_FLUSH_THRESHOLD = 10485760
DEFAULT_DIRECT_WRITE_THRESHOLD = 5242880
_MAX_SIZE_T = (1 << 64) - 1
# Magnitudes up to this fit a 64-bit int (-2**63 included), whose conversion is cheap.
_MAX_I64_MAGNITUDE = 1 << 63

_pack_f64 = struct.Struct(">d").pack
_DATETIME = datetime.datetime
_ISOFORMAT = datetime.datetime.isoformat
# One-byte `bytes` objects, so that a byte can be appended where only runs are taken.
BYTE = [bytes((i,)) for i in range(256)]


def varint_bytes(value, base=255):
    """The varint of `value` (base 255; 254 for literal key lengths): the byte itself below
    the base, else FF, the digits of value - base (least significant first), FF."""
    # No loop here, so that the JIT inlines the common case into its callers.
    if value < base:
        return BYTE[value]
    return _long_varint(value, base)


def _long_varint(value, base):
    rest = value - base
    if rest.bit_length() > 4096:
        return b"\xff" + _long_digits(rest, base) + b"\xff"
    out = bytearray(b"\xff")
    while rest:
        rest, digit = divmod(rest, base)
        out.append(digit)
    out.append(ESCAPE)
    return bytes(out)


def _long_digits(value, base):
    """Base-`base` digits of a huge value, least significant first, without the zeros above
    the most significant one. Halving by powers of the base keeps the work near that of a
    few multiplications of the whole number, where digit-by-digit division is quadratic."""
    powers = [base]  # powers[i] = base ** (2 ** i)
    while powers[-1] <= value:
        powers.append(powers[-1] * powers[-1])

    def digits(x, level):
        # The 2 ** level digits of x < base ** (2 ** level).
        if level <= 3:
            out = bytearray()
            for _ in range(1 << level):
                x, digit = divmod(x, base)
                out.append(digit)
            return bytes(out)
        high, low = divmod(x, powers[level - 1])
        return digits(low, level - 1) + digits(high, level - 1)

    return digits(value, len(powers) - 1).rstrip(b"\x00")


def _is_subtype(cls, base):
    # Membership in the MRO, as the interpreter's own subtype test, without the metaclass
    # hooks that issubclass would call.
    return base in cls.__mro__


class _Registration:
    __slots__ = ("cls", "identifier", "converter", "include_subclasses", "one_way")

    def __init__(self, cls, identifier, converter, include_subclasses, one_way):
        self.cls = cls
        self.identifier = identifier
        self.converter = converter
        self.include_subclasses = include_subclasses
        self.one_way = one_way


class _CustomTypes:
    """The `custom_types` of one call: an exact-type index, then the registrations made
    with `include_subclasses` in the caller's order, so the choice never depends on hashing."""

    __slots__ = ("exact", "with_subclasses")

    def __init__(self, value):
        if not isinstance(value, dict):
            raise TypeError("custom_types must be a dict")
        self.exact = {}
        self.with_subclasses = []
        for cls, registration in list(dict.items(value)):
            if not isinstance(cls, type):
                raise TypeError("custom_types key must be a valid type")
            if type(registration) is not CustomType:
                raise TypeError("custom_types value must be of type CustomType")
            record = _Registration(
                cls,
                registration.identifier,
                registration.converter,
                registration.include_subclasses is True,
                registration.one_way is True,
            )
            if record.include_subclasses:
                self.with_subclasses.append(record)
            self.exact[cls] = record

    def find(self, cls):
        record = self.exact.get(cls)
        if record is not None:
            return record
        for record in self.with_subclasses:
            if _is_subtype(cls, record.cls):
                return record
        return None


def _threshold(value, name):
    if not _is_number(value):
        raise TypeError(f"Expected {name} to be of type `int` but got `{pretty_type(value)}`")
    if not isinstance(value, int) or not 0 <= int.__int__(value) <= _MAX_SIZE_T:
        raise TypeError(
            f"Expected {name} to be a positive integer smaller than 2**64 "
            f"(max: {_MAX_SIZE_T})"
        )
    return int.__int__(value)


def _is_number(value):
    # What the interpreter counts as a number: it converts to int or float, or is complex.
    cls = type(value)
    return (
        hasattr(cls, "__index__")
        or hasattr(cls, "__int__")
        or hasattr(cls, "__float__")
        or isinstance(value, complex)
    )


def _same_type(seq, cls):
    for obj in seq:
        if type(obj) is not cls:
            return False
    return True


def _same_keys(row, first, k):
    """Whether `row` has exactly the keys of `first`, each an exact str, in any order."""
    if len(row) != k:
        return False
    for key in row:
        if type(key) is not str or key not in first:
            return False
    return True


if PYPY:
    from __pypy__ import strategy as _dict_strategy

    _each_key_checked = _same_keys
    # PyPy stores a dict in these forms only while every key is an exact str.
    _EXACT_STR_KEYS = ("UnicodeDictStrategy", "JsonDictStrategy")

    def _same_keys(row, first, k):  # noqa: F811 - the same test, faster where PyPy can tell
        if len(row) != k:
            return False
        if _dict_strategy(row) in _EXACT_STR_KEYS:
            return row.keys() == first.keys()
        return _each_key_checked(row, first, k)


def _changed(container):
    kind = "dict" if isinstance(container, dict) else "list"
    return SerializationError(f"{kind} changed during serialization")


class Encoder:
    """The walk over one object tree, writing through `push` and `extend`.

    Python code can run in the middle of the walk when a writer, converters or dates are in
    play (`python_may_run`): it may change a container being written. Each container is then
    checked against the count already written before every item, and a change fails the call
    with SerializationError instead of writing a count that disagrees with the items.
    """

    #: `max_int_digits`, and the largest magnitude in bits that it lets through.
    int_digits = DEFAULT_MAX_INT_DIGITS
    int_bits = int_limit_bits(DEFAULT_MAX_INT_DIGITS)

    def __init__(self, serialize_dates, custom_types, python_may_run):
        self.serialize_dates = serialize_dates
        self.custom_types = custom_types
        self.python_may_run = python_may_run
        self.depth = 0
        # str -> back-reference index; equal strings share one index, whatever the object.
        self.cache = {}

    # --- primitives and composite writes, in the exact pieces a writer sees -------------

    def push(self, byte):
        raise NotImplementedError

    def extend(self, run):
        raise NotImplementedError

    def varint(self, value, base=255):
        for byte in varint_bytes(value, base):
            self.push(byte)

    def flag_varint(self, flag, value):
        self.push(flag)
        self.varint(value)

    def flagged(self, flag, payload):
        """flag, varint length, payload: a string written in full, or bytes."""
        self.push(flag)
        self.varint(len(payload))
        self.extend(payload)

    def pointer(self, index):
        """The back-reference of a value string: the narrowest big-endian index."""
        if index <= 0xFF:
            self.extend(bytes((POINTER1, index)))
        elif index <= 0xFFFF:
            self.push(POINTER1 + 1)
            self.extend(index.to_bytes(2, "big"))
        elif index <= 0xFFFFFF:
            self.extend(bytes((POINTER1 + 2,)) + index.to_bytes(3, "big"))
        elif index <= 0xFFFFFFFF:
            self.push(POINTER1 + 3)
            self.extend(index.to_bytes(4, "big"))
        else:
            self.flag_varint(LARGE_POINTER, index)

    def float(self, value):
        self.push(FLOAT)
        self.extend(_pack_f64(value))

    def key_pointer(self, index):
        self.push(KEY_POINTER)
        self.varint(index)

    def literal_key(self, utf8, ascii):
        if ascii:
            self.varint(len(utf8) + 1, 254)
            self.push(ASCII_MARKER)
        else:
            self.varint(len(utf8), 254)
        if utf8:
            self.extend(utf8)

    def packed_header(self, element_type, count):
        self.extend(bytes((CONSISTENT_LIST, element_type)))
        self.varint(count)

    # --- the walk ---------------------------------------------------------------------

    def string(self, text):
        """An exact str as a value: empty, a back-reference, or in full (entering the
        cache first, so that its index is the one readers count)."""
        if not text:
            self.push(EMPTY_STRING)
            return
        cache = self.cache
        index = cache.get(text)
        if index is not None:
            self.pointer(index)
            return
        utf8 = text.encode("utf-8")
        cache[text] = len(cache)
        self.flagged(ASCII_STRING if text.isascii() else STRING, utf8)

    def integer(self, value):
        if 0 <= value <= MAX_INLINE_INT:
            self.push(SMALL_INT + value)
            return
        # The magnitude first: an int over the limit fails before any byte is written.
        if value >= 0:
            flag, run = POSITIVE_INT, self.magnitude(value)
        else:
            flag, run = NEGATIVE_INT, self.magnitude(-value)
        self.push(flag)
        for byte in run:
            self.push(byte)

    def magnitude(self, value):
        """The varint of an int's magnitude; one beyond 64 bits is first checked against
        `max_int_digits`, as its conversion costs more than linear time."""
        if value > _MAX_I64_MAGNITUDE:
            bits = self.int_bits
            if bits is not None and value.bit_length() > bits:
                raise int_limit_error(self.int_digits, SerializationError, "serialize")
        return varint_bytes(value)

    def encode(self, obj):
        cls = type(obj)
        if cls is str:
            self.string(obj)
        elif cls is bool:
            self.push(TRUE if obj else FALSE)
        elif cls is int:
            self.integer(obj)
        elif cls is list or cls is tuple:
            if obj:
                self.sequence(obj)
            else:
                self.push(EMPTY_LIST)
        elif cls is dict:
            if obj:
                self.dict(obj)
            else:
                self.push(EMPTY_DICT)
        elif cls is float:
            self.float(obj)
        elif cls is bytes:
            if obj:
                self.flagged(BYTES, obj)
            else:
                self.push(EMPTY_BYTES)
        elif obj is None:
            self.push(NONE)
        else:
            self.other(obj)

    def other(self, obj):
        """Dates and custom types, in the order `serialize_dates` selects, or an error."""
        cls = type(obj)
        is_datetime = cls is _DATETIME or _is_subtype(cls, _DATETIME)
        if self.serialize_dates and is_datetime:
            self.date(obj)
            return
        if self.custom_types is not None:
            record = self.custom_types.find(cls)
            if record is not None:
                self.custom(obj, record)
                return
        if is_datetime:
            raise SerializationError("Unexpected type: datetime, with flag serialize_dates disabled")
        raise SerializationError(f"Unexpected type: {pretty_type(obj)}")

    def date(self, obj):
        # The class's own method, so that a subclass's override is not used.
        try:
            text = _ISOFORMAT(obj)
        except Exception as error:
            if isinstance(error, MemoryError):
                raise
            cause = error
        else:
            if type(text) is str:
                self.string(text)
                return
            cause = None
        raise SerializationError("Failed to serialize date") from cause

    def custom(self, obj, record):
        # A converter may return another object of its own type: bounded like nesting.
        self.enter(" while serializing a custom type")
        if not record.one_way:
            self.push(CUSTOM)
            self.encode(record.identifier)
        try:
            converted = record.converter(obj)
        except Exception as error:
            if isinstance(error, MemoryError):
                raise
            cause = error
        else:
            self.encode(converted)
            self.depth -= 1
            return
        raise SerializationError("Failed to serialize custom type") from cause

    def item(self, obj):
        """One item of a container. Scalars are written here; for a non-empty list, tuple or
        dict the writer is returned, for the container's loop to call: a level of nesting
        then costs one Python call, as the interpreter's recursion limit counts them."""
        cls = type(obj)
        if cls is str:
            self.string(obj)
        elif cls is int:
            self.integer(obj)
        elif cls is float:
            self.float(obj)
        elif cls is bool:
            self.push(TRUE if obj else FALSE)
        elif obj is None:
            self.push(NONE)
        elif cls is dict:
            if obj:
                return self.dict
            self.push(EMPTY_DICT)
        elif cls is list or cls is tuple:
            if obj:
                return self.sequence
            self.push(EMPTY_LIST)
        else:
            self.encode(obj)
        return None

    def enter(self, where):
        """One level deeper; RecursionError past MAX_DEPTH."""
        depth = self.depth + 1
        if depth > MAX_DEPTH:
            raise too_deep(where)
        self.depth = depth

    #: Whether this encoder writes runs of numbers in one piece (`numbers`).
    has_runs = False

    def sequence(self, seq):
        """A non-empty exact list or tuple: packed when every item is None or every item a
        bool, structured when all are dicts with one key set, else the generic form."""
        self.enter(" while serializing a list")
        n = len(seq)
        first = seq[0]
        first_cls = type(first)
        if n >= 2 and (first is None or first_cls is bool or first_cls is dict):
            if _same_type(seq, first_cls):
                if first is None:
                    self.packed_header(NONE, n)
                    self.depth -= 1
                    return
                if first_cls is bool:
                    self.bool_list(seq, n)
                    self.depth -= 1
                    return
                if self.structured_list(seq, n, first):
                    self.depth -= 1
                    return
        if (
            self.has_runs
            and not self.python_may_run
            and (
                first_cls is float
                or first_cls is int
                or (first_cls is list or first_cls is tuple)
                and first
                and (type(first[0]) is float or type(first[0]) is int)
            )
        ):
            self.numbers(seq, n, first_cls)
            self.depth -= 1
            return
        self.flag_varint(LIST, n)
        item = self.item
        if self.python_may_run:
            is_list = type(seq) is list
            for i in range(n):
                if is_list and len(seq) != n:
                    raise _changed(seq)
                obj = seq[i]
                writer = item(obj)
                if writer is not None:
                    writer(obj)
            if len(seq) != n:
                raise _changed(seq)
        else:
            written = 0
            for obj in seq:
                writer = item(obj)
                if writer is not None:
                    writer(obj)
                written += 1
            if written != n or len(seq) != n:
                raise _changed(seq)
        self.depth -= 1

    def bool_list(self, seq, n):
        self.packed_header(BOOL, n)
        acc = 0
        is_list = type(seq) is list
        for i in range(n):
            # A push may run the writer, which may change the list.
            if is_list and len(seq) != n:
                raise _changed(seq)
            obj = seq[i]
            if obj is True:
                acc = (acc << 1) | 1
            elif obj is False:
                acc <<= 1
            else:
                raise _changed(seq)
            if i & 7 == 7:
                self.push(acc)
                acc = 0
        if n & 7:
            self.push(acc << (8 - (n & 7)))

    def structured_list(self, seq, n, first):
        """Rows of one key set as `StructuredList`; False (nothing written) otherwise."""
        keys = list(first)
        for key in keys:
            if type(key) is not str:
                return False
        k = len(keys)
        for i in range(1, n):
            if not _same_keys(seq[i], first, k):
                return False
        # Its rows count as one more level, as they do in the extension.
        self.enter(" while serializing a list")
        self.flag_varint(STRUCTURED_LIST, n)
        self.varint(k)
        item = self.item
        string = self.string
        if not self.python_may_run:
            for key, value in first.items():
                string(key)
                writer = item(value)
                if writer is not None:
                    writer(value)
            try:
                for i in range(1, n):
                    row = seq[i]
                    for key in keys:
                        value = row[key]
                        writer = item(value)
                        if writer is not None:
                            writer(value)
            except KeyError:
                raise _changed(seq[i]) from None
            self.depth -= 1
            return True
        # Python code may run between two appends: each row is matched again when it is
        # reached, and checked for changes once it has been written.
        is_list = type(seq) is list
        first_keys = dict.fromkeys(keys)
        for i in range(n):
            if is_list and len(seq) != n:
                raise _changed(seq)
            row = seq[i]
            if type(row) is not dict or not _same_keys(row, first_keys, k):
                raise _changed(row if type(row) is dict else seq)
            values = [row[key] for key in keys]
            for p in range(k):
                if i == 0:
                    string(keys[p])
                value = values[p]
                writer = item(value)
                if writer is not None:
                    writer(value)
            if len(row) != k:
                raise _changed(row)
        if is_list and len(seq) != n:
            raise _changed(seq)
        self.depth -= 1
        return True

    def dict(self, obj):
        """A non-empty exact dict: `Dict` when every key is exactly str, else `AnyKeyDict`."""
        self.enter(" while serializing a dict")
        for key in obj:
            if type(key) is not str:
                self.any_key_dict(obj)
                self.depth -= 1
                return
        n = len(obj)
        self.flag_varint(DICT, n)
        cache = self.cache
        item = self.item
        dict_key = self.dict_key
        if self.python_may_run:
            entries = list(obj.items())
            for key, value in entries:
                if len(obj) != n:
                    raise _changed(obj)
                dict_key(key, cache)
                writer = item(value)
                if writer is not None:
                    writer(value)
            if len(obj) != n or len(entries) != n:
                raise _changed(obj)
        else:
            written = 0
            for key, value in obj.items():
                dict_key(key, cache)
                writer = item(value)
                if writer is not None:
                    writer(value)
                written += 1
            if written != n:
                raise _changed(obj)
        self.depth -= 1

    def dict_key(self, key, cache):
        index = cache.get(key)
        if index is not None:
            self.key_pointer(index)
            return
        utf8 = key.encode("utf-8")
        cache[key] = len(cache)
        self.literal_key(utf8, key.isascii())

    def any_key_dict(self, obj):
        n = len(obj)
        self.flag_varint(ANY_KEY_DICT, n)
        encode = self.encode
        entries = list(obj.items())
        written = 0
        for key, value in entries:
            if written == n:
                raise _changed(obj)
            if type(key) is tuple:
                raise SerializationError("Invalid type for dict key: tuple")
            encode(key)
            encode(value)
            written += 1
            if len(obj) != n:
                raise _changed(obj)
        if written != n:
            raise _changed(obj)


class ArrayEncoder(Encoder):
    """Builds the encoding in a bytearray, appending whole groups at once."""

    def __init__(self, serialize_dates, custom_types, python_may_run):
        Encoder.__init__(self, serialize_dates, custom_types, python_may_run)
        self.out = bytearray(MARKER)

    def push(self, byte):
        self.out.append(byte)

    def extend(self, run):
        self.out += run

    def varint(self, value, base=255):
        self.out += varint_bytes(value, base)

    def flag_varint(self, flag, value):
        out = self.out
        out.append(flag)
        out += varint_bytes(value)

    def flagged(self, flag, payload):
        out = self.out
        out.append(flag)
        n = len(payload)
        if n < 255:
            out.append(n)
        else:
            out += varint_bytes(n)
        out += payload

    def pointer(self, index):
        if index <= 0xFF:
            out = self.out
            out.append(POINTER1)
            out.append(index)
        else:
            Encoder.pointer(self, index)

    def float(self, value):
        out = self.out
        out.append(FLOAT)
        out += _pack_f64(value)

    def string(self, text):
        out = self.out
        if not text:
            out.append(EMPTY_STRING)
            return
        cache = self.cache
        index = cache.get(text)
        if index is not None:
            if index <= 0xFF:
                out.append(POINTER1)
                out.append(index)
            else:
                Encoder.pointer(self, index)
            return
        utf8 = text.encode("utf-8")
        cache[text] = len(cache)
        out.append(ASCII_STRING if text.isascii() else STRING)
        n = len(utf8)
        if n < 255:
            out.append(n)
        else:
            out += varint_bytes(n)
        out += utf8

    def dict_key(self, key, cache):
        out = self.out
        index = cache.get(key)
        if index is not None:
            out.append(KEY_POINTER)
            out += varint_bytes(index)
            return
        utf8 = key.encode("utf-8")
        cache[key] = len(cache)
        n = len(utf8)
        if key.isascii():
            out += varint_bytes(n + 1, 254)
            out.append(ASCII_MARKER)
        else:
            out += varint_bytes(n, 254)
        out += utf8

    def integer(self, value):
        out = self.out
        if value >= 0:
            if value <= MAX_INLINE_INT:
                out.append(SMALL_INT + value)
                return
            flag = POSITIVE_INT
        else:
            flag = NEGATIVE_INT
            value = -value
        if value < 255:
            out.append(flag)
            out.append(value)
        else:
            run = self.magnitude(value)
            out.append(flag)
            out += run

    def finish(self):
        return bytes(self.out)


if PYPY:
    import cffi
    from __pypy__.builders import BytesBuilder

    _ffi = cffi.FFI()
    _alloc = _ffi.new_allocator(should_clear_after_alloc=False)

    MAX_I64 = (1 << 63) - 1

    def _put_varint(p, pos, value):
        """Writes the varint of `value` < 2**63 at p[pos]; returns the position after it.
        Eight digits hold any such value; spelled out without a loop, which would keep
        the JIT from inlining this into the loops that call it."""
        if value < 255:
            p[pos] = value
            return pos + 1
        p[pos] = ESCAPE
        rest = value - 255
        end = pos + 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
            if rest:
                p[end] = rest % 255
                rest //= 255
                end += 1
                if rest:
                    p[end] = rest % 255
                    rest //= 255
                    end += 1
                    if rest:
                        p[end] = rest % 255
                        rest //= 255
                        end += 1
                        if rest:
                            end = _put_digits(p, end, rest)
        p[end] = ESCAPE
        return end + 1

    def _put_digits(p, pos, rest):
        while rest:
            p[pos] = rest % 255
            rest //= 255
            pos += 1
        return pos

    def _put_int(p, pos, value):
        """Writes an int of at most 64 bits (magnitude) at p[pos]; returns the position after."""
        if value >= 0:
            if value <= MAX_INLINE_INT:
                p[pos] = SMALL_INT + value
                return pos + 1
            p[pos] = POSITIVE_INT
            return _put_varint(p, pos + 1, value)
        p[pos] = NEGATIVE_INT
        return _put_varint(p, pos + 1, -value)

    class BuilderEncoder(Encoder):
        """Builds the encoding with PyPy's bytes builder, which appends several times
        faster than a bytearray; single bytes go in as one-byte `bytes` objects.

        Floats and runs of numbers are first written into raw scratch memory, where the
        JIT stores each byte with one instruction, and appended from there in one piece:
        struct.pack costs several times more per float."""

        def __init__(self, serialize_dates, custom_types, python_may_run):
            Encoder.__init__(self, serialize_dates, custom_types, python_may_run)
            self.out = BytesBuilder()
            self.out.append(MARKER)
            self.scratch_size = 0
            self.scratch = None
            self.raw = None
            # Made with the first float: small documents without one do not pay for them.
            self.double = None
            self.bits = None

        def scratch_for(self, n):
            """Raw memory for at least `n` bytes, kept for the rest of the call."""
            if n > self.scratch_size:
                size = max(n, 2 * self.scratch_size, 64)
                self.scratch = _alloc("char[]", size)
                self.raw = _ffi.cast("unsigned char *", self.scratch)
                self.scratch_size = size
            return self.raw

        def put_float(self, p, pos, value):
            """Writes `Float` and the big-endian bits of `value` at p[pos:pos + 9]."""
            double = self.double
            if double is None:
                double = self.double = _ffi.new("double[1]")
                self.bits = _ffi.cast("int64_t *", double)
            double[0] = value
            x = self.bits[0]
            p[pos] = FLOAT
            p[pos + 1] = (x >> 56) & 0xFF
            p[pos + 2] = (x >> 48) & 0xFF
            p[pos + 3] = (x >> 40) & 0xFF
            p[pos + 4] = (x >> 32) & 0xFF
            p[pos + 5] = (x >> 24) & 0xFF
            p[pos + 6] = (x >> 16) & 0xFF
            p[pos + 7] = (x >> 8) & 0xFF
            p[pos + 8] = x & 0xFF

        has_runs = True

        # Lists of numbers, and lists of such lists (vectors, coordinates), are written in
        # runs: each run gathers items in scratch memory and is appended in one piece, so
        # that there is no call per item. A run stops at the first item it does not take;
        # that item goes through `item`, and the run starts again after it. Each kind of
        # run has its own loop, which the JIT compiles for that kind alone.

        def numbers(self, seq, n, first_cls):
            if first_cls is float:
                run = self.float_run
            elif first_cls is int:
                run = self.int_run
            else:
                run = self.vector_run
            out = self.out
            out.append(BYTE[LIST])
            out.append(varint_bytes(n))
            at = 0
            try:
                while at < n:
                    at = run(seq, at, n)
                    if at < n:
                        obj = seq[at]
                        writer = self.item(obj)
                        if writer is not None:
                            writer(obj)
                        at += 1
            except IndexError:
                # Shortened under the walk (only a finalizer can run here).
                raise _changed(seq) from None
            if len(seq) != n:
                raise _changed(seq)

        def flush_scratch(self, pos):
            if pos:
                self.out.append(_ffi.unpack(self.scratch, pos))

        def float_run(self, seq, at, n):
            p = self.scratch_for(min(9 * (n - at), 1 << 16))
            size = self.scratch_size
            pos = 0
            while at < n:
                obj = seq[at]
                if type(obj) is not float:
                    break
                if pos + 9 > size:
                    self.flush_scratch(pos)
                    pos = 0
                self.put_float(p, pos, obj)
                pos += 9
                at += 1
            self.flush_scratch(pos)
            return at

        def int_run(self, seq, at, n):
            p = self.scratch_for(min(11 * (n - at), 1 << 16))
            size = self.scratch_size
            pos = 0
            while at < n:
                obj = seq[at]
                if type(obj) is not int or not -MAX_I64 <= obj <= MAX_I64:
                    break
                if pos + 11 > size:
                    self.flush_scratch(pos)
                    pos = 0
                pos = _put_int(p, pos, obj)
                at += 1
            self.flush_scratch(pos)
            return at

        def vector_run(self, seq, at, n):
            """Items that are non-empty lists or tuples of numbers."""
            p = self.scratch_for(1 << 12)
            size = self.scratch_size
            pos = 0
            while at < n:
                obj = seq[at]
                cls = type(obj)
                if cls is not list and cls is not tuple:
                    break
                inner = len(obj)
                if not inner:
                    break
                if pos + 11 + 11 * inner > size:
                    self.flush_scratch(pos)
                    pos = 0
                    p = self.scratch_for(11 + 11 * inner)
                    size = self.scratch_size
                start = pos
                p[pos] = LIST
                pos = _put_varint(p, pos + 1, inner)
                for x in obj:
                    xcls = type(x)
                    if xcls is float:
                        self.put_float(p, pos, x)
                        pos += 9
                    elif xcls is int and -MAX_I64 <= x <= MAX_I64:
                        pos = _put_int(p, pos, x)
                    else:
                        break
                else:
                    at += 1
                    continue
                # Not all numbers: taken back, and written by `item`.
                pos = start
                break
            self.flush_scratch(pos)
            return at

        def push(self, byte):
            self.out.append(BYTE[byte])

        def extend(self, run):
            self.out.append(run)

        def varint(self, value, base=255):
            self.out.append(varint_bytes(value, base))

        def flag_varint(self, flag, value):
            out = self.out
            out.append(BYTE[flag])
            out.append(varint_bytes(value))

        def flagged(self, flag, payload):
            out = self.out
            out.append(BYTE[flag])
            out.append(varint_bytes(len(payload)))
            out.append(payload)

        def pointer(self, index):
            if index <= 0xFF:
                out = self.out
                out.append(BYTE[POINTER1])
                out.append(BYTE[index])
            else:
                Encoder.pointer(self, index)

        def float(self, value):
            p = self.scratch_for(9)
            self.put_float(p, 0, value)
            self.out.append(_ffi.unpack(self.scratch, 9))

        def string(self, text):
            out = self.out
            if not text:
                out.append(BYTE[EMPTY_STRING])
                return
            cache = self.cache
            index = cache.get(text)
            if index is not None:
                if index <= 0xFF:
                    out.append(BYTE[POINTER1])
                    out.append(BYTE[index])
                else:
                    Encoder.pointer(self, index)
                return
            utf8 = text.encode("utf-8")
            cache[text] = len(cache)
            out.append(BYTE[ASCII_STRING if text.isascii() else STRING])
            out.append(varint_bytes(len(utf8)))
            out.append(utf8)

        def dict_key(self, key, cache):
            out = self.out
            index = cache.get(key)
            if index is not None:
                out.append(BYTE[KEY_POINTER])
                out.append(varint_bytes(index))
                return
            utf8 = key.encode("utf-8")
            cache[key] = len(cache)
            n = len(utf8)
            if key.isascii():
                out.append(varint_bytes(n + 1, 254))
                out.append(BYTE[ASCII_MARKER])
            else:
                out.append(varint_bytes(n, 254))
            out.append(utf8)

        def integer(self, value):
            out = self.out
            if 0 <= value <= MAX_INLINE_INT:
                out.append(BYTE[SMALL_INT + value])
            elif -MAX_I64 <= value <= MAX_I64:
                # Flag and varint stored in scratch memory by code the JIT inlines.
                p = self.scratch_for(12)
                out.append(_ffi.unpack(self.scratch, _put_int(p, 0, value)))
            else:
                if value >= 0:
                    flag, run = POSITIVE_INT, self.magnitude(value)
                else:
                    flag, run = NEGATIVE_INT, self.magnitude(-value)
                out.append(BYTE[flag])
                out.append(run)

        def finish(self):
            return self.out.build()

    BytesEncoder = BuilderEncoder
else:
    BytesEncoder = ArrayEncoder


class WriterEncoder(Encoder):
    """Streams the encoding to `writer.write` in chunks: the buffer is flushed once it
    holds `flush_threshold` bytes, and a run of `direct_write_threshold` bytes or more is
    written on its own, after what was buffered before it."""

    def __init__(self, serialize_dates, custom_types, writer, flush_threshold, direct_threshold):
        Encoder.__init__(self, serialize_dates, custom_types, True)
        self.writer = writer
        self.flush_threshold = flush_threshold
        self.direct_threshold = direct_threshold
        self.buffer = bytearray()
        self.extend(MARKER)

    def push(self, byte):
        buffer = self.buffer
        buffer.append(byte)
        if len(buffer) >= self.flush_threshold:
            self.flush()

    def extend(self, run):
        if len(run) < self.direct_threshold:
            buffer = self.buffer
            buffer += run
            if buffer and len(buffer) >= self.flush_threshold:
                self.flush()
        elif run:
            if self.buffer:
                self.flush()
            self.writer.write(bytes(run))

    def flush(self):
        chunk = bytes(self.buffer)
        self.buffer = bytearray()
        self.writer.write(chunk)

    def finish(self):
        if self.buffer:
            self.flush()
        return None


def dump_bytes(*args, **kwargs):
    """serializes quelt"""
    if not kwargs and len(args) == 1:
        encoder = BytesEncoder(False, None, False)
        encoder.encode(args[0])
        return encoder.finish()
    obj = _NOTHING = object()
    serialize_dates = False
    custom_types = None
    writer = _NOTHING
    flush_threshold = DEFAULT_FLUSH_THRESHOLD
    direct_threshold = DEFAULT_DIRECT_WRITE_THRESHOLD
    int_digits = _NOTHING
    for name, value in kwargs.items():
        if name == "obj":
            obj = value
        elif name == "allow_non_string_keys":
            pass
        elif name == "serialize_dates":
            serialize_dates = bool(value)
        elif name == "writer":
            writer = value
        elif name == "flush_threshold":
            flush_threshold = _threshold(value, name)
        elif name == "direct_write_threshold":
            direct_threshold = _threshold(value, name)
        elif name == "custom_types":
            custom_types = _CustomTypes(value)
        elif name == "max_int_digits":
            int_digits = parse_limit(value, name, MIN_MAX_INT_DIGITS)
        else:
            raise unexpected_keyword("dump_bytes", name)
    if obj is not _NOTHING:
        if args:
            raise TypeError("dump_bytes() got multiple values for argument 'obj'")
    elif len(args) != 1:
        raise TypeError(
            f"dump_bytes() expected exactly 1 positional argument, but {len(args)} were provided"
        )
    else:
        obj = args[0]
    if custom_types is not None and not custom_types.exact:
        custom_types = None
    if writer is not _NOTHING:
        encoder = WriterEncoder(serialize_dates, custom_types, writer, flush_threshold, direct_threshold)
    else:
        may_run = serialize_dates or custom_types is not None
        encoder = BytesEncoder(serialize_dates, custom_types, may_run)
    if int_digits is not _NOTHING:
        encoder.int_digits = int_digits
        encoder.int_bits = int_limit_bits(int_digits)
    encoder.encode(obj)
    return encoder.finish()
