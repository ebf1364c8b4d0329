"""Inputs read in place: any object exporting C-contiguous bytes."""

import array
import mmap
import sys

import pytest

import vezuvir
from vezuvir import (
    CustomType,
    DeserializationError,
    Idx,
    bytes_check_if_contains,
    dump_bytes,
    lazy_load_bytes,
    load_bytes,
)

DOC = {"users": [{"name": "Al", "tags": ["x", "y"]}, {"name": "Bo", "tags": []}], "n": 2}
DATA = dump_bytes(DOC)


def mapped(data, tmp_path):
    path = tmp_path / "doc.qlt"
    path.write_bytes(data)
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


BUFFERS = {
    "memoryview": lambda data, tmp: memoryview(data),
    "memoryview slice": lambda data, tmp: memoryview(b"ab" + data + b"cd")[2:-2],
    "read-only memoryview of bytearray": lambda data, tmp: memoryview(bytearray(data)).toreadonly(),
    "signed bytes": lambda data, tmp: memoryview(data).cast("b"),
    "chars": lambda data, tmp: memoryview(data).cast("c"),
    "2-D contiguous": lambda data, tmp: memoryview(data + b"\0" * (-len(data) % 4)).cast("B", [4, -(-len(data) // 4)]),
    "array('B')": lambda data, tmp: array.array("B", data),
    "mmap": mapped,
    "memoryview of mmap": lambda data, tmp: memoryview(mapped(b"xyz" + data, tmp))[3:],
}


@pytest.mark.parametrize("make", BUFFERS.values(), ids=BUFFERS.keys())
def test_every_reader_takes_a_buffer_in_place(make, tmp_path):
    buffer = make(DATA, tmp_path)
    assert load_bytes(buffer, ignore_extra_data=True) == DOC
    assert lazy_load_bytes(buffer, ["users", Idx(1), "name"]) == "Bo"
    assert bytes_check_if_contains(buffer=buffer, path_to_load=["users", Idx(0), "tags", Idx(1)]) is True
    with pytest.raises(DeserializationError, match="missing starting marker"):
        load_bytes(make(b"<x>" + DATA[3:], tmp_path))


@pytest.mark.parametrize(
    "buffer, message",
    [
        (memoryview(DATA)[::2], "buffer must export C-contiguous bytes, but got a non-contiguous `<class 'memoryview'>`"),
        (array.array("i", [1, 2]), "buffer must export C-contiguous bytes, but got `<class 'array.array'>` with items of format 'i'"),
        (memoryview(DATA[:8]).cast("H"), "buffer must export C-contiguous bytes, but got `<class 'memoryview'>` with items of format 'H'"),
        ("<o>\x04", "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
        (None, "buffer must be of type `bytes` or `bytearray` but got `<class 'NoneType'>`"),
    ],
)
def test_buffers_that_are_not_contiguous_bytes_are_refused(buffer, message):
    for call in (lambda: load_bytes(buffer), lambda: lazy_load_bytes(buffer, []), lambda: bytes_check_if_contains(buffer, [])):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


class Point:
    def __init__(self, x):
        self.x = x


def resizing(kind, tmp_path):
    """An input of `kind` and a converter that tries to resize or close it mid-read."""
    data = dump_bytes([Point(1), "tail" * 1000], custom_types={Point: CustomType("pt", lambda p: p.x)})
    if kind == "array":
        buffer = array.array("B", data)
        change = lambda: buffer.extend(b"\0" * 100000)
    else:
        buffer = mapped(data, tmp_path)
        change = buffer.close
    errors = []

    def convert(x):
        try:
            change()
        except BufferError as exc:
            errors.append(exc)
        return Point(x)

    return buffer, convert, errors


@pytest.mark.parametrize("kind", ["array", "mmap"])
def test_a_held_buffer_cannot_move_under_the_reader(kind, tmp_path):
    for read in (lambda b, c: load_bytes(b, custom_types=c), lambda b, c: lazy_load_bytes(b, [Idx(0)], custom_types=c)):
        buffer, convert, errors = resizing(kind, tmp_path)
        result = read(buffer, {"pt": convert})
        # CPython refuses the change while the export is held; PyPy reads a private copy.
        assert len(errors) == (1 if sys.implementation.name == "cpython" else 0)
        assert (result[0] if isinstance(result, list) else result).x == 1


READERS = {
    "load_bytes": lambda b: load_bytes(b),
    "lazy_load_bytes": lambda b: lazy_load_bytes(b, ["n"]),
    "bytes_check_if_contains": lambda b: bytes_check_if_contains(b, ["n"]),
    "load_record": lambda b: vezuvir.load_record(b),
    "skip_record": lambda b: vezuvir.skip_record(b),
    "encoding_stats": lambda b: vezuvir.encoding_stats(b),
    "iter_load": lambda b: list(vezuvir.iter_load(b)),
    "iter_lazy_load": lambda b: list(vezuvir.iter_lazy_load(b, ["n"])),
}


@pytest.mark.parametrize("read", READERS.values(), ids=READERS.keys())
def test_no_export_outlives_the_call(read):
    # PyPy 8 refuses to resize a bytearray while any view of it lives, released or not yet
    # collected: one left behind would break a caller that reuses its receive buffer.
    data = bytearray(DATA)
    read(data)
    data.extend(b"\0")
    del data[:]


@pytest.mark.skipif(
    sys.implementation.name != "cpython" or not sys.platform.startswith("linux"),
    reason="reads the mapping in place and measures RssFile on Linux CPython",
)
def test_reading_through_a_large_mapping_gives_the_passed_pages_back(tmp_path, isolated):
    # 48 MiB of distinct strings; the value read at the end refers back to the first one.
    code = f"""
        import mmap, vezuvir, _vezuvir
        from vezuvir import Idx
        path = {str(tmp_path / "big.qlt")!r}
        items = ["first"] + [f"{{i:08d}}" + "x" * 92 for i in range(480_000)]
        with open(path, "wb") as f:
            vezuvir.dump({{"items": items, "last": ["first"]}}, f)
        del items

        def resident_file_kib():
            for line in open("/proc/self/status"):
                if line.startswith("RssFile:"):
                    return int(line.split()[1])

        with open(path, "rb") as f:
            mapping = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        before = resident_file_kib()
        assert vezuvir.lazy_load_bytes(mapping, ["last", Idx(0)]) == "first"
        assert _vezuvir.skip_record(mapping) == len(mapping)
        assert _vezuvir.encoding_stats(mapping)["strings_in_full"] == 480_003
        print(resident_file_kib() - before)
    """
    result = isolated(code)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 40 * 1024


# The pure codec's stats walk reads in place; a profile hook stands in for another thread.
RECORD = dump_bytes({"a": [1, "x" * 10, {"k": "x" * 10}], "b": ["y", "y"]})


@pytest.mark.parametrize("kind", ["mmap", "bytearray"])
# A cut just after a record's walk cannot be told from one during it: that record is named.
@pytest.mark.parametrize("event, nth, named", [("call", 2, 1), ("return", 1, 0)], ids=["in a record", "after one"])
def test_a_buffer_cut_under_the_stats_walk_ends_as_a_cut_record(kind, event, nth, named, tmp_path):
    from vezuvir._pure import encoding_stats
    from vezuvir._pure.stats import Walker

    log = RECORD * 3
    if kind == "mmap":
        buffer = mapped(log, tmp_path)
        change = buffer.close
    else:
        buffer = bytearray(log)
        change = buffer.clear
    seen, refused = [], []

    def hook(frame, what, arg):
        if frame.f_code is Walker.record.__code__ and what == event:
            seen.append(what)
            if len(seen) == nth:
                try:
                    change()
                except BufferError as exc:
                    refused.append(exc)

    before = sys.getprofile()
    sys.setprofile(hook)
    try:
        outcome = encoding_stats(buffer)
    except DeserializationError as exc:
        outcome = str(exc)
    finally:
        sys.setprofile(before)
    assert len(seen) >= nth
    # CPython (and PyPy 8 for a bytearray) refuses the change while the walk holds the export.
    if refused:
        assert outcome == encoding_stats(log)
    else:
        assert outcome == f"record at byte offset {named * len(RECORD)}: Unexpected end of input"
