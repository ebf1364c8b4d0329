"""Calls of every public function, on success and on each way it can fail.

Shared by test_leaks.py and scripts/workload.py (LeakSanitizer, valgrind). Each case is a
function that makes one call and checks that it ended as expected; a case that ends any other
way raises AssertionError.
"""

import array
import datetime
import io
from decimal import Decimal

import _vezuvir

from vezuvir import (
    CustomType,
    DeserializationError,
    Idx,
    SerializationError,
    bytes_check_if_contains,
    dump_bytes,
    iter_lazy_load,
    iter_load,
    lazy_load_bytes,
    load_bytes,
)

DOCUMENT = {
    "id": 12345678901234567890,
    "name": "vezuvir",
    "tags": ["a", "b", "a", "é", "😀" * 3],
    "rows": [{"x": i, "y": -i * 2.5, "z": None, "ok": i % 2 == 0} for i in range(20)],
    "flags": [True, False, None] * 5,
    "nones": [None] * 10,
    "raw": b"\x00\x01" * 40,
    "nested": {1: [{}, [], ""], 2.5: {"deep": [[[-(2**70)]]]}, None: "n"},
    "long": "x" * 3000,
}
ENCODED = dump_bytes(DOCUMENT)
MARKER = b"<o>"
# A list of one list of one ... of None, deeper than any recursion limit.
TOO_DEEP = MARKER + b"\x0d\x01" * 100_000 + b"\x04"
POINT_TYPES = {Decimal: CustomType("dec", str)}
ENCODED_CUSTOM = dump_bytes({"p": [Decimal("1.5"), Decimal("-2")]}, custom_types=POINT_TYPES)


class Boom(Exception):
    pass


def boom(_value):
    raise Boom("converter")


class ChunkWriter:
    """Keeps what it is given; raises once `fail_after` chunks were written."""

    def __init__(self, fail_after=None):
        self.chunks = []
        self.fail_after = fail_after

    def write(self, data):
        if self.fail_after is not None and len(self.chunks) >= self.fail_after:
            raise Boom("writer")
        self.chunks.append(data)


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn.__name__} did not raise {exc.__name__}")


def self_containing():
    loop = [1, "a"]
    loop.append(loop)
    return loop


# --- dump_bytes --------------------------------------------------------------------------


def dump_ok():
    assert dump_bytes(DOCUMENT) == ENCODED


def dump_streaming_ok():
    writer = ChunkWriter()
    dump_bytes(DOCUMENT, writer=writer, flush_threshold=16, direct_write_threshold=100)
    assert b"".join(writer.chunks) == ENCODED


def dump_file_ok():
    out = io.BytesIO()
    dump_bytes(DOCUMENT, writer=out, flush_threshold=0)
    assert out.getvalue() == ENCODED


def dump_custom_and_dates_ok():
    value = {"p": Decimal("1.5"), "at": datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc)}
    dump_bytes(value, custom_types=POINT_TYPES, serialize_dates=True)
    dump_bytes([Decimal(1)], custom_types={Decimal: CustomType("d", str, one_way=True)})


def dump_bad_keyword():
    raises(TypeError, dump_bytes, 1, fast=True)


def dump_bad_threshold():
    raises((TypeError, OverflowError, ValueError), dump_bytes, 1, flush_threshold=-1)
    raises(TypeError, dump_bytes, 1, flush_threshold="10")


def dump_bad_custom_types():
    raises(TypeError, dump_bytes, 1, custom_types=[1])
    raises(TypeError, dump_bytes, 1, custom_types={Decimal: 1})


def dump_unencodable_deep_inside():
    raises(SerializationError, dump_bytes, {"a": ["x" * 100, {"b": [1, 2, {3}]}]})


def dump_date_without_flag():
    raises(SerializationError, dump_bytes, [1, datetime.datetime(2024, 1, 1)])


def dump_converter_raises():
    raises(SerializationError, dump_bytes, ["a", Decimal(1)], custom_types={Decimal: CustomType("d", boom)})


def dump_writer_raises_first():
    raises(Boom, dump_bytes, DOCUMENT, writer=ChunkWriter(fail_after=0))


def dump_writer_raises_midway():
    raises(Boom, dump_bytes, DOCUMENT, writer=ChunkWriter(fail_after=3), flush_threshold=16,
           direct_write_threshold=100)


def dump_writer_without_write():
    raises((TypeError, AttributeError), dump_bytes, DOCUMENT, writer=object())


def dump_self_containing():
    raises(RecursionError, dump_bytes, self_containing())


# --- load_bytes --------------------------------------------------------------------------


def load_ok():
    assert load_bytes(ENCODED) == DOCUMENT
    load_bytes(bytearray(ENCODED), use_tuples=True, stop_gc=True)
    load_bytes(ENCODED + b"junk", ignore_extra_data=True)


def load_custom_ok():
    assert load_bytes(ENCODED_CUSTOM, custom_types={"dec": Decimal})["p"][1] == Decimal(-2)


def load_bad_arguments():
    raises(TypeError, load_bytes, "text")
    raises(TypeError, load_bytes, ENCODED, fast=True)
    raises(TypeError, load_bytes, ENCODED, custom_types=[])
    raises(TypeError, load_bytes)


def load_corrupt():
    raises(DeserializationError, load_bytes, b"")
    raises(DeserializationError, load_bytes, b"<x>\x04")
    raises(DeserializationError, load_bytes, MARKER + b"\x14\x05")
    raises(DeserializationError, load_bytes, MARKER + b"\x02\xfe\xff")
    raises(DeserializationError, load_bytes, ENCODED + b"\x04")


def load_every_truncation():
    for end in range(len(MARKER), len(ENCODED), 7):
        raises(DeserializationError, load_bytes, ENCODED[:end])


def load_custom_failures():
    raises(DeserializationError, load_bytes, ENCODED_CUSTOM)
    raises(DeserializationError, load_bytes, ENCODED_CUSTOM, custom_types={"dec": boom})


def load_too_deep():
    raises(RecursionError, load_bytes, TOO_DEEP)


# --- lazy_load_bytes and bytes_check_if_contains -------------------------------------------


def lazy_ok():
    assert lazy_load_bytes(ENCODED, ["rows", Idx(7), "y"]) == -17.5
    assert lazy_load_bytes(ENCODED, ["nested", 2.5, "deep", Idx(0)]) == [[-(2**70)]]
    assert lazy_load_bytes(ENCODED, ["long"]) == "x" * 3000
    assert lazy_load_bytes(ENCODED_CUSTOM, ["p", Idx(0)], custom_types={"dec": Decimal}) == Decimal("1.5")
    assert bytes_check_if_contains(ENCODED, ["flags", Idx(2)]) is True
    assert bytes_check_if_contains(ENCODED, ["flags", Idx(2)], include_falsy=False) is False
    assert bytes_check_if_contains(bytearray(ENCODED), ["tags", Idx(4)]) is True


def lazy_missing():
    raises(DeserializationError, lazy_load_bytes, ENCODED, ["rows", Idx(20)])
    raises(DeserializationError, lazy_load_bytes, ENCODED, ["nope"])
    raises(DeserializationError, lazy_load_bytes, ENCODED, ["name", "x"])
    assert bytes_check_if_contains(ENCODED, ["rows", Idx(3), "w"]) is False


def lazy_bad_arguments():
    for fn in (lazy_load_bytes, bytes_check_if_contains):
        raises(TypeError, fn, ENCODED, ("rows",))
        raises(TypeError, fn, ENCODED, [Idx(-1)])
        raises(OverflowError, fn, ENCODED, [Idx(2**64)])
        raises(TypeError, fn, "text", [])
        raises(TypeError, fn, ENCODED, [], custom_types={"a": 1})
        raises(TypeError, fn, ENCODED, [], fast=1)


def lazy_corrupt():
    # Cut before the key: a check looks at the header of its target only.
    for end in range(len(MARKER), ENCODED.index(b"long"), 11):
        raises(DeserializationError, lazy_load_bytes, ENCODED[:end], ["long"])
        assert bytes_check_if_contains(ENCODED[:end], ["long"]) is False


def lazy_custom_failures():
    raises(DeserializationError, lazy_load_bytes, ENCODED_CUSTOM, ["p", Idx(0)])
    raises(DeserializationError, lazy_load_bytes, ENCODED_CUSTOM, ["p"], custom_types={"dec": boom})
    assert bytes_check_if_contains(ENCODED_CUSTOM, ["p", Idx(0)], include_falsy=False,
                                   custom_types={"dec": boom}) is False


def lazy_too_deep():
    raises(RecursionError, lazy_load_bytes, TOO_DEEP, [Idx(0)] * 100_000)
    raises(RecursionError, bytes_check_if_contains, TOO_DEEP, [Idx(0)] * 100_000)


def interrupt(_value):
    raise KeyboardInterrupt


def limits_exceeded():
    # Budgets and int limits refuse before allocating; interrupts pass through wrapped paths.
    raises(DeserializationError, load_bytes, MARKER + b"\x0e\x04\xff\x00\x01\xff", max_free_elements=9)
    raises(DeserializationError, lazy_load_bytes, MARKER + b"\x0e\x04\x0a", [], max_free_elements=9)
    raises(SerializationError, dump_bytes, [2**20000])
    raises(DeserializationError, load_bytes, dump_bytes([2**20000], max_int_digits=None))
    raises(KeyboardInterrupt, dump_bytes, [Decimal(1)], custom_types={Decimal: CustomType("d", interrupt)})
    raises(KeyboardInterrupt, load_bytes, ENCODED_CUSTOM, custom_types={"dec": interrupt})
    raises(KeyboardInterrupt, bytes_check_if_contains, ENCODED_CUSTOM, ["p", Idx(0)],
           custom_types={"dec": interrupt}, include_falsy=False)


# --- buffers and record logs ------------------------------------------------------------

LOG = ENCODED * 3 + ENCODED_CUSTOM


def buffers_ok():
    assert load_bytes(memoryview(b"--" + ENCODED)[2:]) == DOCUMENT
    assert lazy_load_bytes(array.array("B", ENCODED), ["name"]) == "vezuvir"
    raises(TypeError, load_bytes, memoryview(ENCODED)[::2])
    raises(TypeError, lazy_load_bytes, array.array("i", [1]), [])


def records_ok():
    value, end = _vezuvir.load_record(LOG, len(ENCODED))
    assert value == DOCUMENT and end == 2 * len(ENCODED)
    assert _vezuvir.skip_record(memoryview(LOG), end) == 3 * len(ENCODED)
    assert _vezuvir.encoding_stats(LOG)["records"] == 4
    assert len(list(iter_load(io.BytesIO(LOG), custom_types={"dec": Decimal}))) == 4
    assert list(iter_lazy_load(LOG[: 3 * len(ENCODED)], ["name"])) == ["vezuvir"] * 3


def records_failures():
    raises(DeserializationError, _vezuvir.load_record, LOG, 1)
    raises(DeserializationError, _vezuvir.load_record, LOG, 3 * len(ENCODED))
    raises(ValueError, _vezuvir.skip_record, LOG, len(LOG) + 1)
    raises(TypeError, _vezuvir.load_record, LOG, 0, fast=True)
    raises(DeserializationError, _vezuvir.skip_record, ENCODED[:-5])
    raises(DeserializationError, _vezuvir.encoding_stats, LOG + ENCODED[:-5])
    raises(DeserializationError, list, iter_load(LOG[:-1]))
    raises(DeserializationError, list, iter_lazy_load(io.BytesIO(LOG), ["nope"]))


CASES = {fn.__name__: fn for fn in [
    dump_ok, dump_streaming_ok, dump_file_ok, dump_custom_and_dates_ok, dump_bad_keyword,
    dump_bad_threshold, dump_bad_custom_types, dump_unencodable_deep_inside,
    dump_date_without_flag, dump_converter_raises, dump_writer_raises_first,
    dump_writer_raises_midway, dump_writer_without_write, dump_self_containing,
    load_ok, load_custom_ok, load_bad_arguments, load_corrupt, load_every_truncation,
    load_custom_failures, load_too_deep,
    lazy_ok, lazy_missing, lazy_bad_arguments, lazy_corrupt, lazy_custom_failures, lazy_too_deep,
    limits_exceeded,
    buffers_ok, records_ok, records_failures,
]}
