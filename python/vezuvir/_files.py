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

    Takes the keywords of ``dump_bytes`` except ``writer``; ``fp`` can be any object with a
    ``write(bytes)`` method.
    """
    if "writer" in options:
        raise TypeError("dump() got an unexpected keyword argument 'writer'")
    _reject_text_stream(fp, "dump")
    _vezuvir = _backend.module()

    _vezuvir.dump_bytes(obj, writer=fp, **options)


def load(fp: IO[bytes], **options: Any) -> Any:
    """Read the rest of the binary file ``fp`` and decode it.

    Takes the keywords of ``load_bytes``.
    """
    _vezuvir = _backend.module()

    return _vezuvir.load_bytes(_read_binary(fp, "load"), **options)


def lazy_load(source: Source, path: Sequence[Any], **options: Any) -> Any:
    """Read the value at ``path`` out of the encoding in ``source`` without decoding the rest.

    ``source`` is bytes, a path (the file is read once) or a binary file object; ``path`` is a
    list or tuple of keys and ``Idx`` steps. Takes the keywords of ``lazy_load_bytes``.
    """
    _vezuvir = _backend.module()

    return _vezuvir.lazy_load_bytes(_read_source(source, "lazy_load"), _as_path(path), **options)


def contains(source: Source, path: Sequence[Any], **options: Any) -> bool:
    """Whether ``path`` leads to a value in the encoding in ``source`` (see ``lazy_load``).

    Takes the keywords of ``bytes_check_if_contains``; a file that cannot be read still raises.
    """
    _vezuvir = _backend.module()

    return _vezuvir.bytes_check_if_contains(
        _read_source(source, "contains"), _as_path(path), **options
    )
