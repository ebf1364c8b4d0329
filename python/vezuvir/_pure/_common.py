"""What the parts of the pure-Python codec share: the flag bytes, error messages, text for
messages and the checks of the readers' common arguments.

Every function here raises the same exception types with the same texts as the extension,
so that either backend can stand in for the other.
"""

import sys
from itertools import islice

from vezuvir.exceptions import DeserializationError

PYPY = sys.implementation.name == "pypy"

MARKER = b"<o>"
END = "Unexpected end of input"
MAX_U64 = (1 << 64) - 1

# The byte that opens every encoded value; bytes from SMALL_INT up are inline ints.
EMPTY_STRING = 0
EMPTY_BYTES = 1
TRUE = 2
FALSE = 3
NONE = 4
EMPTY_LIST = 5
EMPTY_DICT = 6
POSITIVE_INT = 7
NEGATIVE_INT = 8
FLOAT = 9
STRING = 10
BYTES = 11
BOOL = 12
LIST = 13
CONSISTENT_LIST = 14
ANY_KEY_DICT = 15
DICT = 16
LARGE_POINTER = 17
ASCII_STRING = 18
STRUCTURED_LIST = 19
POINTER1 = 20
POINTER2 = 21
POINTER4 = 23
CUSTOM = 24
SMALL_INT = 30
MAX_INLINE_INT = 224
# Opens a dict key that refers back to an earlier string; also marks an all-ASCII key.
KEY_POINTER = 254
ASCII_MARKER = 254
ESCAPE = 255


def pretty_type(obj):
    """repr(type(obj)), e.g. "<class 'int'>"."""
    cls = type(obj)
    try:
        return repr(cls)
    except MemoryError:
        raise
    except Exception:
        return cls.__name__


# How deep containers may nest, whatever `sys.setrecursionlimit` allows, so that a
# raised limit still ends in RecursionError rather than a crash. On PyPy and before
# CPython 3.11 every Python call also takes native stack: with an 8 MiB stack, decoding
# crashed past about 7000 levels there (PyPy: 10000 levels, encoding 8000). CPython 3.11
# and later keep Python frames off the native stack: there depth only costs memory.
MAX_DEPTH = 3000 if PYPY or sys.version_info < (3, 11) else 30000


def too_deep(where):
    return RecursionError(f"maximum recursion depth exceeded{where}")


def end_of_input():
    return DeserializationError(END)


def check_buffer(value):
    """Refuses anything but bytes, bytearray (and their subclasses) and objects that export
    a buffer; the buffer's layout is checked when it is read (`Input`)."""
    if issubclass(type(value), (bytes, bytearray)):
        return
    try:
        memoryview(value).release()
        return
    except TypeError:
        pass
    raise TypeError(f"buffer must be of type `bytes` or `bytearray` but got `{pretty_type(value)}`")


def _is_byte_format(format):
    """Whether a buffer format names one-byte items, after an optional byte-order mark."""
    if format[:1] in ("@", "=", "<", ">", "!"):
        format = format[1:]
    return format in ("B", "b", "c")


class Input:
    """The bytes a reader walks, as one `bytes` object.

    Anything but `bytes` is copied, so that Python code run during the read (converters,
    key comparisons) cannot change what is being read. On CPython the export is also held
    for the call, which makes resizing or closing the source fail as it does with the
    extension; PyPy lets a held export move (an mmap can be closed under it), so there the
    export ends with the copy, as the extension's does.
    """

    __slots__ = ("data", "_export")

    def __init__(self, buffer, copy=True):
        """`copy=False` leaves `data` a memoryview of anything but `bytes`, for readers that
        run no Python code while they read."""
        self._export = None
        if type(buffer) is bytes:
            self.data = buffer
            return
        view = memoryview(buffer)
        if not issubclass(type(buffer), (bytes, bytearray)):
            format = view.format
            one_byte = _is_byte_format(format) and view.itemsize == 1
            if not one_byte or not view.c_contiguous:
                view.release()
                text = pretty_type(buffer)
                if one_byte:
                    raise TypeError(
                        f"buffer must export C-contiguous bytes, but got a non-contiguous `{text}`"
                    )
                raise TypeError(
                    f"buffer must export C-contiguous bytes, but got `{text}` with items of "
                    f"format '{format}'"
                )
        if not copy:
            self._export = view
            if issubclass(type(buffer), bytearray):
                # Read as itself, its slices copies: a view's slices are exports that PyPy
                # keeps until they are collected, so they would pin the caller's bytearray
                # after the call. The export held meanwhile pins it during the call.
                self.data = buffer
                return
            self.data = view if view.format == "B" else view.cast("B")
            return
        if not PYPY and not isinstance(buffer, bytes):
            self._export = view
            self.data = view.tobytes()
            return
        # PyPy reads the copy alone; an export left for the collector to release would
        # still refuse a converter's resize of a bytearray there (PyPy 8 pins them too).
        try:
            self.data = view.tobytes()
        finally:
            view.release()

    def release(self):
        if self._export is not None:
            if self.data is not self._export and type(self.data) is memoryview:
                self.data.release()
            self._export.release()
            self._export = None


def missing_marker():
    return DeserializationError("Corrupted data: missing starting marker `<o>`")


def unexpected_keyword(function, name):
    return TypeError(f"{function}() got an unexpected keyword argument '{name}'")


def passes_through(error):
    """Whether an error raised by the caller's code must reach the caller unchanged rather
    than be mapped to a library error or a plain "no": anything that is not an
    `Exception` (KeyboardInterrupt, SystemExit, ...) and MemoryError."""
    return not isinstance(error, Exception) or isinstance(error, MemoryError)


# --- limits the caller can lift ------------------------------------------------------

DEFAULT_MAX_INT_DIGITS = 4300
MIN_MAX_INT_DIGITS = 640
DEFAULT_MAX_FREE_ELEMENTS = 2000000


def parse_limit(value, name, minimum):
    """A limit keyword: None (no limit), or an int of at least `minimum`."""
    if value is None:
        return None
    if not issubclass(type(value), int):
        raise TypeError(f"Expected {name} to be of type `int` or None but got `{pretty_type(value)}`")
    number = int.__int__(value)
    if number < minimum:
        raise ValueError(f"{name} must be None or an integer of at least {minimum}")
    return number


def int_limit_bits(digits):
    """The largest bit length of an int of at most `digits` decimal digits:
    ceil(digits * log2(10)), log2(10) taken from above to eleven places."""
    if digits is None or digits > MAX_U64 // 4:
        return None
    scale = 100000000000
    log2_10 = 332192809489
    return digits // scale * log2_10 + (digits % scale * log2_10 + scale - 1) // scale


def int_limit_error(digits, exception_class, verb):
    return exception_class(
        f"Integer exceeds the limit of {digits} digits (`max_int_digits`); "
        f"pass a larger limit or None to {verb} it"
    )


class Limits:
    """The limits of one reading call: the int size, and what is left of the budget of
    elements that take no input bytes (one budget for the whole call)."""

    __slots__ = ("int_digits", "int_bits", "max_free_elements", "free_elements_left")

    def __init__(self):
        self.int_digits = DEFAULT_MAX_INT_DIGITS
        self.int_bits = int_limit_bits(DEFAULT_MAX_INT_DIGITS)
        self.max_free_elements = DEFAULT_MAX_FREE_ELEMENTS
        self.free_elements_left = DEFAULT_MAX_FREE_ELEMENTS

    def parse(self, name, value):
        """Takes `max_free_elements` or `max_int_digits`; False for any other name."""
        if name == "max_free_elements":
            self.max_free_elements = self.free_elements_left = parse_limit(value, name, 0)
            return True
        if name == "max_int_digits":
            self.int_digits = parse_limit(value, name, MIN_MAX_INT_DIGITS)
            self.int_bits = int_limit_bits(self.int_digits)
            return True
        return False

    def take_free_elements(self, n):
        """Takes `n` elements from the budget, before anything of them is built."""
        left = self.free_elements_left
        if left is None:
            return
        if n > left:
            raise DeserializationError(
                f"Input declares more than {self.max_free_elements} elements that take no "
                "input bytes (Nones of packed lists, rows without keys), the limit of "
                "`max_free_elements`; pass a larger limit or None to deserialize it"
            )
        self.free_elements_left = left - n


def parse_loads_custom_types(value):
    """The readers' `custom_types` argument as a table: the hash of each identifier -> its
    [identifier, converter] pairs, the latest first. An identifier equal to one already
    there replaces that one's converter; one whose `__eq__` raises an ordinary error is
    taken as a different identifier, as `find_converter` takes it."""
    if not isinstance(value, dict):
        raise TypeError("custom_types must be a dict")
    table = {}
    for identifier, converter in list(dict.items(value)):
        if not callable(converter):
            raise TypeError("custom_types value must be a function")
        key = hash(identifier)
        pairs = table.get(key)
        if pairs is None:
            table[key] = [[identifier, converter]]
            continue
        for pair in pairs:
            if keys_equal(identifier, pair[0]):
                pair[1] = converter
                break
        else:
            pairs.insert(0, [identifier, converter])
    return table


def keys_equal(a, b):
    """a == b; an ordinary error from `__eq__` or the truth of its result counts as "not
    equal", so a look-up goes on to the next candidate."""
    if a is b:
        return True
    try:
        return bool(a == b)
    except Exception as error:
        if isinstance(error, MemoryError):
            raise
        return False


def find_converter(converters, identifier):
    """The converter registered for `identifier`, or None. An identifier that cannot be
    hashed (an ordinary error) is simply not registered."""
    if converters is None:
        return None
    try:
        key = hash(identifier)
    except Exception as error:
        if isinstance(error, MemoryError):
            raise
        return None
    pairs = converters.get(key)
    if pairs is not None:
        for identifier_and_converter in pairs:
            if keys_equal(identifier, identifier_and_converter[0]):
                return identifier_and_converter[1]
    return None


# Most characters of a decoded value's text that a message holds (see `bounded_text`).
VALUE_TEXT_LIMIT = 200
# Ints longer than this are named by their size: their digits would be a long text made in
# more than linear time.
_BIG_INT_BITS = 640


def _leaf_text(obj, top, room):
    if obj is None:
        return "None"
    if isinstance(obj, bool):
        return "True" if obj else "False"
    if isinstance(obj, int):
        bits = int.bit_length(obj)
        return f"<int of {bits} bits>" if bits > _BIG_INT_BITS else int.__repr__(obj)
    if isinstance(obj, float):
        return float.__repr__(obj)
    if isinstance(obj, str):
        prefix = str.__getitem__(obj, slice(0, room))
        return prefix if top else repr(prefix)
    if isinstance(obj, bytes):
        return repr(bytes.__getitem__(obj, slice(0, room)))
    return str(obj) if top else repr(obj)


def bounded_text(value):
    """str(value) when that text is at most VALUE_TEXT_LIMIT characters long, else its first
    VALUE_TEXT_LIMIT characters and "...", made without building more than that: a value
    decoded from a few bytes (a list of back-references to one long string) can have a text
    of gigabytes. Renders as the extension does, step for step: containers from at most
    their first VALUE_TEXT_LIMIT + 1 items, strings and bytes inside them as the repr of
    that many characters, ints over 640 bits as "<int of N bits>"."""
    shown = VALUE_TEXT_LIMIT + 1
    pieces = []
    room = shown
    # Containers in a stack of our own, not by recursion: [items, next, dict?, closer, 1-tuple?]
    frames = []

    def add(text):
        nonlocal room
        if room > 0:
            pieces.append(text[:room])
        room -= len(text)

    def render(obj, top):
        if room <= 0:
            return  # a separator took the last of the room
        if isinstance(obj, dict):
            items = [x for pair in islice(dict.items(obj), shown) for x in pair]
            add("{")
            frames.append([items, 0, True, "}", False])
        elif isinstance(obj, list):
            add("[")
            frames.append([list.__getitem__(obj, slice(0, shown)), 0, False, "]", False])
        elif isinstance(obj, tuple):
            add("(")
            one = tuple.__len__(obj) == 1
            frames.append([tuple.__getitem__(obj, slice(0, shown)), 0, False, ")", one])
        else:
            add(_leaf_text(obj, top, room))

    render(value, True)
    while frames and room > 0:
        frame = frames[-1]
        items, at = frame[0], frame[1]
        if at == len(items):
            if frame[4]:
                add(",")
            add(frame[3])
            frames.pop()
            continue
        if at:
            add(": " if frame[2] and at % 2 else ", ")
        frame[1] = at + 1
        render(items[at], False)
    text = "".join(pieces)
    return text if room > 0 else text[:VALUE_TEXT_LIMIT] + "..."


def unknown_custom_type(identifier):
    # Bounded: the identifier is the input's, and a few bytes of it can print as gigabytes.
    text = bounded_text(identifier)
    return DeserializationError(
        "Unknown custom type. please provide the correct mapping when deserializing. "
        f"identifier: `{text}` (type: `{pretty_type(identifier)}`)"
    )


def call_converter(converter, payload):
    """`converter(payload)`; an ordinary error it raises becomes the cause of "Failed to
    deserialize custom type"; one that passes through is raised unchanged."""
    try:
        return converter(payload)
    except Exception as error:
        if isinstance(error, MemoryError):
            raise
        cause = error
    raise DeserializationError("Failed to deserialize custom type") from cause


def store_item(dictionary, key, value):
    """dictionary[key] = value; a key the dict refuses becomes "Invalid type for a key"."""
    try:
        dictionary[key] = value
        return
    except Exception as error:
        if isinstance(error, MemoryError):
            raise
    raise DeserializationError(f"Invalid type for a key: {pretty_type(key)}")
