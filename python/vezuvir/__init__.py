"""vezuvir: compact, fast binary encoding of JSON-like Python objects, with lazy path reads."""

from typing import TYPE_CHECKING

from vezuvir.exceptions import DeserializationError, SerializationError, VezuvirError
from vezuvir.serialize.settings import CustomType
from vezuvir.deserialize.lazy_load import Idx
from vezuvir._files import contains, dump, lazy_load, load
from vezuvir import _backend

#: The codec behind the functions: "extension" (the C++ module) or "python" (pure Python,
#: the default on PyPy). The environment variable VEZUVIR_BACKEND chooses at import time.
backend = _backend.NAME

if TYPE_CHECKING:
    from _vezuvir import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
    from _vezuvir import dump_bytes as dumps, load_bytes as loads

__all__ = [
    "dump_bytes",
    "load_bytes",
    "lazy_load_bytes",
    "bytes_check_if_contains",
    "dump",
    "load",
    "lazy_load",
    "contains",
    "dumps",
    "loads",
    "CustomType",
    "Idx",
    "VezuvirError",
    "DeserializationError",
    "SerializationError",
    "backend",
]

__version__ = "0.1.0"

_FUNCTIONS = ("dump_bytes", "load_bytes", "lazy_load_bytes", "bytes_check_if_contains")
# Familiar names for users coming from json and pickle; the same objects as the originals.
_ALIASES = {"dumps": "dump_bytes", "loads": "load_bytes"}


# _vezuvir imports this package while it initialises. Importing _vezuvir from here at module
# level would start a second, nested initialisation whenever a user imports _vezuvir first,
# leaving two module objects; the functions are therefore fetched on first use, from the
# active backend.
def __getattr__(name):
    if name in _FUNCTIONS or name in _ALIASES:
        function = getattr(_backend.module(), _ALIASES.get(name, name))
        globals()[name] = function
        return function
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_FUNCTIONS) | set(_ALIASES))
