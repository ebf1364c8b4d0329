"""The codec in pure Python: the extension's four functions with the same bytes, results,
exceptions and messages, written for PyPy's JIT (the extension pays PyPy's C-API emulation
for every object it touches). `vezuvir` picks it on PyPy; see `vezuvir._backend`."""

from vezuvir._pure.decoder import load_bytes
from vezuvir._pure.dump import dump_bytes
from vezuvir._pure.navigation import bytes_check_if_contains, lazy_load_bytes
from vezuvir._pure.records import load_record, skip_record
from vezuvir._pure.stats import encoding_stats

__all__ = [
    "dump_bytes",
    "load_bytes",
    "lazy_load_bytes",
    "bytes_check_if_contains",
    "load_record",
    "skip_record",
    "encoding_stats",
]
