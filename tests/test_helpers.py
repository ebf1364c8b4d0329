"""The file helpers of the package, the JSON rendering of the CLI and the walker behind `stats`."""

import io
import json
import math
import mmap

import pytest

import vezuvir
from vezuvir import CustomType, DeserializationError, Idx, dump_bytes
import vezuvir._pure as pure
from vezuvir._inspect import custom_identifiers, walk
from vezuvir._pure._common import CONSISTENT_LIST, LIST, MARKER, NONE, POINTER1, STRING, STRUCTURED_LIST
from vezuvir._pure.encoder import varint_bytes
from vezuvir._pure.stats import varint_size
from vezuvir import _tagged
from vezuvir._tagged import (
    CustomValue,
    from_json_pairs,
    iter_json,
    to_json,
    write_json,
    write_json_lines,
)

from conftest import bench_params

DOC = {"users": [{"name": "Ada", "n": 0}, {"name": "Bo", "n": 2}], "raw": b"\x00"}


class Chunks:
    """A writer that keeps every chunk it is handed."""

    def __init__(self):
        self.chunks = []

    def write(self, data):
        self.chunks.append(data)


def test_dump_streams_chunks_that_join_to_dump_bytes():
    doc = {"text": ["x" * 100, "y" * 100], "n": list(range(50))}
    writer = Chunks()
    assert vezuvir.dump(doc, writer, flush_threshold=16) is None
    assert len(writer.chunks) > 1
    assert b"".join(writer.chunks) == dump_bytes(doc)


def test_dump_and_load_through_a_real_file(tmp_path):
    path = tmp_path / "doc.qlt"
    with open(path, "wb") as f:
        vezuvir.dump(DOC, f)
    with open(path, "rb") as f:
        assert vezuvir.load(f) == DOC
    with open(path, "rb") as f:
        assert vezuvir.load(f, use_tuples=True)["users"][1]["name"] == "Bo"


def test_dump_and_load_pass_options_through():
    stream = io.BytesIO()
    custom_types = {CustomValue: CustomType("p", lambda v: v.payload)}
    vezuvir.dump(CustomValue("p", 1), stream, custom_types=custom_types)
    stream.seek(0)
    assert vezuvir.load(stream, custom_types={"p": lambda payload: payload + 1}) == 2


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vezuvir.dump(1, io.BytesIO(), writer=Chunks()), "keyword argument 'writer'"),
        (lambda: vezuvir.dump(1, io.StringIO()), "binary mode"),
        (lambda: vezuvir.load(io.StringIO("<o>")), "binary mode"),
        (lambda: vezuvir.lazy_load(io.StringIO("<o>"), []), "binary mode"),
        (lambda: vezuvir.lazy_load(12, []), "source must be bytes"),
        (lambda: vezuvir.load(io.BytesIO(b"<o>\x04"), fast=True), "keyword argument 'fast'"),
    ],
)
def test_helpers_reject_wrong_arguments(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def mapped(path):
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


SOURCES = [
    ("bytes", lambda data, path: data),
    ("bytearray", lambda data, path: bytearray(data)),
    ("memoryview", lambda data, path: memoryview(data)),
    ("mmap", lambda data, path: mapped(path)),
    ("str path", lambda data, path: str(path)),
    ("Path", lambda data, path: path),
    ("binary file", lambda data, path: open(path, "rb")),
]


@pytest.mark.parametrize("make_source", [s[1] for s in SOURCES], ids=[s[0] for s in SOURCES])
def test_lazy_load_and_contains_read_every_kind_of_source(tmp_path, make_source):
    data = dump_bytes(DOC)
    path = tmp_path / "doc.qlt"
    path.write_bytes(data)
    for read, path_, options, expected in (
        (vezuvir.lazy_load, ["users", Idx(1), "name"], {}, "Bo"),
        (vezuvir.contains, ("users", Idx(0), "n"), {}, True),
        (vezuvir.contains, ["users", Idx(0), "n"], {"include_falsy": False}, False),
    ):
        source = make_source(data, path)
        try:
            assert read(source, path_, **options) == expected
        finally:
            # A caller's file stays the caller's to close.
            getattr(source, "close", lambda: None)()


def pipe_of(data):
    import os
    import threading

    read_end, write_end = os.pipe()
    threading.Thread(target=lambda: (os.write(write_end, data), os.close(write_end))).start()
    return os.fdopen(read_end, "rb")


def gzipped(data, tmp_path):
    import gzip

    path = tmp_path / "doc.qlt.gz"
    path.write_bytes(gzip.compress(data))
    return gzip.open(path, "rb")


def after_a_header(data, tmp_path):
    path = tmp_path / "doc.qlt"
    path.write_bytes(b"HEADER" + data)
    f = open(path, "rb")
    assert f.read(6) == b"HEADER"
    return f


FILE_OBJECTS = {
    "after a header": after_a_header,
    "pipe": lambda data, tmp_path: pipe_of(data),
    # gzip passes on the compressed file's descriptor: mapping it would read the wrong bytes
    "gzip": gzipped,
}


@pytest.mark.parametrize("make", FILE_OBJECTS.values(), ids=FILE_OBJECTS.keys())
def test_file_objects_are_read_from_their_position_to_the_end(make, tmp_path):
    data = dump_bytes(DOC)
    for call in (
        lambda f: vezuvir.load(f),
        lambda f: vezuvir.lazy_load(f, []),
        lambda f: vezuvir.contains(f, ["users", Idx(1), "n"]) and DOC,
        # Asked to map: only a plain file is, from its position.
        lambda f: vezuvir.load(f, mmap=True),
        lambda f: vezuvir.lazy_load(f, [], mmap=True),
    ):
        with make(data, tmp_path) as f:
            assert call(f) == DOC
            assert f.read() == b""


def test_an_empty_file_is_no_encoding(tmp_path):
    path = tmp_path / "empty.qlt"
    path.write_bytes(b"")
    with pytest.raises(DeserializationError, match="missing starting marker"):
        vezuvir.lazy_load(path, [])
    with open(path, "rb") as f, pytest.raises(DeserializationError, match="missing starting marker"):
        vezuvir.load(f)


def test_contains_still_raises_for_a_missing_file(tmp_path):
    # False would claim the file was read and the path is absent.
    with pytest.raises(FileNotFoundError):
        vezuvir.contains(tmp_path / "absent.qlt", ["a"])


def test_aliases_are_the_functions_themselves():
    assert vezuvir.dumps is vezuvir.dump_bytes
    assert vezuvir.loads is vezuvir.load_bytes
    assert vezuvir.loads(vezuvir.dumps([1, "a"])) == [1, "a"]
    assert {"dump", "load", "lazy_load", "contains", "dumps", "loads"} <= set(dir(vezuvir))


def test_helpers_do_not_start_the_extension_early(isolated):
    # _vezuvir imports the package while it initialises; the package must not import it back.
    result = isolated(
        """
        import io, sys
        import vezuvir, vezuvir.cli
        assert "_vezuvir" not in sys.modules, "imported too early"
        import _vezuvir
        stream = io.BytesIO()
        vezuvir.dump([1], stream)
        assert vezuvir.load(io.BytesIO(stream.getvalue())) == [1]
        assert sys.modules["_vezuvir"] is _vezuvir
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


# --- JSON rendering --------------------------------------------------------------------------

RENDERED = [
    (b"hi", {"$bytes": "aGk="}),
    (math.inf, {"$float": "inf"}),
    (-math.inf, {"$float": "-inf"}),
    ({1: "a", None: [b""]}, {"$dict": [[1, "a"], [None, [{"$bytes": ""}]]]}),
    ({b"k": 1}, {"$dict": [[{"$bytes": "aw=="}, 1]]}),
    # A real dict that looks like a tag must not read back as one.
    ({"$bytes": "aGk="}, {"$dict": [["$bytes", "aGk="]]}),
    ({"$bytes": 1, "b": 2}, {"$bytes": 1, "b": 2}),
    (CustomValue("p", [1]), {"$custom": ["p", [1]]}),
    ([10**30, -0.5, "é", True, None], [10**30, -0.5, "é", True, None]),
]


@pytest.mark.parametrize("value, rendered", RENDERED)
def test_tagged_rendering_round_trips(value, rendered):
    assert to_json(value) == rendered
    text = json.dumps(to_json(value), allow_nan=False)
    assert json.loads(text, object_pairs_hook=from_json_pairs) == value


def _deep(depth):
    root = node = []
    for _ in range(depth - 1):
        node.append([])
        node = node[0]
    return root


# Shapes that take each way through the streaming renderer: json's encoder in parts, its
# fallback for NaN, and the walk for tags, non-str keys, custom values and great depth.
STREAMED = [value for value, _ in RENDERED] + [
    {"rows": [{"k": i, "v": [b"\x01", 0.5]} for i in range(200)], "t": "é\n\"", "e": {}},
    [[1.5, math.nan]] * 100,
    {"a": {"$float": "x"}, "b": [{1: 2}], "c": CustomValue("p", {None: b""})},
    {str(i): [i, [], {}] for i in range(150)},
]


@pytest.mark.parametrize("indent", [None, 0, 2])
@pytest.mark.parametrize("value", STREAMED)
def test_streamed_rendering_is_json_dumps_of_the_tagged_copy(value, indent):
    separators = (",", ":") if indent is None else None
    expected = json.dumps(
        to_json(value), ensure_ascii=False, allow_nan=False, indent=indent, separators=separators
    )
    chunks = []
    write_json(value, chunks.append, indent)
    assert b"".join(chunks).decode() == expected
    assert "".join(iter_json(value, indent)) == expected


@pytest.mark.parametrize("value", STREAMED + [_deep(50), _deep(150), [{"a": 1}, {"b": (2,)}]])
def test_both_ways_of_choosing_the_fast_renderer_agree(value):
    # One runs on CPython, the other on PyPy; each must send the same trees to json's encoder.
    assert _tagged._renders_plainly_by_levels(value) == _tagged._renders_plainly_by_nodes(value)


@pytest.mark.parametrize(
    "value",
    STREAMED + [_deep(99), _deep(100), _deep(101), [{"a": 1}, {"b": (2,)}], {"$dict": {}}],
)
def test_the_extensions_walk_chooses_as_the_walk_in_python(value):
    extension = pytest.importorskip("_vezuvir")
    plain = extension._plain_json(value, _tagged._PLAIN_DEPTH, _tagged._NO_BOUND)
    assert plain is _tagged._renders_plainly_by_levels(value)


# A few bytes of encoding may refer back to one long string again and again: such a tree's
# strings and keys are counted, and past the bound it is written in pieces, not built whole.
@pytest.mark.parametrize(
    "value, max_chars, plain",
    [
        (["x" * 10] * 10, 100, True),
        (["x" * 10] * 10, 99, False),
        ({"k" * 50: "v" * 50}, 100, True),
        ({"k" * 50: "v" * 50}, 99, False),
        ([{"ab": [["abc"]]}] * 3, 15, True),
        ([{"ab": [["abc"]]}] * 3, 14, False),
        ("x" * 5, 4, False),
    ],
)
def test_every_walk_counts_the_characters_of_strings(value, max_chars, plain):
    walks = [_tagged._renders_plainly_by_levels, _tagged._renders_plainly_by_nodes]
    extension = _tagged._backend.module()
    if hasattr(extension, "_plain_json"):
        walks.append(lambda tree, chars: extension._plain_json(tree, _tagged._PLAIN_DEPTH, chars))
    assert [walk(value, max_chars) for walk in walks] == [plain] * len(walks)


class Stop(Exception):
    pass


def _ending_in_error(records):
    yield from records
    raise Stop


# A record that needs the walk (tags, NaN, non-str keys, custom values, depth) or is too large
# to be rendered whole, after plain ones that are rendered a batch at a time.
LINES = [
    [({"a": [1, "é"]}, 100)] * 50 + [({"b": b"\x00"}, 100)],
    [({"a": 1}, 100)] * 50 + [({1: "x"}, 100), ({"a": 2.5}, 100)],
    [({"$float": "x"}, 10), ([math.inf], 10), (CustomValue("p", {None: 1}), 10)],
    [(_deep(150), 10), ({"t": "x" * 70000}, 70000), ("s", 1), ({"t": "y"}, 70000)],
    [({"n": i}, 9000) for i in range(20)],
    [({"a": 1}, 10), (["x" * 7000] * 40, 100), ({"a": 2}, 10)],
]


@pytest.mark.parametrize("records", LINES)
def test_lines_are_what_rendering_each_value_gives(records):
    expected = []
    for value, _ in records:
        write_json(value, expected.append)
        expected.append(b"\n")
    chunks = []
    # The lines of the records read before a failure are written before it is raised.
    with pytest.raises(Stop):
        write_json_lines(_ending_in_error(records), chunks.append)
    assert b"".join(chunks) == b"".join(expected)


def test_rendering_has_no_depth_limit():
    chunks = []
    write_json(_deep(20000), chunks.append)
    assert b"".join(chunks) == b"[" * 20000 + b"]" * 20000


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"$bytes": "***"}', "not valid base64"),
        ('{"$bytes": 3}', "base64 string"),
        ('{"$float": "NaN"}', '"nan", "inf" or "-inf"'),
        ('{"$dict": [[1]]}', "pairs"),
        ('{"$dict": [[[1], 2]]}', "must not be a list"),
        ('{"$custom": ["p"]}', "identifier, payload"),
    ],
)
def test_malformed_tags_are_errors(text, message):
    with pytest.raises(ValueError, match=message):
        json.loads(text, object_pairs_hook=from_json_pairs)


# --- the walker ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, size",
    [(0, 1), (254, 1), (255, 2), (256, 3), (509, 3), (510, 4), (65280, 5), (2**32, 7), (2**63, 10)],
)
def test_varint_size(value, size):
    assert varint_size(value) == size


@pytest.mark.parametrize("value, size", [(253, 1), (254, 2), (255, 3), (507, 3), (508, 4)])
def test_key_varint_size(value, size):
    assert varint_size(value, 254) == size


class Point:
    pass


class Other:
    pass


# Each saving is the plain form minus what was written, worked out by hand from the bytes.
WALKS = [
    # ["ab", "ab"]: the reference 14 00 replaces 12 02 61 62.
    (["ab", "ab"], dict(strings_in_full=1, back_references=1, saved_by_back_references=2, lists=1)),
    # {"ab": "ab"}: a value referring to a key.
    ({"ab": "ab"}, dict(strings_in_full=1, back_references=1, saved_by_back_references=2, dicts=1)),
    # ["ab", {"ab": 1}]: the key reference FE 00 replaces the literal key 03 FE 61 62.
    (["ab", {"ab": 1}], dict(strings_in_full=1, back_references=1, saved_by_back_references=2)),
    # Non-ASCII key: literal 02 C3 A9 (no marker) against FE 00.
    (["é", {"é": 1}], dict(strings_in_full=1, back_references=1, saved_by_back_references=1)),
    # [{"a": 1}, {"a": 2}] as a list of dicts would be 0D 02 10 01 02 FE 61 1F 10 01 FE 00 20.
    (
        [{"a": 1}, {"a": 2}],
        dict(structured_lists=1, structured_rows=2, saved_by_structured_lists=5, dicts=2, lists=1),
    ),
    ([{}, {}, {}], dict(structured_lists=1, structured_rows=3, saved_by_structured_lists=2)),
    ([True, False, True], dict(packed_lists=1, packed_items=3, saved_by_packed_lists=1)),
    ([None] * 20, dict(packed_lists=1, packed_items=20, saved_by_packed_lists=19)),
    ({"": "", 1: b"x", 2.5: -3}, dict(strings_in_full=0, back_references=0, dicts=1)),
    ([10**40, -(10**40), 1.5, 300], dict(strings_in_full=0, lists=1)),
]


def same_as_the_python_walk(data, stats):
    """The active backend's counts agree with the walk written in Python."""
    expected = pure.encoding_stats(data)
    del expected["records"], expected["end"]
    assert {name: stats[name] for name in expected} == expected


@pytest.mark.parametrize("value, expected", WALKS)
def test_walk_counts(value, expected):
    data = dump_bytes(value)
    stats = walk(data).as_dict()
    assert stats["size"] == len(data)
    assert stats["trailing_bytes"] == 0
    assert stats["records"] == 1
    assert {name: stats[name] for name in expected} == expected
    same_as_the_python_walk(data, stats)


def test_walk_sums_the_records_of_a_log():
    log = b"".join(dump_bytes(value) for value, _ in WALKS)
    stats = walk(memoryview(log + b"tail")).as_dict()
    assert (stats["records"], stats["size"], stats["trailing_bytes"]) == (len(WALKS), len(log) + 4, 4)
    for name in ("strings_in_full", "back_references", "saved_by_back_references", "saved_by_structured_lists"):
        assert stats[name] == sum(walk(dump_bytes(value)).as_dict()[name] for value, _ in WALKS)


def test_wide_back_references_are_read():
    # Index 256 needs Pointer2, index 70000 Pointer3.
    words = [f"w{i}" for i in range(70001)]
    data = dump_bytes(words + [words[256], words[70000]])
    stats = walk(data)
    assert (stats.strings_in_full, stats.back_references) == (70001, 2)
    assert stats.saved_by_back_references == (1 + 1 + 4 - 3) + (1 + 1 + 6 - 4)


# Hand-made records whose counters leave 64 bits when a log repeats them: a few bytes may
# declare 2**64 - 1 items, and a back-reference may cost more than the string it names.
BIG = 2**64 - 1
NONES = MARKER + bytes((CONSISTENT_LIST, NONE)) + varint_bytes(BIG)
ROWS = MARKER + bytes((STRUCTURED_LIST,)) + varint_bytes(BIG) + varint_bytes(0)
# ["a", <the same string as a 4-byte back-reference>]: 5 bytes where 3 would do.
DEAR = MARKER + bytes((LIST, 2, STRING, 1, ord("a"), POINTER1 + 3, 0, 0, 0, 0))
WIDE_COUNTS = [
    (NONES * 3, dict(packed_items=3 * BIG, saved_by_packed_lists=3 * (BIG - 1), lists=3)),
    (ROWS * 5, dict(structured_rows=5 * BIG, dicts=5 * BIG, saved_by_structured_lists=5 * (BIG - 1))),
    (DEAR * 2, dict(back_references=2, saved_by_back_references=-4)),
    (NONES + DEAR, dict(saved_by_packed_lists=BIG - 1, saved_by_back_references=-2)),
]


@pytest.mark.parametrize("log, expected", WIDE_COUNTS)
def test_stats_counters_are_exact_past_64_bits(log, expected):
    stats = vezuvir.encoding_stats(log)
    assert {name: stats[name] for name in expected} == expected
    assert stats == pure.encoding_stats(log)


def test_walk_counts_strings_like_the_encoder_writes_them():
    # Every distinct non-empty string (and every distinct key) is written in full exactly once.
    doc = {"a": ["x", "y", "x", ""], "b": {"a": "b", "": 1}, "c": [{"x": 1, "y": 2}, {"y": 4}]}
    stats = walk(dump_bytes(doc))
    assert stats.strings_in_full == len({"a", "b", "c", "x", "y", ""})


@pytest.mark.parametrize("document", bench_params(), ids=lambda p: p.name)
def test_walk_reaches_the_end_of_real_documents(document):
    doc = json.loads(document.read_bytes())
    strings = set()
    pending = [doc]
    while pending:
        value = pending.pop()
        if isinstance(value, dict):
            strings.update(value)
            pending.extend(value.values())
        elif isinstance(value, list):
            pending.extend(value)
        elif isinstance(value, str) and value:
            strings.add(value)
    data = dump_bytes(doc)
    stats = walk(data)
    assert stats.trailing_bytes == 0
    assert stats.strings_in_full == len(strings)
    same_as_the_python_walk(data, stats.as_dict())


def test_custom_values_and_their_identifiers():
    data = dump_bytes(
        [Point(), Other(), Point(), [Point()]],
        custom_types={Point: CustomType("pt", lambda p: {"x": 1}), Other: CustomType(7, str)},
    )
    assert walk(data).custom_values == 4
    assert custom_identifiers(data) == ["pt", 7, "pt", "pt"]


def test_deep_nesting_does_not_recurse():
    depth = 20000
    stats = walk(b"<o>" + b"\x0d\x01" * depth + b"\x05")
    assert stats.lists == depth


@pytest.mark.parametrize(
    "data, message",
    [
        (b"<x>\x04", "missing starting marker"),
        (b"<o>", "Unexpected end of input"),
        (b"<o>\x19", "Unexpected flag"),
        (b"<o>\x0c", "Unexpected flag"),
        (b"<o>\x0e\x07\x01", "Unexpected type flag: 7"),
        (b"<o>\x14\x00", "Corrupted data"),
        (b"<o>\x10\x01\xfe\x00\x04", "Corrupted data"),
        (b"<o>\x0d\xff\x01\xff", "Unexpected end of input"),
    ],
)
def test_walk_rejects_bad_input(data, message):
    with pytest.raises(DeserializationError, match=message):
        walk(data)


def test_every_truncation_is_rejected():
    doc = {"s": ["ab", "ab"], "n": 10**30, "f": 1.5, "l": [{"a": 1}, {"a": 2}], "b": [True] * 9}
    data = dump_bytes(doc)
    for end in range(3, len(data)):
        with pytest.raises(DeserializationError):
            walk(data[:end])
