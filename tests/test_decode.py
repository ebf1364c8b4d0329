import gc
import json
import math
import sys
import weakref

import pytest

try:
    import tracemalloc
except ImportError:  # PyPy
    tracemalloc = None

import vezuvir
from vezuvir import DeserializationError, Idx, dump_bytes, lazy_load_bytes, load_bytes

from conftest import bench_documents

MARKER = b"<o>"


def h(text):
    """Starting marker plus the hex bytes of `text` (spaces ignored)."""
    return MARKER + bytes.fromhex(text)


def big_magnitude(digits):
    return 255 + sum(d * 255**i for i, d in enumerate(digits))


LONG_DIGITS = [(7 * i + 3) % 255 for i in range(1000)]

VALID = [
    *[(f"{flag:02X}", value) for flag, value in [(4, None), (2, True), (3, False), (0, ""), (1, b"")]],
    *[(f"{flag:02X}", value) for flag, value in [(5, []), (6, {}), (30, 0), (37, 7), (254, 224)]],
    ("FF", 225),
    ("07 E1", 225),
    ("07 FF FF", 255),
    ("07 FF 00 FF", 255),
    ("07 FF 01 FF", 256),
    ("07 FF 00 01 FF", 510),
    ("07 FF 01 03 06 04 01 FF", 2**32),
    ("07 FF 80 82 8D 9B A2 9B 8D 83 FF", 2**63),
    ("07 FF 01 07 1C 38 46 38 1C 08 01 FF", 2**64),
    ("07 FF" + "FE" * 8 + "FF", 255**8 + 254),
    ("07 FF" + bytes(LONG_DIGITS).hex() + "FF", big_magnitude(LONG_DIGITS)),
    ("08 FF" + bytes(LONG_DIGITS).hex() + "FF", -big_magnitude(LONG_DIGITS)),
    ("08 00", 0),
    ("08 01", -1),
    ("08 FF 80 82 8D 9B A2 9B 8D 83 FF", -(2**63)),
    ("08 FF 81 82 8D 9B A2 9B 8D 83 FF", -(2**63) - 1),
    ("08 FF" + "FE" * 8 + "FF", -(255**8 + 254)),
    ("09 3F F8 00 00 00 00 00 00", 1.5),
    ("09 80 00 00 00 00 00 00 00", -0.0),
    ("0B 02 68 69", b"hi"),
    ("0A 02 C3 A9", "é"),
    ("0D 02 12 02 61 62 14 00", ["ab", "ab"]),
    ("10 01 02 FE 61 1F", {"a": 1}),
    ("10 01 01 FE 04", {"": None}),
    ("10 01 00 04", {"": None}),
    ("10 01 03 FE 61 62 14 00", {"ab": "ab"}),
    ("0D 02 12 01 61 10 01 FE 00 1F", ["a", {"a": 1}]),
    ("0F 01 1F 12 01 61", {1: "a"}),
    ("0F 02 12 01 61 1F 14 00 20", {"a": 2}),
    ("0D 02 12 01 61 15 00 00", ["a", "a"]),
    ("0D 02 12 01 61 16 00 00 00", ["a", "a"]),
    ("0D 02 12 01 61 17 00 00 00 00", ["a", "a"]),
    ("0D 02 12 01 61 11 00", ["a", "a"]),
    ("0E 04 02", [None, None]),
    ("0E 0C 03 A0", [True, False, True]),
    ("0E 0C 09 FF FF", [True] * 9),
    ("0E 0C 0A 00 40", [False] * 9 + [True]),
    ("0E 09 02 3F F0 00 00 00 00 00 00 C0 00 00 00 00 00 00 00", [1.0, -2.0]),
    ("0E 0B 02 01 61 00", [b"a", b""]),
    ("0D 02 0E 0A 03 01 61 02 FE 62 00 14 01", [["a", "b", ""], "b"]),
    ("0D 02 0E 0A 02 00 01 FE 14 01", [["", ""], ""]),
    ("13 02 01 12 01 61 1F 20", [{"a": 1}, {"a": 2}]),
    ("13 02 02 12 01 61 1F 12 01 62 20 21 22", [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
    ("13 01 01 12 01 61 1F", [{"a": 1}]),
    ("13 03 00", [{}, {}, {}]),
    ("13 00 00", []),
    ("0D 02 13 00 01 12 01 61 1F 14 00", [[], "a"]),
]


@pytest.mark.parametrize("hex_bytes, expected", VALID, ids=[v[0][:40] for v in VALID])
def test_decodes(hex_bytes, expected):
    result = load_bytes(h(hex_bytes))
    assert result == expected and type(result) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1, result) == math.copysign(1, expected)


@pytest.mark.parametrize(
    "key, stored",
    [
        ("k" * 252, "FD FE" + "6B" * 252),
        ("k" * 253, "FF FF FE" + "6B" * 253),
        ("k" * 254, "FF 01 FF FE" + "6B" * 254),
        ("é" * 127, "FF FF" + "C3A9" * 127),
    ],
)
def test_long_literal_keys_and_their_back_references(key, stored):
    assert load_bytes(h(f"0D 02 10 01 {stored} 04 14 00")) == [{key: None}, key]


# Long-form magnitudes of every digit count up to nine, with input left after them (the
# reader takes the digits of a short one in one word when nine bytes remain).
@pytest.mark.parametrize("count", range(10))
@pytest.mark.parametrize("flag, sign", [("07", 1), ("08", -1)])
@pytest.mark.parametrize("fill", [0, 254, 0x80])
def test_long_form_ints_followed_by_more_input(count, flag, sign, fill):
    digits = [fill if i % 2 else (37 * i + fill) % 255 for i in range(count)]
    body = f"{flag} FF {bytes(digits).hex()} FF"
    assert load_bytes(h(f"0D 02 {body} 0A 0A {'61' * 10}")) == [sign * big_magnitude(digits), "a" * 10]


def base255_digits(value):
    digits = []
    while value:
        value, digit = divmod(value, 255)
        digits.append(digit)
    return digits


# A string length in long form, read in full and while stepping over it: short digit
# counts, the seventh/eighth digit boundary (zero digits above), and a length past 2**64
# that wraps to 3, as 64-bit offsets do.
@pytest.mark.parametrize(
    "digits",
    [[], [0, 0, 0, 0, 0, 0], [0, 0, 0, 0, 0, 0, 0], [0] * 12, base255_digits(2**64 + 3 - 255)],
)
def test_long_form_lengths(digits):
    n = big_magnitude(digits) % 2**64
    body = f"0A FF {bytes(digits).hex()} FF {'61' * n}"
    assert load_bytes(h(body)) == "a" * n
    assert lazy_load_bytes(h(f"0D 02 {body} 07 FF 01 FF"), [Idx(1)]) == 256


# Either side of the interpreter's 30-bit digit boundaries: such ints are laid out digit
# by digit, so their arithmetic, hash and text are checked too.
@pytest.mark.parametrize("value", [s * v for v in (2**30 - 1, 2**30, 2**60 - 1, 2**60, 2**64 - 1) for s in (1, -1)])
def test_ints_either_side_of_digit_boundaries(value):
    decoded = load_bytes(dump_bytes([value, "a" * 10]))[0]
    assert (decoded, decoded * 3 - 2 * decoded, hash(decoded), str(decoded)) == (value, value, hash(value), str(value))


USE_TUPLES = [
    ("05", ()),
    ("0D 02 1F 05", (1, ())),
    ("10 01 02 FE 61 0D 01 1F", {"a": (1,)}),
    ("0E 04 02", (None, None)),
    ("0E 0C 02 80", (True, False)),
    ("0E 09 01 3F F0 00 00 00 00 00 00", (1.0,)),
    ("0E 0A 01 01 61", ("a",)),
    ("0E 0B 01 01 61", (b"a",)),
    ("13 02 01 12 01 61 0D 01 1F 05", ({"a": (1,)}, {"a": ()})),
    ("13 02 00", ({}, {})),
    ("0F 01 0D 02 1F 20 04", {(1, 2): None}),
]


@pytest.mark.parametrize("hex_bytes, expected", USE_TUPLES)
def test_use_tuples_turns_every_list_into_a_tuple(hex_bytes, expected):
    assert load_bytes(buffer=h(hex_bytes), use_tuples=True) == expected
    assert repr(load_bytes(h(hex_bytes), use_tuples=True)) == repr(expected)


def test_empty_list_under_use_tuples_is_the_shared_empty_tuple():
    assert load_bytes(h("05"), use_tuples=True) is ()


END = "Unexpected end of input"
CORRUPT = [
    ("", END),
    ("09 3F F8", END),
    ("0A 05 61", END),
    ("0A FF", END),
    ("07", END),
    ("07 FF 01 02", END),
    ("08 FF" + "01" * 20, END),
    ("0B 05 00", END),
    ("0D 02 1F", END),
    ("10 01 02 FE 61", END),
    ("10 01 FE", END),
    ("10 01", END),
    ("0F 01 1F", END),
    ("15 00", END),
    ("11", END),
    ("0E", END),
    ("0E 0D", END),
    ("0E 09 02 3F F0 00 00 00 00 00 00 C0 00 00 00", END),
    ("0E 0C 09 FF", END),
    ("0E 0A 02 01 61 05", END),
    ("13 02", END),
    ("13 02 01 12 01 61 1F", END),
    ("18 12 01 70", END),
    ("14 00", "Corrupted data"),
    ("0D 02 12 01 61 14 01", "Corrupted data"),
    ("11 FF FF", "Corrupted data"),
    ("10 01 FE 00 04", "Corrupted data"),
    ("0C", "Corrupted data: unexpected flag 12"),
    *[(f"{flag:02X}", f"Corrupted data: unexpected flag {flag}") for flag in range(25, 30)],
    ("0D 01 1B", "Corrupted data: unexpected flag 27"),
    ("0A 01 80", "Corrupted data: invalid UTF-8 in string at position 5"),
    ("0A 02 FE 61", "Corrupted data: invalid UTF-8 in string at position 5"),
    ("0A 03 ED A0 80", "Corrupted data: invalid UTF-8 in string at position 5"),
    ("12 01 C3", "Corrupted data: invalid UTF-8 in string at position 5"),
    ("10 01 02 C3 28 04", "Corrupted data: invalid UTF-8 in string at position 6"),
    ("10 01 03 FE C3 28 04", "Corrupted data: invalid UTF-8 in string at position 7"),
    ("0E 0A 02 01 61 01 FF", "Corrupted data: invalid UTF-8 in string at position 9"),
    ("0F 01 0D 01 1F 1F", "Invalid type for a key: <class 'list'>"),
    ("13 02 01 05 1F 20", "Invalid type for a key: <class 'list'>"),
    ("1F 00", "Unexpected extra data, from position 4. If you want to ignore it use the flag "
     "`ignore_extra_data`"),
    ("0D 01 04 04 04", "Unexpected extra data, from position 6. If you want to ignore it use the "
     "flag `ignore_extra_data`"),
    (
        "18 12 01 70 23",
        "Unknown custom type. please provide the correct mapping when deserializing. "
        "identifier: `p` (type: `<class 'str'>`)",
    ),
]


@pytest.mark.parametrize("hex_bytes, message", CORRUPT, ids=[c[0][:40] for c in CORRUPT])
def test_corrupt_or_truncated_input_raises(hex_bytes, message):
    with pytest.raises(DeserializationError) as info:
        load_bytes(h(hex_bytes))
    assert str(info.value) == message


@pytest.mark.parametrize("hex_bytes", ["0E 0D 00", "0E 07 01 1F", "0E 00 00"])
def test_unknown_consistent_list_element_type_is_a_type_error(hex_bytes):
    with pytest.raises(TypeError, match="^Unexpected consistent list type$"):
        load_bytes(h(hex_bytes))


HUGE = "FF" + "FE" * 8 + "FF"  # a count near 2**64
HOSTILE = [
    "0D " + HUGE,
    "0D FF 00 00 00 01 FF 04",
    "10 " + HUGE,
    "10 04 01 FE 04 04 04 04",
    "0F " + HUGE,
    "0E 09 " + HUGE,
    "0E 09 02 00 00 00 00 00 00 00 00",
    "0E 0C " + HUGE,
    "0E 0C 11 FF FF",
    "0E 0A " + HUGE,
    "0E 0B " + HUGE,
    "13 " + HUGE + " 01 12 01 61 1F",
    "13 02 " + HUGE + " 12 01 61 1F",
    "13 04 02 12 01 61 1F 12 01 62 1F 1F 1F 1F 1F",
]


@pytest.mark.parametrize("hex_bytes", HOSTILE)
def test_counts_beyond_the_remaining_bytes_fail_before_allocating(hex_bytes):
    if tracemalloc is not None:
        tracemalloc.start()
    try:
        with pytest.raises(DeserializationError, match=f"^{END}$"):
            load_bytes(h(hex_bytes))
    finally:
        if tracemalloc is not None:
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            assert peak < 1 << 20


def test_packed_none_and_keyless_rows_may_be_large_from_a_few_bytes():
    assert load_bytes(h("0E 04 FF 00 00 01 FF")) == [None] * 65280
    rows = load_bytes(h("13 FF 01 FF 00"))
    assert rows == [{}] * 256 and len({id(row) for row in rows}) == 256


@pytest.mark.parametrize("data", [b"", b"<o", b"<oX", b"abc", b"<O>\x04"])
def test_missing_starting_marker(data):
    with pytest.raises(DeserializationError, match="^Corrupted data: missing starting marker `<o>`$"):
        load_bytes(data)


def test_extra_data_is_accepted_when_asked():
    assert load_bytes(h("1F 00"), ignore_extra_data=True) == 1
    assert load_bytes(h("0D 01 04 FF FF"), ignore_extra_data=True) == [None]


class Raising:
    def __bool__(self):
        raise ZeroDivisionError


def test_flags_take_the_truth_of_any_object():
    assert load_bytes(h("1F 00"), ignore_extra_data=[0]) == 1
    assert load_bytes(h("05"), use_tuples="yes") == ()
    with pytest.raises(DeserializationError):
        load_bytes(h("1F 00"), ignore_extra_data=())
    with pytest.raises(ZeroDivisionError):
        load_bytes(h("05"), use_tuples=Raising())


@pytest.mark.parametrize("kind", [bytes, bytearray, type("B", (bytes,), {}), type("A", (bytearray,), {})])
def test_buffer_kinds(kind):
    assert load_bytes(kind(h("0D 02 12 01 61 14 00"))) == ["a", "a"]


BAD_TYPE = "buffer must be of type `bytes` or `bytearray` but got `{}`"
ARGUMENT_ERRORS = [
    ((), {}, "load_bytes() expected exactly 1 positional argument, but 0 were provided"),
    ((h("04"), h("04")), {}, "load_bytes() expected exactly 1 positional argument, but 2 were provided"),
    ((h("04"),), {"buffer": h("04")}, "load_bytes() got multiple values for argument 'buffer'"),
    ((h("04"),), {"tuples": True}, "load_bytes() got an unexpected keyword argument 'tuples'"),
    (("<o>\x04",), {}, BAD_TYPE.format("<class 'str'>")),
    ((), {"buffer": "<o>\x04"}, BAD_TYPE.format("<class 'str'>")),
    ((), {"buffer": None}, BAD_TYPE.format("<class 'NoneType'>")),
    ((), {"buffer": "x", "nope": 1}, BAD_TYPE.format("<class 'str'>")),
    ((), {"nope": 1, "buffer": "x"}, "load_bytes() got an unexpected keyword argument 'nope'"),
    ((h("04"),), {"custom_types": None}, "custom_types must be a dict"),
    ((h("04"),), {"custom_types": [("a", str)]}, "custom_types must be a dict"),
    ((h("04"),), {"custom_types": {"a": 1}}, "custom_types value must be a function"),
]


@pytest.mark.parametrize("args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        load_bytes(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("enabled_before", [True, False])
def test_stop_gc_pauses_the_collector_and_restores_it(fails, enabled_before):
    seen = []

    def spy(payload):
        seen.append(gc.isenabled())
        return payload

    data = h("18 12 01 70 1F" + ("0C" if fails else ""))
    gc.enable() if enabled_before else gc.disable()
    try:
        if fails:
            with pytest.raises(DeserializationError):
                load_bytes(data, stop_gc=True, custom_types={"p": spy})
        else:
            assert load_bytes(data, stop_gc=True, custom_types={"p": spy}) == 1
        assert gc.isenabled() is enabled_before
    finally:
        gc.enable()
    assert seen == [False]
    load_bytes(data, custom_types={"p": spy}, ignore_extra_data=True)
    assert seen == [False, True]


def _containers(value):
    """Every list, tuple and dict reachable from `value`, `value` included."""
    todo, found = [value], []
    while todo:
        item = todo.pop()
        if isinstance(item, (list, tuple, dict)):
            found.append(item)
            todo.extend(item.values() if isinstance(item, dict) else item)
    return found


# Past the few hundred containers a decoder shows the collector at once.
TRACKING_TREE = [[[], [[1.5, 2.5], [True, False]], {"a": [{}], "b": {"c": []}}, {"t": [{}]}, [{"k": [1]}] * 3]] * 200


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="the cyclic collector is CPython's")
@pytest.mark.parametrize(
    "read",
    [
        lambda data: load_bytes(data),
        lambda data: load_bytes(data, use_tuples=True),
        lambda data: vezuvir.lazy_load_bytes(data, []),
        lambda data: next(vezuvir.iter_load(data)),
        # Converters run Python code: containers are kept from the collector until the end.
        lambda data: load_bytes(data, custom_types={"unused": str}),
        lambda data: vezuvir.lazy_load_bytes(data, [], custom_types={"unused": str}),
    ],
    ids=["load", "tuples", "lazy", "record", "converters", "lazy converters"],
)
def test_every_container_a_reader_returns_is_seen_by_the_collector(read):
    def holds_mutable(items):
        return any(isinstance(v, (list, dict)) or isinstance(v, tuple) and holds_mutable(v) for v in items)

    for value in _containers(read(dump_bytes(TRACKING_TREE))):
        # The interpreter itself leaves tuples and dicts untracked that hold no list or dict.
        if isinstance(value, list) or holds_mutable(value.values() if isinstance(value, dict) else value):
            assert gc.is_tracked(value), value


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="the cyclic collector is CPython's")
def test_cycles_a_converter_makes_are_collected_after_a_failed_load():
    class Box:
        pass

    boxes = []

    def keep_in_a_cycle(payload):
        box = Box()
        box.payload = payload
        payload.append(box)
        boxes.append(weakref.ref(box))
        return box

    payload = dump_bytes([[[1], {"k": [2]}]] * 300)[len(MARKER) :].hex()
    # A list of two whose second item is missing.
    with pytest.raises(DeserializationError):
        load_bytes(h("0D 02 18 12 01 70" + payload), custom_types={"p": keep_in_a_cycle})
    gc.collect()
    assert len(boxes) == 1 and boxes[0]() is None


def test_back_referenced_strings_and_keys_are_the_same_object():
    rows = load_bytes(dump_bytes([{"name": "x" * 40, "id": 1}, {"name": "x" * 40, "id": 2}]))
    assert rows[0]["name"] is rows[1]["name"]
    assert [k1 is k2 for k1, k2 in zip(rows[0], rows[1])] == [True, True]


def test_every_truncation_of_a_valid_encoding_fails_cleanly():
    data = dump_bytes(
        {"a": [1, -2**70, 2.5, "é", b"b", None, True], "b": {1: "a", "c": ["a", "é"]}, "é": "x" * 260}
    )
    for end in range(len(MARKER), len(data)):
        with pytest.raises(DeserializationError):
            load_bytes(data[:end])


def test_random_corruptions_never_crash(isolated):
    result = isolated(
        """
        import os, random, resource
        # ASan reserves terabytes of shadow address space; it caps allocations itself.
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        from vezuvir import load_bytes, dump_bytes, DeserializationError
        rng = random.Random(7)
        base = [
            dump_bytes({"a": [1, -2**70, 2.5, "é", b"b", None, True], "b": {1: "a", "c": ["a", "é"]}}),
            bytes.fromhex("3C6F3E0D03 1302021201611F1201621F2021 0E0C09FF80 0E0A0201610162"),
            bytes.fromhex("3C6F3E0F02 0D011F 120161 18 14 00 0E 09 01 3FF0000000000000"),
            dump_bytes([{"id": i, "name": f"n{i % 3}", "tags": [True, False, None]} for i in range(5)]),
        ]
        outcomes = set()
        for i in range(30000):
            data = bytearray(rng.choice(base))
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(3, len(data))] = rng.choice([0, 1, 0x7F, 0x80, 0xFE, 0xFF, rng.getrandbits(8)])
            try:
                load_bytes(bytes(data), use_tuples=bool(i & 1))
                outcomes.add("ok")
            except (DeserializationError, TypeError, MemoryError, RecursionError) as exc:
                outcomes.add(type(exc).__name__)
        print(sorted(outcomes))
        """
    )
    assert result.returncode == 0, result.stderr
    assert "DeserializationError" in result.stdout


# Custom types -----------------------------------------------------------------------


def test_custom_values_go_through_the_registered_converter():
    data = h("0D 02 18 12 01 70 0D 01 1F 18 14 00 0D 00")
    assert load_bytes(h("18 12 01 70 23"), custom_types={"p": lambda v: v * 2}) == 10
    assert load_bytes(data, custom_types={"p": list.__len__}) == [1, 0]
    assert load_bytes(data, custom_types={"p": repr}, use_tuples=True) == ("(1,)", "()")
    assert load_bytes(h("18 1F 04"), custom_types={1.0: lambda v: "one"}) == "one"
    assert load_bytes(h("18 12 01 70 23"), custom_types={"p": lambda v: None}) is None
    nested = h("18 12 01 6F 18 12 01 69 23")
    assert load_bytes(nested, custom_types={"o": lambda v: ("o", v), "i": lambda v: ("i", v)}) == (
        "o",
        ("i", 5),
    )


def test_failing_converter_is_reported_with_its_cause():
    def broken(value):
        raise KeyError(value)

    with pytest.raises(DeserializationError, match="^Failed to deserialize custom type$") as info:
        load_bytes(h("18 12 01 70 23"), custom_types={"p": broken})
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "hex_bytes, identifier_text, type_text",
    [
        ("18 0D 01 1F 04", "[1]", "<class 'list'>"),
        ("18 1F 04", "1", "<class 'int'>"),
        ("18 0B 01 61 04", "b'a'", "<class 'bytes'>"),
    ],
)
def test_unknown_identifiers(hex_bytes, identifier_text, type_text):
    with pytest.raises(DeserializationError) as info:
        load_bytes(h(hex_bytes), custom_types={"p": str})
    assert str(info.value) == (
        "Unknown custom type. please provide the correct mapping when deserializing. "
        f"identifier: `{identifier_text}` (type: `{type_text}`)"
    )


@pytest.mark.parametrize("identifier, first, again", [("p", "12 01 70", "14 00"), (1, "1F", "1F")])
def test_converter_emptying_the_callers_dict_does_not_break_decoding(identifier, first, again):
    table = {}

    def wipe(value):
        table.clear()
        gc.collect()
        return ("seen", value)

    table[identifier] = wipe
    data = h(f"0D 02 18 {first} 1F 18 {again} 20")
    assert load_bytes(data, custom_types=table) == [("seen", 1), ("seen", 2)]


def test_converter_resizing_the_bytearray_being_decoded_changes_nothing():
    text = "abcdefgh" * 5000
    data = bytearray(h("0D 02 18 12 01 70 1F") + dump_bytes(text)[3:])
    errors = []

    def resize(value):
        for change in (lambda: data.extend(b"Z" * 100000), data.clear):
            try:
                change()
            except BufferError as exc:
                errors.append(exc)
        junk = [bytearray(b"X" * 40000) for _ in range(50)]
        gc.collect()
        return value, len(junk)

    assert load_bytes(data, custom_types={"p": resize}) == [(1, 50), text]
    # CPython refuses the resize while the decoder holds the buffer; PyPy decodes a copy.
    assert len(errors) == (2 if sys.implementation.name == "cpython" else 0)
    data.clear()  # the export is released once the call returns


# Nesting ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "opening",
    ["0D 01", "10 01 01 FE", "0F 01 04", "13 01 01 04", "18 04"],
    ids=["list", "dict", "any-key dict", "structured list", "custom"],
)
def test_hostile_nesting_raises_recursion_error(isolated, opening):
    result = isolated(
        f"""
        from vezuvir import load_bytes
        data = b"<o>" + bytes.fromhex({opening!r}) * 100000 + b"\\x04"
        try:
            load_bytes(data, custom_types={{None: lambda v: v}})
        except RecursionError:
            print("RecursionError")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RecursionError"


@pytest.mark.skipif(vezuvir.backend != "python", reason="the extension's limit is the interpreter's C one")
def test_nesting_stops_at_the_recursion_limit():
    # Dicts and lists nest without a Python call each: the limit is applied by count.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(300)
    try:
        for opening in ("0D 01", "10 01 01 FE"):
            with pytest.raises(RecursionError, match="while decoding nested data"):
                load_bytes(h(opening * 400 + "04"))
    finally:
        sys.setrecursionlimit(limit)


def test_moderate_nesting_decodes():
    value = None
    for _ in range(200):
        value = [value]
    assert load_bytes(h("0D 01" * 200 + "04")) == value


# Memory -----------------------------------------------------------------------------


def leak_probe(work, rounds=30):
    """Growth of total reference count (debug builds) or of traced memory."""
    work()
    gc.collect()
    if hasattr(sys, "gettotalrefcount"):
        before = sys.gettotalrefcount()
        for _ in range(rounds):
            work()
        gc.collect()
        return sys.gettotalrefcount() - before
    tracemalloc.start()
    try:
        for _ in range(3):
            work()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            work()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="reference counts are CPython's")
def test_decoding_and_failing_do_not_leak():
    smallest = sorted(bench_documents(), key=lambda p: p.stat().st_size)[:3]
    docs = [dump_bytes(json.loads(p.read_text(encoding="utf-8"))) for p in smallest]
    docs.append(dump_bytes([{"k": "é" * 3, "n": -2**90, 1: b"x"} for _ in range(50)]))
    corrupt = [data[: len(data) // 2] for data in docs] + [h(c) for c, _ in CORRUPT]
    converters = {"p": lambda v: [v], 1: str}

    def work():
        for data in docs:
            load_bytes(data, use_tuples=True)
            load_bytes(dump_bytes(load_bytes(bytearray(data), stop_gc=True)))
        for data in corrupt:
            try:
                load_bytes(data, custom_types=converters)
            except DeserializationError:
                pass
        for data in (h("18 12 01 70 23"), h("18 1F 23"), h("18 12 01 71 23")):
            try:
                load_bytes(data, custom_types=converters)
            except DeserializationError:
                pass

    shared = [converters, converters["p"], converters[1]]
    counts = [sys.getrefcount(obj) for obj in shared]
    assert leak_probe(work) < 10_000
    assert [sys.getrefcount(obj) for obj in shared] == counts
