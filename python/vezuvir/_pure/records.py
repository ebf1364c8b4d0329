"""Record logs: encodings one after another in one buffer. `load_record` decodes the one
at an offset and `skip_record` steps over it, each telling where it ends; positions in
their messages count from the record's start."""

import gc

from vezuvir._pure._common import (
    END,
    MARKER,
    MAX_U64,
    PYPY,
    Input,
    Limits,
    check_buffer,
    end_of_input,
    missing_marker,
    parse_loads_custom_types,
    pretty_type,
    unexpected_keyword,
)
from vezuvir._pure.decoder import Decoder
from vezuvir._pure.skipper import Reader
from vezuvir.exceptions import DeserializationError


_SKIP_RECORD_NAME = "skip_record" if PYPY else "_vezuvir.skip_record"


def check_count(function, args, most=2):
    if not 1 <= len(args) <= most:
        raise TypeError(
            f"{function}() takes from 1 to {most} positional arguments but {len(args)} were given"
        )


def offset_argument(value, name, length):
    """An offset argument (`offset`, `stop`): an int from 0 to the buffer's length."""
    if not issubclass(type(value), int):
        raise TypeError(f"{name} must be an int, not {pretty_type(value)}")
    offset = int.__int__(value)
    if not 0 <= offset <= length:
        raise ValueError(f"{name} {value!r} is outside the buffer of {length} bytes")
    return offset


def _record_at(source, args):
    """The offset of the record `args` asks for, checked to open with the marker."""
    data = source.data
    offset = offset_argument(args[1], "offset", len(data)) if len(args) > 1 else 0
    if not data.startswith(MARKER, offset):
        raise missing_marker()
    return offset


def _note_needed_end(error, pos, size):
    """Gives an "Unexpected end of input" the offset the record cannot end before, as its
    `needed` attribute: the end of the last length stepped over (`pos`), or one byte past
    the input. A reader of a stream learns from it how much more to read, and when a record
    declares more than it will hold."""
    if str(error) == END:
        error.needed = min(max(pos, size + 1), MAX_U64)


def load_record(*args, **kwargs):
    """load_record(buffer, offset=0, /, **load_bytes options) -> (value, end): decodes the encoding that starts at `offset` of `buffer`; `end` is the offset just past it"""
    use_tuples = stop_gc = False
    converters = None
    limits = Limits()
    for name, value in kwargs.items():
        if name == "use_tuples":
            use_tuples = bool(value)
        elif name == "stop_gc":
            stop_gc = bool(value)
        elif name == "custom_types":
            converters = parse_loads_custom_types(value)
        elif not limits.parse(name, value):
            raise unexpected_keyword("load_record", name)
    check_count("load_record", args)
    check_buffer(args[0])
    paused = stop_gc and gc.isenabled()
    if paused:
        gc.disable()
    try:
        source = Input(args[0])
        try:
            offset = _record_at(source, args)
            decoder = Decoder(source.data, use_tuples, converters, limits, offset)
            value = decoder.value()
        finally:
            source.release()
    finally:
        if paused:
            gc.enable()
    return value, decoder.pos


def skip_record(*args, **kwargs):
    """skip_record(buffer, offset=0, /) -> end: steps over the encoding that starts at `offset` of `buffer` without building it; `end` is the offset just past it"""
    if kwargs:
        # The interpreter's words for the extension's function, which takes positions only.
        raise TypeError(f"{_SKIP_RECORD_NAME}() takes no keyword arguments")
    check_count("skip_record", args)
    check_buffer(args[0])
    source = Input(args[0])
    try:
        offset = _record_at(source, args)
        reader = Reader(source.data, None, Limits(), offset)
        try:
            reader.skip()
            failure = None
        except TypeError as error:
            # The skipper's TypeErrors ("Unexpected flag", ...) are about the bytes here: the
            # arguments were all checked above.
            failure = str(error)
        except DeserializationError as error:
            _note_needed_end(error, reader.pos, len(source.data))
            raise
        if failure is not None:
            raise DeserializationError(failure)
        # The last value may have been stepped over by arithmetic alone.
        if reader.pos > len(source.data):
            error = end_of_input()
            _note_needed_end(error, reader.pos, len(source.data))
            raise error
        return reader.pos
    finally:
        source.release()

