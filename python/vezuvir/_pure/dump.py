"""`dump_bytes`: its arguments, and the encoder that writes the encoding."""

from vezuvir._pure._common import (
    MIN_MAX_INT_DIGITS,
    int_limit_bits,
    parse_limit,
    pretty_type,
    unexpected_keyword,
)
from vezuvir._pure.encoder import _CustomTypes, container_changed, nesting_error
from vezuvir._pure.outputs import BytesEncoder, StreamEncoder

DEFAULT_FLUSH_THRESHOLD = 10485760
DEFAULT_DIRECT_WRITE_THRESHOLD = 5242880
_MAX_SIZE_T = (1 << 64) - 1


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


def dump_bytes(*args, **kwargs):
    """serializes quelt"""
    if not kwargs and len(args) == 1:
        return _encode(BytesEncoder(False, None, False), args[0])
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
        encoder = StreamEncoder(serialize_dates, custom_types, writer, flush_threshold, direct_threshold)
    else:
        may_run = serialize_dates or custom_types is not None
        encoder = BytesEncoder(serialize_dates, custom_types, may_run)
    if int_digits is not _NOTHING:
        encoder.int_digits = int_digits
        encoder.int_bits = int_limit_bits(int_digits)
    return _encode(encoder, obj)


def _encode(encoder, obj):
    try:
        encoder.encode(obj)
    except RuntimeError as error:
        failure = error
    else:
        return encoder.finish()
    # Raised here, out of the handler, so that the error chains to nothing of the walk's.
    if type(failure) is RecursionError:
        raise nesting_error(failure)
    if type(failure) is not RuntimeError or encoder.python_may_run:
        raise failure
    # Nothing but the collector runs Python code in this walk (a finalizer, a gc
    # callback), and their errors never reach us: a plain RuntimeError is a dict
    # iterator finding its dict changed by one of them.
    raise container_changed({})
