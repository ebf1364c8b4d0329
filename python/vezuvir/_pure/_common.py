"""What the parts of the pure-Python codec share: the flag bytes, error messages, text for
messages and the checks of the readers' common arguments.

Every function here raises the same exception types with the same texts as the extension,
so that either backend can stand in for the other.
"""

import sys

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
POINTER4 = 23
CUSTOM = 24
SMALL_INT = 30
MAX_INLINE_INT = 224
# Opens a dict key that refers back to an earlier string; also marks an all-ASCII key.
KEY_POINTER = 254
ASCII_MARKER = 254
ESCAPE = 255


def display_text(text):
    """`text` as it can appear in a message: lone surrogates become U+FFFD."""
    if text.isascii():
        return text
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def pretty_type(obj):
    """repr(type(obj)), e.g. "<class 'int'>"."""
    cls = type(obj)
    try:
        text = repr(cls)
    except Exception:
        text = cls.__name__
    return display_text(text)


def end_of_input():
    return DeserializationError(END)


def check_buffer(value):
    """Refuses anything but bytes and bytearray (and their subclasses)."""
    if not issubclass(type(value), (bytes, bytearray)):
        raise TypeError(
            f"buffer must be of type `bytes` or `bytearray` but got `{pretty_type(value)}`"
        )


class Input:
    """The bytes a reader walks, as one `bytes` object.

    A bytearray is copied, so that Python code run during the read (converters, key
    comparisons) cannot change what is being read; on CPython it is also held by a buffer
    export for the call, which makes resizing it fail as it does with the extension.
    """

    __slots__ = ("data", "_export")

    def __init__(self, buffer):
        self._export = None
        if type(buffer) is bytes:
            self.data = buffer
            return
        view = memoryview(buffer)
        if not PYPY and isinstance(buffer, bytearray):
            self._export = view
        self.data = view.tobytes()

    def release(self):
        if self._export is not None:
            self._export.release()
            self._export = None


def missing_marker():
    return DeserializationError("Corrupted data: missing starting marker `<o>`")


def unexpected_keyword(function, name):
    return TypeError(f"{function}() got an unexpected keyword argument '{name}'")


def parse_flag(value):
    """A keyword flag: the truth of any object; a raising `__bool__` fails the call."""
    return True if value is True else (False if value is False else bool(value))


def parse_loads_custom_types(value):
    """identifier -> converter from the readers' `custom_types` argument."""
    if not isinstance(value, dict):
        raise TypeError("custom_types must be a dict")
    converters = {}
    for identifier, converter in list(dict.items(value)):
        if not callable(converter):
            raise TypeError("custom_types value must be a function")
        hash(identifier)
        converters[identifier] = converter
    return converters


def find_converter(converters, identifier):
    """The converter registered for `identifier`, or None. An identifier that cannot be
    hashed or compared is simply not registered."""
    if converters is None:
        return None
    try:
        return converters.get(identifier)
    except Exception:
        return None


def unknown_custom_type(identifier):
    text = str(identifier).encode("utf-8", "backslashreplace").decode("utf-8")
    return DeserializationError(
        "Unknown custom type. please provide the correct mapping when deserializing. "
        f"identifier: `{text}` (type: `{pretty_type(identifier)}`)"
    )


def call_converter(converter, payload):
    """`converter(payload)`; an error it raises becomes the cause of "Failed to deserialize
    custom type". Exceptions that are not errors (KeyboardInterrupt...) pass through."""
    try:
        return converter(payload)
    except Exception as error:
        cause = error
    raise DeserializationError("Failed to deserialize custom type") from cause


def store_item(dictionary, key, value):
    """dictionary[key] = value; a key the dict refuses becomes "Invalid type for a key"."""
    try:
        dictionary[key] = value
        return
    except MemoryError:
        raise
    except Exception as error:
        cause = error
    raise DeserializationError(f"Invalid type for a key: {pretty_type(key)}") from cause
