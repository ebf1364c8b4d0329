"""vezuvir: compact, fast binary encoding of JSON-like Python objects, with lazy path reads."""

from vezuvir.exceptions import DeserializationError, SerializationError, VezuvirError
from vezuvir.serialize.settings import CustomType
from vezuvir.deserialize.lazy_load import Idx
from _vezuvir import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

__all__ = [
    "dump_bytes",
    "load_bytes",
    "lazy_load_bytes",
    "bytes_check_if_contains",
    "CustomType",
    "Idx",
    "VezuvirError",
    "DeserializationError",
    "SerializationError",
]

__version__ = "0.1.0"
