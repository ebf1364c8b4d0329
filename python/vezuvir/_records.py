"""Record logs: encodings written one after another (``dump`` per record to a file opened
for appending), read back one record at a time."""

import io
import os
import stat
import sys
from typing import Any, Callable, Iterator, Optional, Sequence, Tuple

from vezuvir import _backend
from vezuvir._files import Source, _as_path, _exports_buffer, _reject_text_stream
from vezuvir._pure._common import parse_limit
from vezuvir.exceptions import DeserializationError

__all__ = ["iter_load", "iter_lazy_load"]

# First read from a stream; a record that does not fit makes the next read as large again.
_CHUNK = 1 << 20
# The most bytes one record of a file or stream may take unless the caller says otherwise:
# a header may declare any length, and a pipe need never end.
DEFAULT_MAX_RECORD_SIZE = 256 << 20
# A smallest encoding, to check a call's options before the first record is read.
_PROBE = b"<o>\x04"
# The extension reads a bytearray or memoryview where it lies on CPython. The pure codec,
# and the extension on PyPy (where such a buffer may move under a held export), copy every
# input but bytes on each call: for them a window is handed over as bytes, and a buffer
# source is read in windows too, so that a record costs what it holds, not what the log
# does.
_IN_PLACE = _backend.NAME == "extension" and sys.implementation.name == "cpython"
# Streams read into our buffer directly; others are asked for bytes.
_READS_INTO = (io.FileIO, io.BufferedReader, io.BufferedRandom, io.BytesIO)

# One record's reader: (buffer, a memoryview of it, start, end or None) -> (value, end).
_Reader = Callable[[Any, memoryview, int, Optional[int]], Tuple[Any, int]]


def iter_load(
    source: Source, *, max_record_size: Optional[int] = DEFAULT_MAX_RECORD_SIZE, **options: Any
) -> Iterator[Any]:
    """Yield each record of a record log, decoded.

    ``source`` is a path or a binary stream, read in windows in memory bounded by the
    largest record, or bytes or any object exporting them (memoryview, mmap, array). Takes
    the keywords of ``load_bytes`` except ``ignore_extra_data``, and ``max_record_size``:
    the most bytes a record of a path or stream may take (256 MiB by default; None lifts
    it). Every complete record before a damaged or truncated one is yielded; then
    ``DeserializationError`` names the damaged record's byte offset.
    """
    _vezuvir = _backend.module()

    limit = parse_limit(max_record_size, "max_record_size", 0)
    _check_options("iter_load", "load_record", lambda: _vezuvir.load_record(_PROBE, **options))

    def read(buffer: Any, view: memoryview, start: int, end: Optional[int]) -> Tuple[Any, int]:
        return _vezuvir.load_record(buffer, start, **options)

    # A converter is the caller's code: it must not run twice on a record read again once
    # it is whole.
    return read_records(source, "iter_load", read, limit, eager="custom_types" not in options)


def iter_lazy_load(
    source: Source,
    path: Sequence[Any],
    *,
    max_record_size: Optional[int] = DEFAULT_MAX_RECORD_SIZE,
    **options: Any,
) -> Iterator[Any]:
    """Yield the value at ``path`` in each record of a record log, stepping over the rest
    of every record without building it.

    ``source`` and ``max_record_size`` are as for ``iter_load``; ``path`` and the other
    keywords are those of ``lazy_load_bytes``. A record in which ``path`` leads nowhere
    raises ``DeserializationError`` naming that record's byte offset.
    """
    _vezuvir = _backend.module()

    limit = parse_limit(max_record_size, "max_record_size", 0)
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

    return read_records(source, "iter_lazy_load", read, limit)


def _check_options(name: str, callee: str, probe: Callable[[], Any]) -> None:
    """Raises the argument errors of a call now, rather than at the first record."""
    try:
        probe()
    except TypeError as exc:
        raise TypeError(str(exc).replace(f"{callee}()", f"{name}()")) from None


def read_records(
    source: Any,
    name: str,
    read: _Reader,
    max_record_size: Optional[int] = None,
    eager: bool = False,
) -> Iterator[Any]:
    """What ``read`` makes of each record of ``source``; ``name`` is the caller's, for
    messages. A DeserializationError from ``read`` is reported with the record's offset.
    ``max_record_size`` bounds the records of a path or stream; ``eager`` is as for
    ``window_records``."""
    if isinstance(source, (str, os.PathLike)):
        return _path_records(source, name, read, max_record_size, eager)
    if isinstance(source, (bytes, bytearray)) or _exports_buffer(source):
        if _IN_PLACE or isinstance(source, bytes):
            return _in_place(source, read)
        # Already in memory: only the copy is windowed, not bounded.
        return _buffer_windows(source, name, read, eager)
    if hasattr(source, "read"):
        _reject_text_stream(source, name)
        return _windows(source, name, read, max_record_size, eager)
    raise TypeError(
        f"{name}() source must be bytes, bytearray, a path or a binary file object, "
        f"not {type(source).__name__!r}"
    )


def _path_records(
    path: Any, name: str, read: _Reader, limit: Optional[int], eager: bool
) -> Iterator[Any]:
    # Read, not mapped: a mapped file that another process truncates (a log rotated by
    # copying and truncating it) kills the reading process with SIGBUS.
    with open(path, "rb", buffering=0) as f:
        yield from _windows(f, name, read, limit, eager)


def _in_place(buffer: Any, read: _Reader) -> Iterator[Any]:
    """Records of a buffer that holds the whole log, read where they lie."""
    base = memoryview(buffer)
    view = base.cast("B")
    start = 0
    try:
        while start < view.nbytes:
            try:
                value, end = read(buffer, view, start, None)
            except DeserializationError as exc:
                raise _record_error(exc, start) from exc.__cause__
            yield value
            start = end
    finally:
        # Lets a bytearray be resized again: PyPy frees a view only when it collects it.
        view.release()
        base.release()


def _windows(
    stream: Any, name: str, read: _Reader, limit: Optional[int], eager: bool
) -> Iterator[Any]:
    """Records of a stream, each read where it lies in a window that holds it whole."""
    return window_records(Window(stream, name, limit), read, eager)


def window_records(window: "Window", read: _Reader, eager: bool = False) -> Iterator[Any]:
    """What ``read`` makes of each record of ``window``'s stream, from the window's start
    (which may already hold bytes).

    ``eager``: ``read`` finds a record's end itself and runs no code of the caller's, so it
    is tried before the record is known to be whole, and the skipper is asked only when the
    record turns out cut short (to say how much more to read)."""
    skip = _backend.module().skip_record
    limit = window.limit
    data, view, start = window.data, window.view, 0
    while True:
        if eager:
            try:
                value, end = read(data, view, start, None)
            except DeserializationError as exc:
                if not window.cut_short(exc, start):
                    if start == window.size:
                        return
                    raise _record_error(exc, window.base + start) from exc.__cause__
            else:
                if limit is not None and end - start > limit:
                    raise window.too_long(start, end - start)
                yield value
                start = end
                continue
        try:
            end = skip(data, start)
        except DeserializationError as exc:
            if not window.cut_short(exc, start):
                if start == window.size:
                    return
                raise _record_error(exc, window.base + start) from None
            window.check_needed(exc, start)
            start = window.read_on(start)
            data, view = window.data, window.view
            continue
        if limit is not None and end - start > limit:
            raise window.too_long(start, end - start)
        try:
            value, _ = read(data, view, start, end)
        except DeserializationError as exc:
            raise _record_error(exc, window.base + start) from exc.__cause__
        yield value
        start = end


class Window:
    """A stream read into one buffer that holds the record being read whole.

    ``data`` is what has been read and kept: from ``base`` in the stream, ``size`` bytes; a
    memoryview of the buffer for a codec that reads it in place, else bytes (``view`` is a
    memoryview of it either way). Reading on drops what lies before the record being read.
    ``limit`` bounds a record's size (None: no bound).
    """

    def __init__(self, stream: Any, name: str, limit: Optional[int]) -> None:
        self.stream = stream
        self.name = name
        self.limit = limit
        self.buffer = bytearray()
        self.base = self.size = 0
        self.at_end = False
        self.data: Any = b""
        self.view = memoryview(b"")

    def cut_short(self, exc: DeserializationError, start: int) -> bool:
        """Whether the record at ``start`` may only lack bytes not read yet. At the end of
        a file that shrank while it was read, raises DeserializationError saying so."""
        if self.at_end:
            self._check_shrunk(start)
            return False
        return _cut_short(exc, self.size - start)

    def check_needed(self, exc: DeserializationError, start: int) -> None:
        """Raises when the record at ``start`` needs more than ``limit`` bytes: at least
        what ``exc``, from skip_record on ``data``, says, or one more than is held."""
        needed = getattr(exc, "needed", self.size + 1) - start
        if self.limit is not None and needed > self.limit:
            raise self.too_long(start, needed)

    def too_long(self, start: int, needed: int) -> DeserializationError:
        return DeserializationError(
            f"record at byte offset {self.base + start}: the record takes at least {needed} "
            f"bytes, more than the limit of {self.limit} (`max_record_size`); pass a larger "
            "limit or None to read it"
        )

    def read_on(self, start: int) -> int:
        """Drops what lies before ``start`` and reads on; returns where the record there now
        starts (0). Sets ``at_end`` at the stream's end."""
        held = self.size - start
        # A multiple of what is held when that is more than a chunk: a record that does not
        # fit is stepped over from its start again after each read. Memory follows the bytes
        # that arrive, not what a header declares, and never passes what a record may take
        # (the caller checked that the record needs no more than that). A file's size is
        # known: there the window grows faster, up to what is left to read (bytearray(n)
        # writes all n bytes).
        remaining = self._remaining()
        capacity = max(_CHUNK, (2 if remaining is None else 4) * held)
        if remaining is not None and held + remaining <= 2 * capacity:
            # The rest of the file at once rather than a last step for its tail (and no
            # chunk for a small file).
            capacity = held + max(remaining, 1)
        if self.limit is not None:
            capacity = min(capacity, max(_CHUNK, self.limit + 1))
        buffer = self.buffer
        if capacity > len(buffer):
            buffer = bytearray(capacity)
        # Through memoryviews: a slice assignment of bytearrays copies the source first.
        memoryview(buffer)[:held] = memoryview(self.buffer)[start : self.size]
        self.buffer = buffer
        self.base += start
        self.size = held + self._fill(memoryview(buffer)[held:])
        view = memoryview(buffer)[: self.size]
        self.data = view if _IN_PLACE else view.tobytes()
        self.view = view if _IN_PLACE else memoryview(self.data)
        return 0

    def _remaining(self) -> Optional[int]:
        """How many bytes a regular file holds after what was read of it (negative when it
        shrank below that); None for other streams."""
        stream = self.stream
        if not isinstance(stream, (io.FileIO, io.BufferedReader, io.BufferedRandom)):
            return None
        try:
            status = os.fstat(stream.fileno())
            position = stream.tell()
        except (OSError, ValueError):
            return None
        return status.st_size - position if stat.S_ISREG(status.st_mode) else None

    def _fill(self, target: memoryview) -> int:
        """Reads into ``target`` until it is full or the stream ends."""
        got = 0
        while got < len(target):
            n = self._read_into(target[got:])
            if not n:
                self.at_end = True
                break
            got += n
        return got

    def _read_into(self, target: memoryview) -> int:
        stream = self.stream
        if type(stream) in _READS_INTO:
            n = stream.readinto(target)
            if n is None:
                raise BlockingIOError(f"{self.name}() cannot wait for a non-blocking stream")
            return n
        chunk = stream.read(len(target))
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            raise TypeError(
                f"{self.name}() read {type(chunk).__name__!r} from the stream; open it in "
                "binary mode"
            )
        n = len(chunk)
        if n > len(target):
            raise ValueError(f"{self.name}() asked the stream for {len(target)} bytes and got {n}")
        target[:n] = chunk
        return n

    def _check_shrunk(self, start: int) -> None:
        """At the end of a file: raises if the file is now shorter than what was read of it
        (another process truncated it)."""
        remaining = self._remaining()
        if remaining is not None and remaining < 0:
            raise DeserializationError(
                f"record at byte offset {self.base + start}: the file shrank to "
                f"{self.stream.tell() + remaining} bytes while it was read"
            )


def _cut_short(exc: DeserializationError, available: int) -> bool:
    """Whether a record may only lack the bytes that have not been read yet."""
    message = str(exc)
    return message == "Unexpected end of input" or (
        available < 3 and message.endswith("missing starting marker `<o>`")
    )


class TrailingBytes(DeserializationError):
    """Bytes after the last record that do not start another: the command line tells them
    apart from a damaged record by this type (``offset`` is where they start)."""

    def __init__(self, message: str, offset: int) -> None:
        super().__init__(message)
        self.offset = offset


def _record_error(exc: DeserializationError, offset: int) -> DeserializationError:
    message = f"record at byte offset {offset}: {exc}"
    if offset > 0 and str(exc).endswith("missing starting marker `<o>`"):
        return TrailingBytes(message, offset)
    return DeserializationError(message)


def _buffer_windows(buffer: Any, name: str, read: _Reader, eager: bool) -> Iterator[Any]:
    reader = _ViewReader(buffer)
    try:
        yield from _windows(reader, name, read, None, eager)
    finally:
        reader.release()


class _ViewReader:
    """``read(n)`` over a buffer, for reading it in bytes windows. Every view of the buffer
    is released as soon as it is done with (``release`` for the last): PyPy frees a view only
    when it collects it, and refuses to resize a bytearray while one lives."""

    def __init__(self, buffer: Any) -> None:
        self.base = memoryview(buffer)
        self.view = self.base.cast("B")
        self.position = 0

    def read(self, size: int) -> bytes:
        with self.view[self.position : self.position + size] as part:
            chunk = part.tobytes()
        self.position += len(chunk)
        return chunk

    def release(self) -> None:
        self.view.release()
        self.base.release()
