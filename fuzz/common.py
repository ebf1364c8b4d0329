"""Shared by the fuzz targets: the import of the library under test and the input layouts.

A target's input is a small header the fuzzer mutates like any other byte, then the encoding.
Keeping the header short and fixed lets the seed corpus be plain encodings behind it.
"""

import ctypes
import os
import sys
import time
import tracemalloc
import zlib

import atheris

# The extension must come from the fuzzing build (clang, -fsanitize=fuzzer-no-link): only its
# coverage counters steer the fuzzer into the decoder's branches.
with atheris.instrument_imports(include=["vezuvir"]):
    import vezuvir  # noqa: F401
from vezuvir import DeserializationError, Idx  # noqa: E402

import generate  # noqa: E402  (after the instrumented import: it imports vezuvir)

# Keys that occur in the seed encodings and in what the fuzzer makes of them.
KEYS = ["a", "b", "id", "name", "type", "", "é", 0, 1, -7, 2.5, None, True, "key", "url", "data"]

# Identifiers the seeds use; converters that accept anything, and one that raises.
def _raise(value):
    raise ValueError("converter")


CUSTOM = {"point": list, "dec": str, "boom": _raise, 1: repr}

# What a reader may raise on hostile input; anything else is a finding.
EXPECTED = (DeserializationError, RecursionError, MemoryError)
DESIGNED_TYPE_ERRORS = ("Unexpected consistent list type", "Unexpected flag", "Unexpected type flag: ")


def allow(exc):
    """Returns for the errors hostile input may cause; re-raises anything else as a finding."""
    if isinstance(exc, EXPECTED):
        return
    # By design these corruptions are TypeErrors, not decoding errors, and
    # bytes_check_if_contains lets them through rather than answering False.
    if type(exc) is TypeError and str(exc).startswith(DESIGNED_TYPE_ERRORS):
        return
    raise exc


def split_path(data: bytes):
    """[flags][n][n steps of (kind, value)][encoding] -> (flags, path, encoding)."""
    if len(data) < 2:
        return 0, [], b""
    flags, count = data[0], data[1] % 8
    path, pos = [], 2
    for _ in range(count):
        if pos + 2 > len(data):
            break
        kind, value = data[pos], data[pos + 1]
        pos += 2
        path.append(Idx(value) if kind & 1 else KEYS[value % len(KEYS)])
    return flags, path, data[pos:]


# Resource budget of one reader call: what a few bytes must never be able to cost. The
# readers run with a small `max_free_elements`, so the Nones and empty rows that take no input
# bytes are bounded too; past these, an input is a finding like a crash. Tight enough that a
# count reserved once per nesting level (25 levels of dicts, each sized for what the input
# holds, cost 450 bytes per byte) or a message holding a decoded value's whole text is one.
FREE_ELEMENTS = 4096
MEMORY_PER_BYTE = 320  # decoded objects of the densest form (256 bytes a byte), with room
MEMORY_BASE = FREE_ELEMENTS * 100 + (64 << 10)
CPU_PER_BYTE = 200e-6  # seconds; ASan and coverage make everything several times slower
CPU_BASE = 0.5
# Tracing every allocation triples the cost of an input, so the peak (which also sees what a
# call builds and drops) is traced for one input in TRACE_EVERY, chosen by content so that a
# finding replays; every input is checked for what it leaves allocated, through the ASan
# runtime's counter, which costs nothing.
TRACE_EVERY = 8


def _allocated_bytes():
    try:
        counter = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except (AttributeError, OSError):
        return None
    counter.restype = ctypes.c_size_t
    return counter


_ALLOCATED = _allocated_bytes()


def within_budget(call, size, data=b""):
    """Runs `call()` and fails (AssertionError, a finding) when it used more memory or took
    more CPU time than the budget allows for an input of `size` bytes. Returns its result;
    exceptions pass through for the target to judge."""
    traced = zlib.crc32(data) % TRACE_EVERY == 0
    if traced:
        tracemalloc.start(1)
    before = _ALLOCATED() if _ALLOCATED is not None else 0
    start = time.process_time()
    result = None
    try:
        result = call()
        return result
    finally:
        cpu = time.process_time() - start
        memory = (_ALLOCATED() - before) if _ALLOCATED is not None else 0
        if traced:
            memory = max(memory, tracemalloc.get_traced_memory()[1])
            tracemalloc.stop()
        del result
        limit = MEMORY_BASE + MEMORY_PER_BYTE * size
        assert memory <= limit, f"{memory} bytes for {size} input bytes"
        assert cpu <= CPU_BASE + CPU_PER_BYTE * size, f"{cpu:.3f}s for {size} input bytes"


def run(target, header=None):
    """Fuzzes `target`. A reader names its input's `header` ("flags", "path" or "log", see
    generate.py): then one mutation in four writes a whole hostile encoding behind it."""
    if header is None:
        atheris.Setup(sys.argv, target)
    else:
        atheris.Setup(sys.argv, target, custom_mutator=generate.make_mutator(header, atheris.Mutate))
    atheris.Fuzz()


# Every target refuses to run against a build without coverage: it would fuzz blind.
def check_instrumented():
    import _vezuvir

    with open(_vezuvir.__file__, "rb") as so:
        if b"__sanitizer_cov" not in so.read() and not os.environ.get("VEZUVIR_FUZZ_UNINSTRUMENTED"):
            sys.exit(f"{_vezuvir.__file__} has no coverage instrumentation; see fuzz/run.sh")
