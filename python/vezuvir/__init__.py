"""Compact, fast binary encoding of JSON-like Python objects, with lazy path reads.

An encoding is the marker b"<o>" and one value; strings are written in full once and referred
back to afterwards, lists of dicts with one key set store their keys once.

    >>> import vezuvir
    >>> data = vezuvir.dump_bytes({"id": 7, "tags": ["a", "b", "a"]})
    >>> vezuvir.load_bytes(data)
    {'id': 7, 'tags': ['a', 'b', 'a']}
    >>> vezuvir.lazy_load_bytes(data, ["tags", vezuvir.Idx(1)])
    'b'

Functions (all options are keyword-only):

dump_bytes(obj, **options) -> bytes, or None with a writer
    Encodes None, bool, int, float, str, bytes, list, tuple and dict (exact types; keys of any
    of these but tuple), datetime.datetime and your own types when asked.
    serialize_dates=False           write datetime.datetime as its isoformat() text
    custom_types={type: CustomType}  encode instances of your types through a converter
    writer=None                     stream to writer.write(chunk) and return None
    flush_threshold=10485760        streaming: hand over a chunk once this many bytes wait
    direct_write_threshold=5242880  streaming: str and bytes contents this long go directly
    max_int_digits=4300             refuse ints of more decimal digits (None: no limit)
    allow_non_string_keys           accepted and ignored: keys of any type always work

load_bytes(buffer, **options) -> object
    Decodes a whole encoding held in bytes, bytearray or any object exporting C-contiguous
    bytes (memoryview, mmap, array), read in place; DeserializationError if it is not one.
    use_tuples=False                lists come back as tuples
    stop_gc=False                   pause the garbage collector while decoding a large tree
    ignore_extra_data=False         accept bytes after the encoded value
    custom_types={identifier: f}    rebuild custom values: f(payload)
    max_free_elements=2000000       cap on elements made from no input bytes (packed None
                                    lists, rows without keys) per call (None: no cap)
    max_int_digits=4300             refuse ints of more decimal digits (None: no limit)

lazy_load_bytes(buffer, path_to_load, **options) -> object
    The value at path_to_load, a list of dict keys and Idx(n) list indices; what lies off the
    path is stepped over, not built. DeserializationError for a missing key or index.
    include_falsy=True              accepted and ignored (see bytes_check_if_contains)
    custom_types, max_free_elements, max_int_digits   as for load_bytes

bytes_check_if_contains(buffer, path_to_load, **options) -> bool
    Whether path_to_load leads to a value; every DeserializationError answers False.
    include_falsy=True              False: 0, 0.0, "", b"", [], {}, None and False are absent
    custom_types, max_free_elements, max_int_digits   as for load_bytes

Record logs, encodings one after another in one buffer or file:

load_record(buffer, offset=0, /, **options) -> (object, end)
    Decodes the encoding that starts at offset; end is the offset just past it.
    use_tuples, stop_gc, custom_types, max_free_elements, max_int_digits   as for load_bytes

skip_record(buffer, offset=0, /) -> end
    Where the encoding that starts at offset ends, found without building anything.

encoding_stats(buffer, offset=0, stop=None, /) -> dict
    What the records from offset (starting before stop) hold: the counts of vezuvir stats.

dumps, loads                        dump_bytes and load_bytes under other names
dump(obj, fp, **options)            dump_bytes(obj, writer=fp, ...): chunks to a binary file
load(fp, **options)                 load_bytes on the rest of a binary file (mmap=True: mapped)
lazy_load(source, path, **options)  lazy_load_bytes on bytes, a file name or a binary file
contains(source, path, **options)   bytes_check_if_contains likewise
iter_load(source, **options)        each record of a record log (a path, bytes or a stream;
                                    max_record_size=268435456 bounds a record of a stream)
iter_lazy_load(source, path, **options)   the value at path in each record of a record log

Classes: CustomType(identifier, converter, include_subclasses=False, one_way=False) and
Idx(index). Exceptions: VezuvirError, the base of DeserializationError (also a ValueError)
and SerializationError (also a TypeError).

backend: "extension" when the functions are the C++ extension's (CPython's default), "python"
when they are the pure-Python codec's (PyPy's default); VEZUVIR_BACKEND=extension|python in
the environment chooses when the package is imported. Both give the same bytes and results.

The command line: vezuvir encode | decode | get | stats (vezuvir --help). The README has the
details, the byte layout of the encoding included.
"""

from typing import TYPE_CHECKING

from vezuvir.exceptions import DeserializationError, SerializationError, VezuvirError
from vezuvir.serialize.settings import CustomType
from vezuvir.deserialize.lazy_load import Idx
from vezuvir._files import contains, dump, lazy_load, load
from vezuvir._records import iter_lazy_load, iter_load
from vezuvir import _backend

#: The codec behind the functions: "extension" (the C++ module) or "python" (pure Python,
#: the default on PyPy). The environment variable VEZUVIR_BACKEND chooses at import time.
backend = _backend.NAME

if TYPE_CHECKING:
    from _vezuvir import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
    from _vezuvir import encoding_stats, load_record, skip_record
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
    "iter_load",
    "iter_lazy_load",
    "load_record",
    "skip_record",
    "encoding_stats",
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

_FUNCTIONS = (
    "dump_bytes",
    "load_bytes",
    "lazy_load_bytes",
    "bytes_check_if_contains",
    "load_record",
    "skip_record",
    "encoding_stats",
)
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
