from typing import Any, Callable, Mapping, Optional, Protocol, Sequence, Union

from vezuvir.serialize.settings import CustomType

class _Writer(Protocol):
    def write(self, data: bytes, /) -> Any: ...

_Buffer = Union[bytes, bytearray]

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
