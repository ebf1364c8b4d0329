"""Record logs: encodings written one after another (``dump`` per record to a file opened
for appending), read back one record at a time."""

import mmap
import os
import sys
from typing import Any, Callable, Iterator, Optional, Sequence, Tuple

from vezuvir import _backend
from vezuvir._files import Source, _as_path, _exports_buffer, close_mapping, map_file
from vezuvir._files import _reject_text_stream
from vezuvir.exceptions import DeserializationError

__all__ = ["iter_load", "iter_lazy_load"]

# First read from a stream; a record that does not fit makes the next read as large again.
_CHUNK = 1 << 20
# Pages of a mapped log that the loop has passed are given back in steps of this size.
_RELEASE_STEP = 16 << 20
# A smallest encoding, to check a call's options before the first record is read.
_PROBE = b"<o>\x04"
# The extension reads a buffer in place on CPython. PyPy lets a bytearray, array or mmap
# move under a held export, so there it copies every input but bytes on each call: there
# records are read from bytes windows instead, as from a stream.
_IN_PLACE = sys.implementation.name == "cpython"

# One record's reader: (buffer, a memoryview of it, start, end or None) -> (value, end).
_Reader = Callable[[Any, memoryview, int, Optional[int]], Tuple[Any, int]]


def iter_load(source: Source, **options: Any) -> Iterator[Any]:
    """Yield each record of a record log, decoded.

    ``source`` is a path (the file is memory-mapped), bytes or any object exporting them
    (memoryview, mmap, array), or a binary stream, which is read in chunks in memory
    bounded by the largest record. Takes the keywords of ``load_bytes`` except
    ``ignore_extra_data``. Every complete record before a damaged or truncated one is
    yielded; then ``DeserializationError`` names the damaged record's byte offset.
    """
    _vezuvir = _backend.module()

    _check_options("iter_load", "load_record", lambda: _vezuvir.load_record(_PROBE, **options))

    def read(buffer: Any, view: memoryview, start: int, end: Optional[int]) -> Tuple[Any, int]:
        return _vezuvir.load_record(buffer, start, **options)

    return read_records(source, "iter_load", read)


def iter_lazy_load(source: Source, path: Sequence[Any], **options: Any) -> Iterator[Any]:
    """Yield the value at ``path`` in each record of a record log, stepping over the rest
    of every record without building it.

    ``source`` is read as by ``iter_load``; ``path`` and the keywords are those of
    ``lazy_load_bytes``. A record in which ``path`` leads nowhere raises
    ``DeserializationError`` naming that record's byte offset.
    """
    _vezuvir = _backend.module()

    # A copy: the caller may change the list while the records are being read.
    steps = list(path) if isinstance(path, (list, tuple)) else _as_path(path)
    _check_options(
        "iter_lazy_load",
        "lazy_load_bytes",
        lambda: _vezuvir.bytes_check_if_contains(_PROBE, steps, **options),
    )

    def read(buffer: Any, view: memoryview, start: int, end: Optional[int]) -> Tuple[Any, int]:
        if end is None:
            end = _vezuvir.skip_record(buffer, start)
        return _vezuvir.lazy_load_bytes(view[start:end], steps, **options), end

    return read_records(source, "iter_lazy_load", read)


def _check_options(name: str, callee: str, probe: Callable[[], Any]) -> None:
    """Raises the argument errors of a call now, rather than at the first record."""
    try:
        probe()
    except TypeError as exc:
        raise TypeError(str(exc).replace(f"{callee}()", f"{name}()")) from None


def read_records(source: Any, name: str, read: _Reader) -> Iterator[Any]:
    """What ``read`` makes of each record of ``source``; ``name`` is the caller's, for
    messages. A DeserializationError from ``read`` is reported with the record's offset."""
    if isinstance(source, (str, os.PathLike)):
        return _path_records(source, name, read)
    if isinstance(source, (bytes, bytearray)) or _exports_buffer(source):
        if _IN_PLACE or isinstance(source, bytes):
            return _in_place(source, read, None)
        return _windows(_ViewReader(source), name, read)
    if hasattr(source, "read"):
        _reject_text_stream(source, name)
        return _windows(source, name, read)
    raise TypeError(
        f"{name}() source must be bytes, bytearray, a path or a binary file object, "
        f"not {type(source).__name__!r}"
    )


def _path_records(path: Any, name: str, read: _Reader) -> Iterator[Any]:
    with open(path, "rb") as f:
        mapping = map_file(f.fileno()) if _IN_PLACE else None
        if mapping is None:
            yield from _windows(f, name, read)
            return
        try:
            yield from _in_place(mapping, read, mapping)
        finally:
            close_mapping(mapping)


def _in_place(buffer: Any, read: _Reader, mapping: Optional[mmap.mmap]) -> Iterator[Any]:
    """Records of a buffer that holds the whole log, read where they lie."""
    view = memoryview(buffer).cast("B")
    start = released = 0
    try:
        while start < view.nbytes:
            try:
                value, end = read(buffer, view, start, None)
            except DeserializationError as exc:
                raise _record_error(exc, start) from exc.__cause__
            yield value
            start = end
            if mapping is not None and start - released >= _RELEASE_STEP:
                released = _release(mapping, released, start)
    finally:
        # Lets a bytearray be resized again, and our mapping be closed.
        view.release()


def _windows(stream: Any, name: str, read: _Reader) -> Iterator[Any]:
    """Records of a stream, read in chunks; a chunk is kept until its last whole record is
    read, so memory stays bounded by the largest record."""
    data = b""
    start = base = 0  # `base` is the offset in the stream of data[0]
    at_end = False
    _vezuvir = _backend.module()

    while True:
        if start == len(data):
            base += len(data)
            data, start = _read(stream, _CHUNK, name), 0
            if not data:
                return
        try:
            end = _vezuvir.skip_record(data, start)
        except DeserializationError as exc:
            if at_end or not _cut_short(exc, len(data) - start):
                raise _record_error(exc, base + start) from None
            more = _read(stream, max(_CHUNK, len(data) - start), name)
            if more:
                data, base, start = data[start:] + more, base + start, 0
            else:
                at_end = True
            continue
        try:
            value, _ = read(data, memoryview(data), start, end)
        except DeserializationError as exc:
            raise _record_error(exc, base + start) from exc.__cause__
        yield value
        start = end


def _cut_short(exc: DeserializationError, available: int) -> bool:
    """Whether a record may only lack the bytes that have not been read yet."""
    message = str(exc)
    return message == "Unexpected end of input" or (
        available < 3 and message.endswith("missing starting marker `<o>`")
    )


def _record_error(exc: DeserializationError, offset: int) -> DeserializationError:
    return DeserializationError(f"record at byte offset {offset}: {exc}")


def _read(stream: Any, size: int, name: str) -> bytes:
    """``size`` bytes of ``stream``, fewer only at its end. A pipe or socket may hand out less
    than asked: reading on keeps a large record from being retried once per short read."""
    chunks = []
    while size > 0:
        chunk = stream.read(size)
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            raise TypeError(
                f"{name}() read {type(chunk).__name__!r} from the stream; open it in binary mode"
            )
        if not chunk:
            break
        chunks.append(bytes(chunk))
        size -= len(chunk)
    return b"".join(chunks)


def _release(mapping: mmap.mmap, released: int, position: int) -> int:
    """Gives the whole pages of ``mapping`` before ``position`` back to the page cache; they
    are read from the file again if a later record needs them."""
    stop = position - position % mmap.PAGESIZE
    if stop > released and hasattr(mmap, "MADV_DONTNEED"):
        mapping.madvise(mmap.MADV_DONTNEED, released, stop - released)
    return stop


class _ViewReader:
    """``read(n)`` over a buffer, for reading it in bytes windows."""

    def __init__(self, buffer: Any) -> None:
        self.view = memoryview(buffer).cast("B")
        self.position = 0

    def read(self, size: int) -> bytes:
        chunk = self.view[self.position : self.position + size].tobytes()
        self.position += len(chunk)
        return chunk
