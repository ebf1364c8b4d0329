"""Memory of decoding per byte of input: the densest valid forms, and hostile ones whose
declared counts promise what the input does not hold. Prints, for each, the input's size and
the peak memory (traced by tracemalloc) of `load_bytes` on it, with and without tuples, and
the largest ratio: what the README's untrusted-input section states.

    python bench/memory.py            # the active codec (VEZUVIR_BACKEND chooses)

CPython only: tracemalloc sees the interpreter's allocations there.
"""

import sys
import tracemalloc

import vezuvir
from vezuvir import load_bytes
from vezuvir._pure.encoder import varint_bytes as varint

N = 1_000_000
MARKER = b"<o>"


def nested(opening, levels, padding):
    return MARKER + opening * levels + b"\x00" * padding


FORMS = {
    # Valid: a byte a value, and each value a container of its own.
    "rows of one key, {} values": MARKER + b"\x13" + varint(N) + b"\x01\x12\x01a\x06"
    + b"\x06" * (N - 1),
    "rows of one key": MARKER + b"\x13" + varint(N) + b"\x01\x12\x01a\x1f" + b"\x1f" * (N - 1),
    "list of empty dicts": MARKER + b"\x0d" + varint(N) + b"\x06" * N,
    "list of empty lists": MARKER + b"\x0d" + varint(N) + b"\x05" * N,
    "packed booleans": MARKER + b"\x0e\x0c" + varint(8 * N) + b"\xff" * N,
    # Hostile: 900 levels, each declaring about what the bytes after it hold.
    "nested dicts, 90,000 declared each": nested(b"\x10" + varint(90_000) + b"\x01a", 900,
                                                 180_000),
    "nested any-key dicts": nested(b"\x0f" + varint(90_000) + b"\x1f", 900, 180_000),
    "nested structured rows": nested(b"\x13\x01" + varint(45_000) + b"\x1f", 900, 180_000),
    "nested lists, 100,000 declared each": nested(b"\x0d" + varint(100_000), 900, 100_000),
}


def peak(data, **options):
    tracemalloc.start()
    try:
        load_bytes(data, **options)
        outcome = "decoded"
    except Exception as exc:  # the outcome is reported, not raised
        outcome = type(exc).__name__
    top = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return top, outcome


def main():
    if sys.implementation.name != "cpython":
        sys.exit("bench/memory.py needs CPython: tracemalloc sees PyPy's allocations only in part")
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 2000))
    print(f"{sys.implementation.name} {sys.version.split()[0]}, backend {vezuvir.backend}")
    print(f"{'form':44s} {'input':>11s} {'peak':>12s} {'per byte':>9s}  outcome")
    worst = 0.0
    for name, data in FORMS.items():
        for options in ({}, {"use_tuples": True}):
            top, outcome = peak(data, **options)
            ratio = top / len(data)
            worst = max(worst, ratio)
            label = name + (", tuples" if options else "")
            print(f"{label:44s} {len(data):>11,} {top:>12,} {ratio:>9.1f}  {outcome}")
    print(f"largest: {worst:.0f} bytes of memory per byte of input")


if __name__ == "__main__":
    main()
