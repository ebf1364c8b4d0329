"""File and stream helpers over the four functions of the active codec (see ``_backend``)."""

import io
import mmap
import os
import stat
from typing import IO, Any, Optional, Sequence, Union

from vezuvir import _backend

__all__ = ["dump", "load", "lazy_load", "contains"]

# Where ``lazy_load`` and ``contains`` find an encoding: the bytes themselves (or any object
# exporting them: memoryview, mmap, array), a path to a file holding them, or a binary file
# object positioned at its start.
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


def reads_a_disk_file(fp: Any) -> bool:
    """Whether ``fp`` reads a file's bytes as they are, so that mapping its descriptor gives
    the same bytes (a compressing or decoding wrapper may pass on its inner file's
    descriptor)."""
    if type(fp) in (io.BufferedReader, io.BufferedRandom):
        fp = fp.raw
    return type(fp) is io.FileIO


def map_file(fd: int) -> Optional[mmap.mmap]:
    """A read-only mapping of the regular file open as ``fd``; None for pipes, devices and
    empty files, which are read instead."""
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        return mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        # An empty file cannot be mapped, nor can every file system's files.
        return None


def close_mapping(mapping: mmap.mmap) -> None:
    try:
        mapping.close()
    except BufferError:
        # Someone still holds a view of it; the mapping goes when the last view does.
        pass


class _Input:
    """The bytes of a source for one call: the object itself when it exports bytes, else
    what reading a file or stream gives (from a file object's position to the end), or with
    ``use_mmap`` a read-only mapping of a regular file. Close it when the call is done."""

    def __init__(
        self, source: Any, name: str, stream_only: bool = False, use_mmap: bool = False
    ) -> None:
        self.mapping: Optional[mmap.mmap] = None
        self.data: Any = None
        self.use_mmap = use_mmap
        if stream_only or (hasattr(source, "read") and not _exports_buffer(source)):
            self._read_stream(source, name)
        elif isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as f:
                self.mapping = map_file(f.fileno()) if use_mmap else None
                self.data = self.mapping if self.mapping is not None else f.read()
        elif isinstance(source, (bytes, bytearray)) or _exports_buffer(source):
            self.data = source
        else:
            raise TypeError(
                f"{name}() source must be bytes, bytearray, a path or a binary file "
                f"object, not {type(source).__name__!r}"
            )

    def _read_stream(self, fp: Any, name: str) -> None:
        _reject_text_stream(fp, name)
        self.mapping = map_file(fp.fileno()) if self.use_mmap and reads_a_disk_file(fp) else None
        if self.mapping is None:
            self.data = _read_binary(fp, name)
            return
        # As `read()` would: from the position to the end, leaving the position there.
        start = fp.tell()
        fp.seek(len(self.mapping))
        self.data = memoryview(self.mapping)[start:] if start else self.mapping

    def __enter__(self) -> "_Input":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        if isinstance(self.data, memoryview):
            self.data.release()
        self.data = None
        if self.mapping is not None:
            close_mapping(self.mapping)
            self.mapping = None


def _exports_buffer(obj: Any) -> bool:
    try:
        memoryview(obj).release()
    except TypeError:
        return False
    return True


def _as_path(path: Any) -> Any:
    # The readers take a list; a tuple is the other natural spelling of a fixed path.
    return list(path) if type(path) is tuple else path


def dump(obj: Any, fp: IO[bytes], **options: Any) -> None:
    """Encode ``obj`` and write the encoding to the binary file ``fp``, chunk by chunk.

    ``fp`` is a file opened in binary mode ("wb") or any object with a ``write(bytes)``
    method; it is handed chunks as the encoder goes (``flush_threshold`` bytes at a time), so
    the whole encoding is never held in memory. Takes every keyword of ``dump_bytes`` except
    ``writer`` (``serialize_dates``, ``custom_types``, ``max_int_digits``, the thresholds).
    Returns None. Appending encodings to one file makes a record log (see ``iter_load``).

    Raises TypeError for a text-mode file or a bad keyword, SerializationError for an object
    that cannot be encoded, and whatever ``fp.write`` raises (``fp`` then holds a prefix).
    """
    if "writer" in options:
        raise TypeError("dump() got an unexpected keyword argument 'writer'")
    _reject_text_stream(fp, "dump")
    _vezuvir = _backend.module()

    _vezuvir.dump_bytes(obj, writer=fp, **options)


def load(fp: IO[bytes], *, mmap: bool = False, **options: Any) -> Any:
    """Decode the rest of the binary file ``fp``.

    ``fp`` is a file opened in binary mode ("rb") or any object whose ``read()`` returns
    bytes; it is read from its position to the end. With ``mmap=True`` a regular file is
    memory-mapped instead (the position is left at the end); a file truncated by another
    process during the call then ends the process with SIGBUS. Takes the keywords of
    ``load_bytes`` (``use_tuples``, ``stop_gc``, ``ignore_extra_data``, ``custom_types``,
    ``max_free_elements``, ``max_int_digits``) and returns the decoded object.

    Raises TypeError for a text-mode file, DeserializationError when the bytes are not one
    encoding (trailing bytes included, unless ``ignore_extra_data=True``).
    """
    _vezuvir = _backend.module()

    with _Input(fp, "load", stream_only=True, use_mmap=bool(mmap)) as data:
        return _vezuvir.load_bytes(data.data, **options)


def lazy_load(source: Source, path: Sequence[Any], *, mmap: bool = False, **options: Any) -> Any:
    """Read the value at ``path`` out of the encoding in ``source`` without decoding the rest.

    ``source`` is the encoding itself (bytes, bytearray, or any object exporting its bytes:
    memoryview, mmap, array; read in place), a file name (str or os.PathLike) or a binary file
    object (from its current position to the end), which is read. With ``mmap=True`` a
    regular file is memory-mapped instead, so only the pages on the way to the value are
    read; a file truncated by another process during the call then ends the process with
    SIGBUS. ``path`` is a list or tuple of dict keys and ``Idx(n)`` list indices. Takes the
    keywords of ``lazy_load_bytes`` (``custom_types``, ``max_free_elements``,
    ``max_int_digits``).

    Raises DeserializationError for a key or index that is not there or data that is not an
    encoding, OSError when the file cannot be read.
    """
    _vezuvir = _backend.module()

    with _Input(source, "lazy_load", use_mmap=bool(mmap)) as data:
        return _vezuvir.lazy_load_bytes(data.data, _as_path(path), **options)


def contains(source: Source, path: Sequence[Any], *, mmap: bool = False, **options: Any) -> bool:
    """Whether ``path`` leads to a value in the encoding in ``source``: True or False.

    ``source``, ``path`` and ``mmap`` are as for ``lazy_load``. Takes the keywords of
    ``bytes_check_if_contains``: with ``include_falsy=False`` a value that is 0, 0.0, "", b"",
    [], {}, None or False counts as absent. Data that is not an encoding answers False, but a
    file that cannot be read raises OSError: False means only that the path leads nowhere.
    """
    _vezuvir = _backend.module()

    with _Input(source, "contains", use_mmap=bool(mmap)) as data:
        return _vezuvir.bytes_check_if_contains(data.data, _as_path(path), **options)
