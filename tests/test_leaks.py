"""Repeated calls, on success and on every failure path, must not leak references or memory.

Three views, each catching what the others miss: the interpreter's total reference count
(debug builds only) sees a leaked reference to an immortal or cached object; tracemalloc sees
leaked Python objects by their size; resident memory sees the C++ side, which neither tracks.
"""

import gc
import os
import platform
import sys
import time

import pytest

import vezuvir
from leak_cases import CASES
from vezuvir import Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

PYPY = platform.python_implementation() == "PyPy"
pytestmark = [
    pytest.mark.skipif(PYPY, reason="PyPy has neither reference counts nor tracemalloc"),
    pytest.mark.skipif(vezuvir.backend != "extension",
                       reason="counts the extension's references and memory; the pure codec has none of its own"),
]


def calls_for(case, budget=0.05):
    """How many calls fit a time budget: cheap cases run often, heavy ones still a few dozen."""
    start = time.perf_counter()
    case()
    took = time.perf_counter() - start
    return max(40, min(2000, int(budget / max(took, 1e-6))))


def repeat(case, n):
    for _ in range(n):
        case()
    gc.collect()
    # The attribute cache holds the names last looked up (a fresh string for each
    # PyObject_GetAttrString) until its slot is reused: not ours, and not a leak. Python
    # 3.14 deprecates the old name of the call that clears it.
    clear = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", None)
    if clear is not None:
        clear()


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_traced_memory_growth(name):
    import tracemalloc  # not in PyPy

    case = CASES[name]
    n = calls_for(case)
    repeat(case, n // 2 + 5)  # warm caches, interned strings, free lists
    tracemalloc.start()
    try:
        repeat(case, n // 2)
        windows = []
        for _ in range(2):
            before = tracemalloc.get_traced_memory()[0]
            repeat(case, n)
            windows.append(tracemalloc.get_traced_memory()[0] - before)
        grown = min(windows)
    finally:
        tracemalloc.stop()
    # The smallest object a leaked reference can hold is 16 bytes: a leak in every call would
    # grow by at least 16 * n, in both windows. Allow well under that for allocator and frame
    # noise; a cache filled once (a kilobyte or two on 3.10) grows one window only.
    assert grown < max(4 * n, 2048), f"{name}: {grown} bytes more after {n} calls"


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
@pytest.mark.parametrize("name", sorted(CASES))
def test_no_reference_growth(name):
    case = CASES[name]
    n = calls_for(case)
    repeat(case, n)
    before = sys.gettotalrefcount()
    repeat(case, n)
    grown = sys.gettotalrefcount() - before
    assert grown < n // 4, f"{name}: {grown} references more after {n} calls"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Large enough that keeping any of its buffers per call shows well above allocator noise.
BIG = [{"id": i, "name": f"user{i}" * 3, "score": i / 7, "tags": ["a", f"t{i % 50}"]} for i in range(20000)]


def big_round_trip():
    encoded = dump_bytes(BIG)
    chunks = []
    dump_bytes(BIG, writer=type("W", (), {"write": lambda self, c: chunks.append(c)})(),
               flush_threshold=65536)
    assert load_bytes(encoded) == BIG
    assert lazy_load_bytes(encoded, [Idx(19999), "tags", Idx(1)]) == "t49"
    assert bytes_check_if_contains(encoded, [Idx(20000)]) is False
    return len(encoded)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory in its quarantine (its leak check runs apart)",
)
def test_no_resident_memory_growth():
    # The C++ side allocates outside the interpreter's view: only the process size shows a
    # leaked buffer. A kept buffer of the big round trip costs hundreds of KiB per round.
    def round_of_all():
        big_round_trip()
        for case in CASES.values():
            case()

    for _ in range(3):
        round_of_all()
    gc.collect()
    before = resident_bytes()
    rounds = 0
    deadline = time.monotonic() + 3
    while rounds < 15 or time.monotonic() < deadline and rounds < 100:
        round_of_all()
        rounds += 1
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 4 << 20, f"resident memory grew by {grown >> 10} KiB over {rounds} rounds"
