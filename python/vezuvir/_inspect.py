"""What an encoding, or a log of them, holds (``vezuvir stats``).

``walk`` gathers the counts with the active backend's ``encoding_stats``, which reads the bytes
the way the decoder does but builds nothing except the back-reference table (as offsets), so it
can say how each string was written and what the compact forms saved. Savings are measured
against the plain form the same value would otherwise take: a string written in full at that
spot, a list of dicts with their keys repeated, a list of single-byte items. The pure codec's
walk also finds the identifiers of custom values.
"""

import re
from typing import Any, Callable, List, Optional

from vezuvir import _backend, _files, _records
from vezuvir._pure import stats as _stats
from vezuvir.exceptions import DeserializationError

__all__ = ["EncodingStats", "walk", "custom_identifiers"]

MARKER = b"<o>"


class EncodingStats:
    """What ``walk`` found in one encoding. Sizes are in bytes."""

    __slots__ = ("size", "records", "trailing_bytes", *_stats.FIELDS)

    def __init__(self, size: int) -> None:
        for name in self.__slots__:
            setattr(self, name, 0)
        self.size = size

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name in self.__slots__}


def walk(
    source: Any,
    progress: Optional[Callable[[int], None]] = None,
    max_record_size: Optional[int] = None,
    each: Optional[Callable[[memoryview], None]] = None,
) -> EncodingStats:
    """Counts what the encoding in ``source`` holds, summed over its records when encodings
    follow one another (a record log); bytes after the last one that do not start another
    are ``trailing_bytes``. Raises ``DeserializationError`` if a record is invalid or cut
    short.

    ``source`` is bytes (or any object exporting them) or a binary stream, read in windows
    that hold whole records, so a log of any size is walked in bounded memory; records after
    the first may take at most ``max_record_size`` bytes (None: no bound). ``progress`` is
    called now and then with the read position, ``each`` with every record's bytes (valid
    only during the call), after they were counted.
    """
    if not _files._exports_buffer(source) and hasattr(source, "read"):
        return _walk(source, progress, max_record_size, each)
    reader = _records._ViewReader(source)
    try:
        return _walk(reader, progress, max_record_size, each)
    finally:
        reader.release()


def _walk(
    source: Any,
    progress: Optional[Callable[[int], None]],
    max_record_size: Optional[int],
    each: Optional[Callable[[memoryview], None]],
) -> EncodingStats:
    _vezuvir = _backend.module()
    skip = _vezuvir.skip_record

    window = _records.Window(source, "stats", None)
    stats = EncodingStats(0)
    start = 0
    while True:
        # The record at `start`, read whole into the window.
        try:
            end = skip(window.data, start)
        except RecursionError:
            # Nested deeper than the skipper goes: the walker, which does not recurse, alone.
            start = _walk_deep(window, start, stats, each)
            window.limit = max_record_size
            continue
        except DeserializationError as exc:
            if window.cut_short(exc, start):
                window.check_needed(exc, start)
                start = window.read_on(start)
                continue
            if stats.records and str(exc).endswith(_NO_MARKER):
                break
            raise _record_failure(window, start, exc) from None
        if window.limit is not None and end - start > window.limit:
            raise window.too_long(start, end - start)
        # The records after it that the window holds whole, counted in one call.
        ends = [end]
        while True:
            try:
                end = skip(window.data, ends[-1])
            except DeserializationError:
                break
            if max_record_size is not None and end - ends[-1] > max_record_size:
                break  # refused below, as the next record
            ends.append(end)
        try:
            counts = _vezuvir.encoding_stats(window.data, start, ends[-1])
        except DeserializationError as exc:
            raise DeserializationError(_rebased(str(exc), window.base)) from None
        for name in _stats.FIELDS:
            setattr(stats, name, getattr(stats, name) + counts[name])
        stats.records += counts["records"]
        if each is not None:
            for end in ends:
                each(window.view[start:end])
                start = end
        start = ends[-1]
        if progress is not None:
            progress(window.base + start)
        # A first encoding is a document, read whole; what follows it are records.
        window.limit = max_record_size
    stats.trailing_bytes = window.size - start + _rest(source)
    stats.size = window.base + start + stats.trailing_bytes
    return stats


_NO_MARKER = "missing starting marker `<o>`"


def _walk_deep(
    window: "_records.Window",
    start: int,
    stats: EncodingStats,
    each: Optional[Callable[[memoryview], None]],
) -> int:
    """Counts the one record at ``start`` with ``encoding_stats`` alone, reading on until the
    window holds it; returns where it ends."""
    _vezuvir = _backend.module()

    while True:
        try:
            counts = _vezuvir.encoding_stats(window.data, start, start + 1)
            break
        except DeserializationError as exc:
            if window.at_end or not str(exc).endswith(": Unexpected end of input"):
                window.cut_short(exc, start)  # says so if the file shrank
                raise DeserializationError(_rebased(str(exc), window.base)) from None
            window.check_needed(exc, start)
            start = window.read_on(start)
    end = counts["end"]
    if window.limit is not None and end - start > window.limit:
        raise window.too_long(start, end - start)
    for name in _stats.FIELDS:
        setattr(stats, name, getattr(stats, name) + counts[name])
    stats.records += 1
    if each is not None:
        each(window.view[start:end])
    return end
_OFFSET = re.compile(r"record at byte offset ([0-9]+): ")


def _rebased(message: str, base: int) -> str:
    """A message of ``encoding_stats`` on a window, with its offset counted in the stream."""
    return _OFFSET.sub(lambda m: f"record at byte offset {int(m.group(1)) + base}: ", message, 1)


def _record_failure(
    window: "_records.Window", start: int, exc: DeserializationError
) -> DeserializationError:
    """What is wrong with the record at ``start``, in the walker's words where it has any."""
    _vezuvir = _backend.module()

    try:
        _vezuvir.encoding_stats(window.data, start, start + 1)
    except DeserializationError as failure:
        return DeserializationError(_rebased(str(failure), window.base))
    return _records._record_error(exc, window.base + start)


def _rest(stream: Any) -> int:
    """Reads ``stream`` to its end; how many bytes that took."""
    count = 0
    while True:
        chunk = stream.read(_records._CHUNK)
        if not chunk:
            return count
        count += len(chunk)


def custom_identifiers(data: bytes) -> List[Any]:
    """The identifiers of the custom values in ``data``, in stream order, repeats included."""
    return _stats.custom_identifiers(data)
