"""File and stream helpers over the four functions of the active codec (see ``_backend``)."""

import io
import os
from typing import IO, Any, Sequence, Union

from vezuvir import _backend

__all__ = ["dump", "load", "lazy_load", "contains"]

# Where ``lazy_load`` and ``contains`` find an encoding: the bytes themselves, a path to a file
# holding them, or a binary file object positioned at its start.
Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", IO[bytes]]


def _reject_text_stream(fp: Any, name: str) -> None:
    if isinstance(fp, io.TextIOBase):
        raise TypeError(
            f"{name}() needs a file opened in binary mode ('rb' or 'wb'), not text mode"
        )


def _read_binary(fp: Any, name: str) -> Union[bytes, bytearray]:
    _reject_text_stream(fp, name)
    data = fp.read()
    if isinstance(data, memoryview):
        return data.tobytes()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(
            f"{name}() read {type(data).__name__!r} from the file; open it in binary mode"
        )
    return data


def _read_source(source: Any, name: str) -> Union[bytes, bytearray]:
    if isinstance(source, (bytes, bytearray)):
        return source
    if isinstance(source, memoryview):
        return source.tobytes()
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    if hasattr(source, "read"):
        return _read_binary(source, name)
    raise TypeError(
        f"{name}() source must be bytes, bytearray, a path or a binary file object, "
        f"not {type(source).__name__!r}"
    )


def _as_path(path: Any) -> Any:
    # The readers take a list; a tuple is the other natural spelling of a fixed path.
    return list(path) if type(path) is tuple else path


def dump(obj: Any, fp: IO[bytes], **options: Any) -> None:
    """Encode ``obj`` and write the encoding to the binary file ``fp``, chunk by chunk.

    ``fp`` is a file opened in binary mode ("wb") or any object with a ``write(bytes)``
    method; it is handed chunks as the encoder goes (``flush_threshold`` bytes at a time), so
    the whole encoding is never held in memory. Takes every keyword of ``dump_bytes`` except
    ``writer`` (``serialize_dates``, ``custom_types``, ``max_int_digits``, the thresholds).
    Returns None.

    Raises TypeError for a text-mode file or a bad keyword, SerializationError for an object
    that cannot be encoded, and whatever ``fp.write`` raises (``fp`` then holds a prefix).
    """
    if "writer" in options:
        raise TypeError("dump() got an unexpected keyword argument 'writer'")
    _reject_text_stream(fp, "dump")
    _vezuvir = _backend.module()

    _vezuvir.dump_bytes(obj, writer=fp, **options)


def load(fp: IO[bytes], **options: Any) -> Any:
    """Read the rest of the binary file ``fp`` and decode it.

    ``fp`` is a file opened in binary mode ("rb") or any object whose ``read()`` returns
    bytes. Takes the keywords of ``load_bytes`` (``use_tuples``, ``stop_gc``,
    ``ignore_extra_data``, ``custom_types``, ``max_free_elements``, ``max_int_digits``) and
    returns the decoded object.

    Raises TypeError for a text-mode file, DeserializationError when the bytes are not one
    encoding (trailing bytes included, unless ``ignore_extra_data=True``).
    """
    _vezuvir = _backend.module()

    return _vezuvir.load_bytes(_read_binary(fp, "load"), **options)


def lazy_load(source: Source, path: Sequence[Any], **options: Any) -> Any:
    """Read the value at ``path`` out of the encoding in ``source`` without decoding the rest.

    ``source`` is the encoding itself (bytes, bytearray, memoryview), a file name (str or
    os.PathLike; the file is read once, whole) or a binary file object (read from its current
    position to the end). ``path`` is a list or tuple of dict keys and ``Idx(n)`` list
    indices. Takes the keywords of ``lazy_load_bytes`` (``custom_types``,
    ``max_free_elements``, ``max_int_digits``).

    Raises DeserializationError for a key or index that is not there or data that is not an
    encoding, OSError when the file cannot be read.
    """
    _vezuvir = _backend.module()

    return _vezuvir.lazy_load_bytes(_read_source(source, "lazy_load"), _as_path(path), **options)


def contains(source: Source, path: Sequence[Any], **options: Any) -> bool:
    """Whether ``path`` leads to a value in the encoding in ``source``: True or False.

    ``source`` and ``path`` are as for ``lazy_load``. Takes the keywords of
    ``bytes_check_if_contains``: with ``include_falsy=False`` a value that is 0, 0.0, "", b"",
    [], {}, None or False counts as absent. Data that is not an encoding answers False, but a
    file that cannot be read raises OSError: False means only that the path leads nowhere.
    """
    _vezuvir = _backend.module()

    return _vezuvir.bytes_check_if_contains(
        _read_source(source, "contains"), _as_path(path), **options
    )
