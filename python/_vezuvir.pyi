import array
import mmap
from typing import Any, Callable, Dict, Mapping, Optional, Protocol, Sequence, Tuple, Union

from vezuvir.serialize.settings import CustomType

class _Writer(Protocol):
    def write(self, data: bytes, /) -> Any: ...

# bytes, bytearray, or any object exporting C-contiguous bytes, read in place.
_Buffer = Union[bytes, bytearray, memoryview, mmap.mmap, "array.array[int]"]

def dump_bytes(
    obj: Any,
    *,
    allow_non_string_keys: bool = ...,
    serialize_dates: bool = False,
    writer: _Writer = ...,
    flush_threshold: int = 10485760,
    direct_write_threshold: int = 5242880,
    custom_types: Mapping[type, CustomType] = ...,
    max_int_digits: Optional[int] = 4300,
) -> Any: ...
def load_bytes(
    buffer: _Buffer,
    *,
    use_tuples: bool = False,
    stop_gc: bool = False,
    ignore_extra_data: bool = False,
    custom_types: Mapping[Any, Callable[[Any], Any]] = ...,
    max_free_elements: Optional[int] = 2000000,
    max_int_digits: Optional[int] = 4300,
) -> Any: ...
def lazy_load_bytes(
    buffer: _Buffer,
    path_to_load: list,
    *,
    include_falsy: bool = True,
    custom_types: Mapping[Any, Callable[[Any], Any]] = ...,
    max_free_elements: Optional[int] = 2000000,
    max_int_digits: Optional[int] = 4300,
) -> Any: ...
def bytes_check_if_contains(
    buffer: _Buffer,
    path_to_load: list,
    *,
    include_falsy: bool = True,
    custom_types: Mapping[Any, Callable[[Any], Any]] = ...,
    max_free_elements: Optional[int] = 2000000,
    max_int_digits: Optional[int] = 4300,
) -> bool: ...

# Record logs: encodings one after another in one buffer. Positions in the messages of a
# record's errors count from the record's start.
def load_record(
    buffer: _Buffer,
    offset: int = 0,
    /,
    *,
    use_tuples: bool = False,
    stop_gc: bool = False,
    custom_types: Mapping[Any, Callable[[Any], Any]] = ...,
    max_free_elements: Optional[int] = 2000000,
    max_int_digits: Optional[int] = 4300,
) -> Tuple[Any, int]:
    """Decode the encoding that starts at ``offset`` of ``buffer``; return the value and the
    offset just past the encoding. Bytes after it are left alone."""

def skip_record(buffer: _Buffer, offset: int = 0, /) -> int:
    """Step over the encoding that starts at ``offset`` of ``buffer`` without building it;
    return the offset just past it. Corrupt or cut-short bytes raise DeserializationError."""

def encoding_stats(
    buffer: _Buffer, offset: int = 0, stop: Optional[int] = None, /
) -> Dict[str, int]:
    """Count what the records starting from ``offset`` hold, walking on while the next bytes
    open another record and it starts before ``stop`` (default: the end). Returns the counts
    of ``vezuvir stats`` summed over the records, with ``records`` (how many) and ``end``
    (the offset where the walk stopped). Errors name the failing record's byte offset."""
