"""The walk over the object tree that `dump_bytes` encodes.

The walk (`Encoder`) is written once over two primitives, `push` (one byte) and `extend`
(a run of bytes), and a few composite writes built from them; `outputs` has the encoders
that put those bytes somewhere.
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
    MAX_DEPTH,
    MAX_INLINE_INT,
    NEGATIVE_INT,
    NONE,
    POINTER1,
    POSITIVE_INT,
    PYPY,
    SMALL_INT,
    VALUE_TEXT_LIMIT,
    STRING,
    STRUCTURED_LIST,
    TRUE,
    DEFAULT_MAX_INT_DIGITS,
    int_limit_bits,
    int_limit_error,
    pretty_type,
    too_deep,
)
from vezuvir.exceptions import SerializationError
from vezuvir.serialize.settings import CustomType

# Magnitudes up to this fit a 64-bit int (-2**63 included), whose conversion is cheap.
_MAX_I64_MAGNITUDE = 1 << 63

pack_f64 = struct.Struct(">d").pack
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
    # One or two digits (back-reference indices, lengths below 64 KiB) without the loop,
    # joined from one-byte objects: PyPy makes bytes from a tuple many times slower.
    if rest < base:
        return b"\xff" + BYTE[rest] + b"\xff" if rest else b"\xff\xff"
    if rest < base * base:
        return b"\xff" + BYTE[rest % base] + BYTE[rest // base] + b"\xff"
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


def _same_order(row, keys, k):
    """Whether `row` lists exactly `keys`, as the same objects and in the same order: the
    common case (rows from one source), told without hashing."""
    if len(row) != k:
        return False
    p = 0
    for key in row:
        if key is not keys[p]:
            return False
        p += 1
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


def _live_entries(obj):
    """The entries of a dict as it is when each is reached, as the extension reads them on
    CPython: a converter that replaces a later value gets its new value written."""
    entries = iter(obj.items())
    while True:
        try:
            entry = next(entries)
        except StopIteration:
            return
        except RuntimeError as error:
            # Its keys changed under the iterator (the size is checked after each entry).
            if type(error) is not RuntimeError:
                raise
            break
        yield entry
    raise container_changed(obj)


# PyPy's extension reads a list of the entries taken before the first is written.
_any_key_entries = (lambda obj: list(obj.items())) if PYPY else _live_entries


# The levels of nesting written in one loop, without a Python call each. Deeper, every level
# costs one call again, as in the extension, so that the interpreter's recursion limit
# stops an unbounded nesting where it always did.
WALK_LEVELS = 16


def _deeper(calls, writer, value):
    """writer(value), `calls` Python calls deeper."""
    if calls > 0:
        return _deeper(calls - 1, writer, value)
    return writer(value)


def container_changed(container):
    kind = "dict" if isinstance(container, dict) else "list"
    return SerializationError(f"{kind} changed during serialization")


def without_utf8(text):
    """The error for a str with no UTF-8 form (a lone surrogate, as json.loads can make)."""
    more = "..." if len(text) > VALUE_TEXT_LIMIT else ""
    return SerializationError(
        f"Cannot serialize string {text[:VALUE_TEXT_LIMIT]!r}{more}: "
        "the encoding stores UTF-8, which has no form for a lone surrogate"
    )


def _same_str_keys(obj, entries):
    """Whether the dict `obj` lists the keys of `entries` (exact strs), equal and in order."""
    if len(obj) != len(entries):
        return False
    p = 0
    for key in obj:
        other = entries[p][0]
        # Compared only with an exact str, so that no `__eq__` of the caller's runs.
        if key is not other and (type(key) is not str or key != other):
            return False
        p += 1
    return True


def _same_objects(obj, keys):
    """Whether the dict `obj` lists exactly the key objects `keys`, in order."""
    return _same_order(obj, keys, len(keys))


LIST_DEPTH = " while serializing a list"
DICT_DEPTH = " while serializing a dict"
CUSTOM_DEPTH = " while serializing a custom type"
# Marks the walk, which writes containers of either kind.
_WALK = "walk"
_DEPTH_MESSAGE = "maximum recursion depth exceeded"


def is_depth_error(error):
    """Whether `error` is the interpreter's (or the walk's own) RecursionError for nesting
    too deep. Its text is read from `args`, as str() could run the caller's code."""
    if type(error) is not RecursionError:
        return False
    args = error.args
    return len(args) == 1 and type(args[0]) is str and args[0].startswith(_DEPTH_MESSAGE)


def nesting_error(error):
    """The RecursionError that `dump_bytes` raises for `error`, a depth error that left the
    walk: the interpreter's own, raised by whichever call of the walk reached its limit,
    becomes the walk's, named after the innermost container being written, as the
    extension names it (its containers count the levels, not its calls)."""
    if not is_depth_error(error) or error.args[0].startswith(_DEPTH_MESSAGE + " while serializing"):
        return error
    where = None
    tb = error.__traceback__
    while tb is not None:
        kind = _CONTAINER_CODES.get(tb.tb_frame.f_code)
        if kind is not None:
            if kind is _WALK:
                # The walk holds the container it is writing in `obj`.
                kind = DICT_DEPTH if type(tb.tb_frame.f_locals.get("obj")) is dict else LIST_DEPTH
            where = kind
        tb = tb.tb_next
    return error if where is None else too_deep(where)


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
        # Calls into Python code so far (writes, converters, dates): a container that saw
        # none while it was written cannot have been changed meanwhile.
        self.python_runs = 0
        # str -> back-reference index; equal strings share one index, whatever the object.
        # (PyPy's builder encoder keys it by each str's UTF-8 buffer instead.)
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
        self.extend(pack_f64(value))

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
        try:
            utf8 = text.encode("utf-8")
        except UnicodeEncodeError as error:
            raise without_utf8(text) from error
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
        self.python_runs += 1
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
        self.enter(CUSTOM_DEPTH)
        cause = None
        try:
            if not record.one_way:
                self.push(CUSTOM)
                self.encode(record.identifier)
            self.python_runs += 1
            try:
                converted = record.converter(obj)
            except Exception as error:
                if isinstance(error, MemoryError) or is_depth_error(error):
                    raise
                cause = error
            else:
                self.encode(converted)
                self.depth -= 1
                return
        except RecursionError as error:
            # Whichever call reached the limit first (the converter's or the walk's, which
            # differ between the codecs), a custom value nested without end is one error.
            if not is_depth_error(error):
                raise
        if cause is None:
            raise too_deep(CUSTOM_DEPTH)
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
        # As `open_list`, written out: a call more would count against the recursion limit.
        self.enter(LIST_DEPTH)
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
        if not self.python_may_run:
            # A loop of its own up to the first nested container: most containers have
            # none, and are written here without the walk's stack.
            written = 0
            for obj in seq:
                writer = item(obj)
                if writer is not None:
                    if self.depth < WALK_LEVELS:
                        self.walk(seq, None, n, written, obj)
                        return
                    writer(obj)
                written += 1
            if written != n or len(seq) != n:
                raise container_changed(seq)
            self.depth -= 1
            return
        is_list = type(seq) is list
        for i in range(n):
            if is_list and len(seq) != n:
                raise container_changed(seq)
            obj = seq[i]
            writer = item(obj)
            if writer is not None:
                writer(obj)
        if len(seq) != n:
            raise container_changed(seq)
        self.depth -= 1

    def open_list(self, seq):
        """Enters a non-empty exact list or tuple. Written whole in one of the other forms,
        it is left again and -1 returned; else the generic form's header is written and the
        count returned, the level still entered, for the caller to write the items."""
        self.enter(LIST_DEPTH)
        n = len(seq)
        first = seq[0]
        first_cls = type(first)
        if n >= 2 and (first is None or first_cls is bool or first_cls is dict):
            if _same_type(seq, first_cls):
                if first is None:
                    self.packed_header(NONE, n)
                    self.depth -= 1
                    return -1
                if first_cls is bool:
                    self.bool_list(seq, n)
                    self.depth -= 1
                    return -1
                if self.structured_list(seq, n, first):
                    self.depth -= 1
                    return -1
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
            return -1
        self.flag_varint(LIST, n)
        return n

    def walk(self, obj, entries, n, written, value):
        """The rest of a dict or list (`obj`, `n` items, `written` of them written, the
        next ones from `entries` for a dict) from its item `value`, a non-empty dict, list
        or tuple, on: every generic dict and list inside it in one loop with a stack of its
        own, as on PyPy a Python call per level of nesting costs more than many items.
        Bytes, checks and errors come in the order the nesting calls would give them.
        Only where no Python code runs in the walk (`python_may_run` false)."""
        item = self.item
        dict_key = self.dict_key
        cache = self.cache
        # The containers around the current one, as (container, its items iterator for a
        # dict, its count, items written).
        stack = []
        while True:
            if value is not None:
                # Item `written` of `obj`, a non-empty container, is opened.
                if self.depth >= WALK_LEVELS:
                    # By the nesting calls, at the call depth they would have reached: one
                    # per level held here, less this frame and the one that called it.
                    writer = self.dict if type(value) is dict else self.sequence
                    _deeper(len(stack) - 2, writer, value)
                    written += 1
                elif type(value) is dict:
                    # As `dict` opens one, written out: here a call costs PyPy more (measured).
                    self.enter(DICT_DEPTH)
                    for key in value:
                        if type(key) is not str:
                            self.any_key_dict(value)
                            self.depth -= 1
                            count = -1
                            break
                    else:
                        count = len(value)
                        self.flag_varint(DICT, count)
                    if count >= 0:
                        stack.append((obj, entries, n, written))
                        obj = value
                        n = count
                        entries = iter(value.items())
                        written = 0
                    else:
                        written += 1
                else:
                    count = self.open_list(value)
                    if count >= 0:
                        stack.append((obj, entries, n, written))
                        obj = value
                        n = count
                        entries = None
                        written = 0
                    else:
                        written += 1
                value = None
            # Each kind of container has its own inner loop, which the JIT compiles for
            # it alone; a nested container leaves it, to be opened above.
            if entries is not None:
                for key, value in entries:
                    dict_key(key, cache)
                    if item(value) is not None:
                        break
                    written += 1
                else:
                    value = None
                    if written != n:
                        raise container_changed(obj)
            else:
                # As a list iterator reads: item `written` while there is one.
                while written < len(obj):
                    value = obj[written]
                    if item(value) is not None:
                        break
                    written += 1
                else:
                    value = None
                    if written != n or len(obj) != n:
                        raise container_changed(obj)
            if value is not None:
                continue
            # The current container is complete.
            self.depth -= 1
            if not stack:
                return
            obj, entries, n, written = stack.pop()
            written += 1

    def bool_list(self, seq, n):
        self.packed_header(BOOL, n)
        acc = 0
        is_list = type(seq) is list
        for i in range(n):
            # A push may run the writer, which may change the list.
            if is_list and len(seq) != n:
                raise container_changed(seq)
            obj = seq[i]
            if obj is True:
                acc = (acc << 1) | 1
            elif obj is False:
                acc <<= 1
            else:
                raise container_changed(seq)
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
        # Wide rows are told faster by walking their keys in order than by comparing key
        # sets; for narrow ones the set comparison costs PyPy less (measured).
        in_order = k >= 8
        for i in range(1, n):
            row = seq[i]
            if not ((in_order and _same_order(row, keys, k)) or _same_keys(row, first, k)):
                return False
        # Its rows count as one more level, as they do in the extension.
        self.enter(LIST_DEPTH)
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
                    # Rows mostly list their keys in the first row's order, as the same key
                    # objects: their values are taken in that order without a look-up, up to
                    # the first key that is not the expected one.
                    p = 0
                    for key, value in row.items():
                        if p == k or key is not keys[p]:
                            break
                        writer = item(value)
                        if writer is not None:
                            writer(value)
                        p += 1
                    while p < k:
                        value = row[keys[p]]
                        writer = item(value)
                        if writer is not None:
                            writer(value)
                        p += 1
            except KeyError:
                raise container_changed(seq[i]) from None
            self.depth -= 1
            return True
        # Python code may run between two appends: each row is matched again when it is
        # reached, and checked for changes once it has been written.
        is_list = type(seq) is list
        first_keys = dict.fromkeys(keys)
        for i in range(n):
            if is_list and len(seq) != n:
                raise container_changed(seq)
            row = seq[i]
            if type(row) is not dict or not _same_keys(row, first_keys, k):
                raise container_changed(row if type(row) is dict else seq)
            values = [row[key] for key in keys]
            runs = self.python_runs
            for p in range(k):
                if i == 0:
                    string(keys[p])
                value = values[p]
                writer = item(value)
                if writer is not None:
                    writer(value)
            if len(row) != k or (self.python_runs != runs and not _same_keys(row, first_keys, k)):
                raise container_changed(row)
        if is_list and len(seq) != n:
            raise container_changed(seq)
        self.depth -= 1
        return True

    def dict(self, obj):
        """A non-empty exact dict: `Dict` when every key is exactly str, else `AnyKeyDict`."""
        self.enter(DICT_DEPTH)
        for key in obj:
            if type(key) is not str:
                self.any_key_dict(obj)
                self.depth -= 1
                return
        n = len(obj)
        if self.python_may_run:
            # Taken before the first byte, which may run the writer: the keys written are
            # the keys checked.
            entries = list(obj.items())
            runs = self.python_runs
        self.flag_varint(DICT, n)
        cache = self.cache
        item = self.item
        dict_key = self.dict_key
        if not self.python_may_run:
            # As in `sequence`, a loop of its own up to the first nested container.
            written = 0
            entries = iter(obj.items())
            for key, value in entries:
                dict_key(key, cache)
                writer = item(value)
                if writer is not None:
                    if self.depth < WALK_LEVELS:
                        self.walk(obj, entries, n, written, value)
                        return
                    writer(value)
                written += 1
            if written != n:
                raise container_changed(obj)
            self.depth -= 1
            return
        for key, value in entries:
            if len(obj) != n:
                raise container_changed(obj)
            dict_key(key, cache)
            writer = item(value)
            if writer is not None:
                writer(value)
        if len(obj) != n or len(entries) != n:
            raise container_changed(obj)
        # A key replaced by another keeps the size: where Python code ran, the keys are
        # compared with those written.
        if self.python_runs != runs and not _same_str_keys(obj, entries):
            raise container_changed(obj)
        self.depth -= 1

    def dict_key(self, key, cache):
        index = cache.get(key)
        if index is not None:
            self.key_pointer(index)
            return
        try:
            utf8 = key.encode("utf-8")
        except UnicodeEncodeError as error:
            raise without_utf8(key) from error
        cache[key] = len(cache)
        self.literal_key(utf8, key.isascii())

    def any_key_dict(self, obj):
        n = len(obj)
        runs = self.python_runs
        self.flag_varint(ANY_KEY_DICT, n)
        # The header may have run the writer: the count it gave must still hold when the
        # entries are first read (on CPython, when the dict's iterator takes its size).
        if len(obj) != n:
            raise container_changed(obj)
        encode = self.encode
        written = 0
        # The keys as written, to be compared with the dict's once Python code has run.
        keys = [] if self.python_may_run else None
        for key, value in _any_key_entries(obj):
            if written == n:
                raise container_changed(obj)
            if type(key) is tuple:
                raise SerializationError("Invalid type for dict key: tuple")
            if keys is not None:
                keys.append(key)
            encode(key)
            encode(value)
            written += 1
            if len(obj) != n:
                raise container_changed(obj)
        if written != n:
            raise container_changed(obj)
        if self.python_runs != runs and not _same_objects(obj, keys):
            raise container_changed(obj)


# The walk's methods that write a container, and the kind each is writing.
_CONTAINER_CODES = {
    Encoder.sequence.__code__: LIST_DEPTH,
    Encoder.open_list.__code__: LIST_DEPTH,
    Encoder.structured_list.__code__: LIST_DEPTH,
    Encoder.bool_list.__code__: LIST_DEPTH,
    Encoder.dict.__code__: DICT_DEPTH,
    Encoder.any_key_dict.__code__: DICT_DEPTH,
    Encoder.walk.__code__: _WALK,
}
