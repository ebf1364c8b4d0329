"""What an encoding, or a log of them, holds (``vezuvir stats``).

``walk`` gathers the counts with the active backend's ``encoding_stats``, which reads the bytes
the way the decoder does but builds nothing except the back-reference table (as offsets), so it
can say how each string was written and what the compact forms saved. Savings are measured
against the plain form the same value would otherwise take: a string written in full at that
spot, a list of dicts with their keys repeated, a list of single-byte items. The pure codec's
walk also finds the identifiers of custom values.
"""

from typing import Any, Callable, List, Optional

from vezuvir import _backend
from vezuvir._pure import stats as _stats

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


# Records are counted in calls over this many bytes, between which progress is shown.
_PROGRESS_STEP = 16 << 20


def walk(data: Any, progress: Optional[Callable[[int], None]] = None) -> EncodingStats:
    """Counts what the encoding ``data`` holds, summed over its records when encodings follow
    one another (a record log); bytes after the last one that do not start another are
    ``trailing_bytes``. Raises ``DeserializationError`` if a record is invalid or cut short.

    ``data`` is bytes or any object exporting them; ``progress`` is called now and then with
    the read position.
    """
    _vezuvir = _backend.module()

    with memoryview(data) as view:
        size = view.nbytes
    stats = EncodingStats(size)
    offset = 0
    while True:
        counts = _vezuvir.encoding_stats(data, offset, min(offset + _PROGRESS_STEP, size))
        offset = counts.pop("end")
        for name, count in counts.items():
            setattr(stats, name, getattr(stats, name) + count)
        if progress is not None:
            progress(offset)
        if offset >= size or bytes(data[offset : offset + 3]) != MARKER:
            break
    stats.trailing_bytes = size - offset
    return stats


def custom_identifiers(data: bytes) -> List[Any]:
    """The identifiers of the custom values in ``data``, in stream order, repeats included."""
    return _stats.custom_identifiers(data)
