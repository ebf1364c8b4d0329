import math
import platform
import random

import pytest

from vezuvir import (
    CustomType,
    DeserializationError,
    Idx,
    bytes_check_if_contains,
    dump_bytes,
    lazy_load_bytes,
    load_bytes,
)

M = b"<o>"


def raw(hexstr):
    return M + bytes.fromhex(hexstr)


def floats_list(*values):
    import struct

    body = b"".join(struct.pack(">d", v) for v in values)
    return M + bytes([14, 9, len(values)]) + body


def strs_list(*values, marker=False):
    out = bytearray(M + bytes([14, 10, len(values)]))
    for v in values:
        b = v.encode()
        if marker:
            b = b"\xfe" + b
        out += bytes([len(b)]) + b
    return bytes(out)


def bytes_list(*values):
    out = bytearray(M + bytes([14, 11, len(values)]))
    for v in values:
        out += bytes([len(v)]) + v
    return bytes(out)


DOC = {
    "a": {"b": [10, 20]},
    "s": [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}, {"a": 3, "b": "x"}],
    "flags": [True, False, True, True, False, False, True, False, True, False],
    "nones": [None, None, None],
    "empty": [],
    "zero": 0,
    "any": {1: "one", 2.5: "two and a half"},
}


@pytest.mark.parametrize(
    "path, expected",
    [
        ([], DOC),
        (["a", "b", Idx(1)], 20),
        (["a"], {"b": [10, 20]}),
        (["s", Idx(1), "a"], 2),
        (["s", Idx(2), "b"], "x"),
        (["s", Idx(0)], {"a": 1, "b": "x"}),
        (["s", Idx(2)], {"a": 3, "b": "x"}),
        (["flags", Idx(9)], False),
        (["flags", Idx(6)], True),
        (["nones", Idx(2)], None),
        (["any", 1], "one"),
        (["any", 2.5], "two and a half"),
        (["any", 1.0], "one"),
    ],
)
def test_load_by_path(path, expected):
    data = dump_bytes(DOC)
    assert lazy_load_bytes(data, path) == expected
    assert bytes_check_if_contains(data, path) is True


@pytest.mark.parametrize(
    "obj, path, message",
    [
        ({"a": {"b": 1}}, ["a", "c"], "Key not found, key: `c` (type `<class 'str'>`)"),
        ({}, ["a"], "Key not found, key: `a` (type `<class 'str'>`)"),
        ({1: 2}, [3], "Key not found, key: `3` (type `<class 'int'>`)"),
        ([1, 2], [5], "Invalid path, expected `dict` but found `list`"),
        ([1, 2], [Idx(2)], "Index out of range, index is `2` but list is of len `2`"),
        ([], [Idx(0)], "Index out of range, index is `0` but list is of len `0`"),
        ({"a": 1}, [Idx(0)], "Invalid path, expected `list` but found `dict`"),
        ({"a": 1}, ["a", "b"], "Invalid path, expected `dict` but found `int`"),
        ({"a": 1.5}, ["a", Idx(0)], "Invalid path, expected `list` but found `float`"),
        ({"a": "t"}, ["a", "b"], "Invalid path, expected `dict` but found `str`"),
        ({"a": None}, ["a", "b"], "Invalid path, expected `dict` but found `None`"),
        ({"a": b"x"}, ["a", Idx(0)], "Invalid path, expected `list` but found `bytes`"),
        ([{"a": 1}, {"a": 2}], [Idx(0), "b"], "Key not found, key: `b` (type `<class 'str'>`)"),
        ([{"a": 1}, {"a": 2}], [Idx(1), Idx(0)], "Invalid path, expected `list` but found `dict`"),
        ([{"a": 1}, {"a": 2}], [Idx(2)], "Index out of range, index is `2` but list is of len `2`"),
        ([True, False], [Idx(0), "x"], "Invalid path, expected `dict` but found `bool`"),
        ([None, None], [Idx(1), Idx(0)], "Invalid path, expected `list` but found `None`"),
        ([True, False], [Idx(2)], "Index out of range, index is `2` but list is of len `2`"),
        # A repeated string is a back-reference: valid data, reported like its first occurrence.
        (["x", "x"], [Idx(1), "k"], "Invalid path, expected `dict` but found `str`"),
        (["x", "x"], [Idx(1), Idx(0)], "Invalid path, expected `list` but found `str`"),
    ],
)
def test_navigation_errors(obj, path, message):
    data = dump_bytes(obj)
    with pytest.raises(DeserializationError) as err:
        lazy_load_bytes(data, path)
    assert str(err.value) == message
    assert bytes_check_if_contains(data, path) is False


@pytest.mark.parametrize(
    "data, path, expected, exc, message",
    [
        # consistent-type lists written by other writers of the format
        (floats_list(1.5, -2.0, 3.25), [Idx(2)], 3.25, None, None),
        (floats_list(1.5, -2.0, 3.25), [Idx(3)], None, DeserializationError,
         "Index out of range, index is `3` but list is of len `3`"),
        (floats_list(1.5)[:-4], [Idx(0)], None, DeserializationError, "Unexpected end of input"),
        (strs_list("ab", "", "cd"), [Idx(2)], "cd", None, None),
        (strs_list("ab", "", "cd"), [Idx(1)], "", None, None),
        (strs_list("ab", "cd", marker=True), [Idx(1)], "cd", None, None),
        (bytes_list(b"ab", b"", b"\x00\xff"), [Idx(2)], b"\x00\xff", None, None),
        (bytes_list(b"ab", b"", b"\x00\xff"), [Idx(1)], b"", None, None),
        (raw("0e 0c 0a ff 40"), [Idx(9)], True, None, None),
        (raw("0e 0c 0a ff 40"), [Idx(8)], False, None, None),
        (raw("0e 0c 0a ff"), [Idx(9)], None, DeserializationError, "Unexpected end of input"),
        (raw("0e 0d 02"), [Idx(1)], None, DeserializationError, "Unexpected type flag: 13"),
        (raw("0e 09 01"), [Idx(0), "x"], None, DeserializationError,
         "Invalid path, expected `dict` but found `float`"),
        (raw("0e 0a 01 01 61"), [Idx(0), Idx(0)], None, DeserializationError,
         "Invalid path, expected `list` but found `str`"),
        # back-references and unassigned flags where a container is expected
        (raw("0d 02 12 01 61 14 00"), [Idx(1), "k"], None, DeserializationError,
         "Invalid path, expected `dict` but found `str`"),
        (raw("18 12 01 61 1f"), ["k"], None, DeserializationError,
         "Invalid path, expected `dict` but found `custom`"),
        (raw("18 12 01 61 1f"), [Idx(0)], None, DeserializationError,
         "Invalid path, expected `list` but found `custom`"),
        (raw("0e 14 01 00"), [Idx(0), "k"], None, DeserializationError,
         "Corrupt data: unexpected flag"),
        (raw("0d 02 12 01 61 11 00"), [Idx(1), "k"], None, DeserializationError,
         "Invalid path, expected `dict` but found `str`"),
        (raw("19"), ["k"], None, DeserializationError, "Corrupt data: unexpected flag"),
        (raw("0d 01 14 05"), [Idx(0)], None, DeserializationError, "Unexpected end of input"),
        (raw(""), [], None, DeserializationError, "Unexpected end of input"),
        (b"xyz", [], None, DeserializationError, "Corrupted data: missing starting marker `<o>`"),
        (b"<o", [], None, DeserializationError, "Corrupted data: missing starting marker `<o>`"),
        # the skipper's own errors are TypeErrors
        (raw("10 02 02 fe 61 0c 02 fe 62 1f"), ["b"], None, TypeError, "Unexpected flag"),
        (raw("10 02 02 fe 61 1a 02 fe 62 1f"), ["b"], None, TypeError, "Unexpected flag"),
        (raw("10 02 02 fe 61 0e 07 01 02 fe 62 1f"), ["b"], None, TypeError, "Unexpected type flag: 7"),
    ],
)
def test_raw_encodings(data, path, expected, exc, message):
    if exc is None:
        result = lazy_load_bytes(data, path)
        assert result == expected and type(result) is type(expected)
        return
    with pytest.raises(exc) as err:
        lazy_load_bytes(data, path)
    assert str(err.value) == message
    if exc is DeserializationError:
        assert bytes_check_if_contains(data, path, include_falsy=False) is False
    else:
        with pytest.raises(exc):
            bytes_check_if_contains(data, path, include_falsy=False)


@pytest.mark.parametrize(
    "value, truthy",
    [(0, False), (0.0, False), (-0.0, False), ("", False), ([], False), (None, False),
     ({}, False), (b"", False), (False, False), (1, True), (-1, True), (300, True),
     (math.nan, True), ("x", True), ([0], True), (True, True), ({"k": 0}, True), (b"\0", True)],
)
def test_check_mode_truth(value, truthy):
    data = dump_bytes({"a": value, "b": 1})
    assert bytes_check_if_contains(data, ["a"], include_falsy=False) is truthy
    assert bytes_check_if_contains(data, ["a"]) is True
    assert bytes_check_if_contains(data, ["a"], include_falsy=True) is True


@pytest.mark.parametrize(
    "data, index, falsy_result",
    [
        (floats_list(0.0, -0.0, math.nan, 2.0), 0, False),
        (floats_list(0.0, -0.0, math.nan, 2.0), 1, False),
        (floats_list(0.0, -0.0, math.nan, 2.0), 2, True),
        (strs_list("", "a"), 0, False),
        (strs_list("", "a"), 1, True),
        (bytes_list(b"", b"a"), 0, False),
        (bytes_list(b"", b"a"), 1, True),
        (raw("0e 04 03"), 2, False),
        (raw("0e 0c 02 40"), 0, False),
        (raw("0e 0c 02 40"), 1, True),
    ],
)
def test_check_mode_on_packed_elements(data, index, falsy_result):
    assert bytes_check_if_contains(data, [Idx(index)], include_falsy=False) is falsy_result
    assert bytes_check_if_contains(data, [Idx(index)]) is True


def test_truncated_float_target_in_check_mode_is_false():
    data = dump_bytes({"a": 1.5})[:-3]
    assert bytes_check_if_contains(data, ["a"], include_falsy=False) is False
    assert bytes_check_if_contains(data, ["a"]) is True


def test_back_references_to_skipped_strings():
    assert lazy_load_bytes(dump_bytes(["ab", ["ab"]]), [Idx(1), Idx(0)]) == "ab"
    long_key = "k" * 300
    data = dump_bytes([{long_key: 1, "é" * 200: 2}, [long_key, "é" * 200]])
    assert lazy_load_bytes(data, [Idx(1)]) == [long_key, "é" * 200]
    assert lazy_load_bytes(data, [Idx(1), Idx(1)]) == "é" * 200
    # the empty key takes an index; the key back-reference of a later dict takes none
    data = dump_bytes([{"": 1, "x": 2}, {"x": 3, "": 4, "q": 5}, "x", "q", ""])
    assert lazy_load_bytes(data, [Idx(2)]) == "x"
    assert lazy_load_bytes(data, [Idx(3)]) == "q"
    # a string list's skipped elements keep the numbering
    packed = strs_list("ab", "cd", "ef")[len(M):]
    data = M + bytes([13, 2]) + packed + bytes([20, 1])
    assert lazy_load_bytes(data, [Idx(1)]) == "cd"
    assert lazy_load_bytes(data, [Idx(0), Idx(2)]) == "ef"


class Key(str):
    pass


# Keys compared as stored bytes: literal or back-referenced, ASCII-marked or not, a prefix
# of another key, a key the earlier strings skipped (position entry) or decoded (object).
KEYED = [
    {"ab": 1, "abc": 2, "é": 3, "": 4},
    {"abc": 5, "ab": 6, "é": 7, "": 8, "日本": 9},
    "ab",
    {"x": {"é": 10}, "ab": {"abc": 11}},
]


@pytest.mark.parametrize(
    "path, expected",
    [
        ([Idx(0), "abc"], 2),
        ([Idx(0), ""], 4),
        ([Idx(1), "ab"], 6),
        ([Idx(1), "é"], 7),
        ([Idx(1), ""], 8),
        ([Idx(1), "日本"], 9),
        ([Idx(3), "x", "é"], 10),
        ([Idx(3), "ab", "abc"], 11),
        ([Idx(1), Key("ab")], 6),
        ([Idx(1), "a"], KeyError),
        ([Idx(1), "abcd"], KeyError),
        ([Idx(1), "\ud800"], KeyError),
        ([Idx(1), b"ab"], KeyError),
    ],
)
def test_string_keys_are_matched_by_text(path, expected):
    data = dump_bytes(KEYED)
    if expected is KeyError:
        with pytest.raises(DeserializationError, match="Key not found"):
            lazy_load_bytes(data, path)
        assert bytes_check_if_contains(data, path) is False
    else:
        assert lazy_load_bytes(data, path) == expected
    # What the walk entered in the table still resolves later strings.
    assert lazy_load_bytes(data, [Idx(2)]) == "ab"


@pytest.mark.parametrize(
    "number", [254, 255, 300, 2**16, -(2**40), 2**63, -(2**64), 255**10 + 7, 2**200, -(2**900)]
)
def test_ints_of_every_length_are_stepped_over(number):
    data = dump_bytes([number, {"k": number}, "after"])
    assert lazy_load_bytes(data, [Idx(2)]) == "after"
    assert lazy_load_bytes(data, [Idx(1), "k"]) == number
    # Cut inside the int's digits: the skip runs out of input.
    cut = dump_bytes([number, 1])[:-3]
    assert bytes_check_if_contains(cut, [Idx(1)]) is False


def test_back_referenced_skipped_string_is_rebuilt_each_time():
    data = dump_bytes(["abc", "abc", "abc"])
    first = lazy_load_bytes(data, [Idx(1)])
    second = lazy_load_bytes(data, [Idx(2)])
    assert first == second == "abc"


def test_trailing_data_is_ignored():
    data = dump_bytes({"a": [1, 2]}) + b"\x00garbage"
    assert lazy_load_bytes(data, ["a", Idx(1)]) == 2
    assert bytes_check_if_contains(data, ["a"]) is True


def test_bytearray_and_subclasses():
    class B(bytes):
        pass

    class BA(bytearray):
        pass

    data = dump_bytes({"a": [1, "x"]})
    for buf in (bytearray(data), B(data), BA(data)):
        assert lazy_load_bytes(buf, ["a", Idx(1)]) == "x"
        assert bytes_check_if_contains(buf, ["b"]) is False


class Point:
    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return isinstance(other, Point) and other.x == self.x


def test_custom_types_on_the_path():
    data = dump_bytes(
        {"p": Point(3), "z": Point(0)},
        custom_types={Point: CustomType("pt", lambda p: p.x)},
    )
    loaders = {"pt": Point}
    assert lazy_load_bytes(data, ["p"], custom_types=loaders) == Point(3)
    with pytest.raises(DeserializationError, match="Unknown custom type"):
        lazy_load_bytes(data, ["p"])
    assert bytes_check_if_contains(data, ["p"]) is True
    assert bytes_check_if_contains(data, ["p"], include_falsy=False, custom_types={"pt": bool}) is True
    assert bytes_check_if_contains(data, ["z"], include_falsy=False, custom_types={"pt": bool}) is False
    # a skipped custom value is stepped over whole
    assert lazy_load_bytes(dump_bytes([Point(1), "k"], custom_types={Point: CustomType("pt", lambda p: p.x)}), [Idx(1)]) == "k"


def test_converter_cannot_resize_bytearray_under_the_reader():
    data = bytearray(dump_bytes([Point(1), "tail"], custom_types={Point: CustomType("pt", lambda p: p.x)}))

    def resize(x):
        data.extend(b"\0" * 100000)
        return Point(x)

    if platform.python_implementation() == "PyPy":
        # The reader works on a private copy there: the resize is harmless.
        assert lazy_load_bytes(data, [Idx(0)], custom_types={"pt": resize}) == Point(1)
        return
    with pytest.raises(DeserializationError, match="Failed to deserialize custom type"):
        lazy_load_bytes(data, [Idx(0)], custom_types={"pt": resize})
    assert len(data) < 100


U = "lazy_load_bytes()"


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, f"{U} missing 1 required positional argument: 'buffer'"),
        ((b"<o>\x04",), {}, TypeError, f"{U} expected exactly 2 positional argument, but 1 were provided"),
        ((b"<o>\x04", [], 1), {}, TypeError, f"{U} expected exactly 2 positional argument, but 3 were provided"),
        ((b"<o>\x04",), {"buffer": b""}, TypeError, f"{U} got multiple values for argument 'buffer'"),
        ((), {"buffer": b"<o>\x04"}, TypeError, f"{U} expected exactly 2 positional argument, but 0 were provided"),
        ((b"<o>\x04", []), {"path_to_load": []}, TypeError, f"{U} got multiple values for argument 'path_to_load'"),
        ((b"<o>\x04", []), {"fast": 1}, TypeError, f"{U} got an unexpected keyword argument 'fast'"),
        (("s", []), {}, TypeError, "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
        ((), {"buffer": "s", "path_to_load": []}, TypeError,
         "buffer must be of type `bytes` or `bytearray` but got `<class 'str'>`"),
        ((b"<o>\x04", ("a",)), {}, TypeError, "path_to_load must be a list"),
        ((b"<o>\x04", [Idx(-1)]), {}, TypeError, "Index must not be negative"),
        ((b"<o>\x04", []), {"custom_types": None}, TypeError, "custom_types must be a dict"),
        ((b"<o>\x04", []), {"custom_types": {"a": 1}}, TypeError, "custom_types value must be a function"),
        ((b"<o>\x04", [Idx(2**64)]), {}, OverflowError, "Index must be smaller than 2**64"),
    ],
)
@pytest.mark.parametrize("fn", [lazy_load_bytes, bytes_check_if_contains])
def test_argument_errors(fn, args, kwargs, exc, message):
    with pytest.raises(exc) as err:
        fn(*args, **kwargs)
    assert str(err.value) == message


def test_idx_with_non_int_index_is_a_type_error():
    step = Idx(0)
    step.index = "3"
    with pytest.raises(TypeError, match="Index must be an int"):
        lazy_load_bytes(dump_bytes([1]), [step])


def test_keyword_forms():
    data = dump_bytes({"a": 0})
    assert lazy_load_bytes(buffer=data, path_to_load=["a"]) == 0
    assert lazy_load_bytes(data, path_to_load=["a"]) == 0
    assert bytes_check_if_contains(data, ["a"], include_falsy=0) is False
    assert bytes_check_if_contains(buffer=data, path_to_load=[]) is True


def test_raising_key_comparison_counts_as_not_equal():
    class Weird:
        def __eq__(self, other):
            raise RuntimeError("no")

        def __hash__(self):
            return 1

        def __str__(self):
            return "weird"

    data = dump_bytes({"a": 1})
    with pytest.raises(DeserializationError, match="Key not found, key: `weird`"):
        lazy_load_bytes(data, [Weird()])


# --- deep nesting: bounded by the interpreter's recursion limit ---------------------


def test_deep_paths_and_deep_skips_raise(isolated):
    result = isolated(
        """
        from vezuvir import lazy_load_bytes, bytes_check_if_contains, Idx
        depth = 100000
        nested = b"<o>" + b"\\x0d\\x01" * depth + b"\\x04"
        try:
            lazy_load_bytes(nested, [Idx(0)] * depth)
        except RecursionError:
            print("path ok")
        skipped = b"<o>\\x10\\x02\\x02\\xfea" + b"\\x0d\\x01" * depth + b"\\x04\\x02\\xfeb\\x1f"
        try:
            lazy_load_bytes(skipped, ["b"])
        except RecursionError:
            print("skip ok")
        try:
            bytes_check_if_contains(skipped, ["b"])
        except RecursionError:
            print("check ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["path", "ok", "skip", "ok", "check", "ok"]


# --- differential: lazy reads agree with indexing a full decode ---------------------


def random_value(rng, depth):
    kind = rng.randrange(12 if depth < 4 else 6)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, 1, 224, 225, -1, 2**63, -(2**70), rng.randrange(-10**6, 10**6)])
    if kind == 2:
        return rng.choice([0.0, -0.0, 1.5, -3.25e100])
    if kind == 3:
        return rng.choice(["", "a", "ab", "é", "key", "k" * 300, "😀"])
    if kind == 4:
        return rng.choice([b"", b"\x00", b"xyz"])
    if kind == 5:
        return rng.choice(["a", "b", "key", ""])
    if kind in (6, 7):
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 8:
        return [rng.choice([True, False]) for _ in range(rng.randrange(1, 20))]
    if kind == 9:
        keys = rng.sample(["a", "b", "key", "", "é"], rng.randrange(0, 4))
        return [{k: random_value(rng, depth + 1) for k in keys} for _ in range(rng.randrange(2, 4))]
    if kind == 10:
        return {rng.choice([1, 2.5, "x", None, -7]): random_value(rng, depth + 1) for _ in range(rng.randrange(1, 4))}
    return {rng.choice(["a", "b", "key", "", "é", "k" * 300]): random_value(rng, depth + 1)
            for _ in range(rng.randrange(5))}


def random_path(rng, value):
    path = []
    while rng.random() < 0.85:
        if isinstance(value, list) and value:
            i = rng.randrange(len(value))
            path.append(Idx(i))
            value = value[i]
        elif isinstance(value, dict) and value:
            k = rng.choice(list(value))
            path.append(k)
            value = value[k]
        else:
            break
    return path, value


def test_lazy_reads_agree_with_full_decode():
    rng = random.Random(20261208)
    for _ in range(600):
        doc = random_value(rng, 0)
        data = dump_bytes(doc)
        full = load_bytes(data)
        for _ in range(4):
            path, expected = random_path(rng, full)
            got = lazy_load_bytes(data, path)
            assert got == expected or (got != got and expected != expected), (doc, path)
            assert bytes_check_if_contains(data, path) is True
            assert bytes_check_if_contains(data, path, include_falsy=False) is bool(expected)
            if isinstance(expected, dict):
                assert bytes_check_if_contains(data, path + ["no such key"]) is False


@pytest.mark.parametrize("name", ["twitter.json", "citm_catalog.json", "canada.json"])
def test_paths_through_bench_documents(name):
    import json

    from conftest import bench_documents

    found = [p for p in bench_documents() if p.name == name]
    if not found:
        pytest.skip("bench-data not available")
    path_file = found[0]
    doc = json.loads(path_file.read_text(encoding="utf-8"))
    data = dump_bytes(doc)
    rng = random.Random(name)
    for _ in range(50):
        path, expected = random_path(rng, doc)
        assert lazy_load_bytes(data, path) == expected


# --- hostile input: only clean exceptions, never a crash -------------------------------


def test_mutation_fuzz_never_crashes(isolated):
    result = isolated(
        """
        import random
        from vezuvir import (dump_bytes, load_bytes, lazy_load_bytes, bytes_check_if_contains,
                             DeserializationError, Idx)
        rng = random.Random(7)
        seeds = [
            dump_bytes({"a": [1, 2.5, "x", b"y", None, True], "b": {"c": "x", 1: 2},
                        "s": [{"k": 1, "v": "x"}, {"k": 2, "v": "y"}], "f": [True, False] * 9}),
            dump_bytes(["ab", ["ab", {"ab": "ab"}], -2**70, 2**64, "é" * 30]),
            b"<o>\\x0e\\x09\\x02" + b"\\x3f\\xf0" + b"\\x00" * 14,
            b"<o>\\x0e\\x0a\\x03\\x02\\xfea\\x00\\x01b",
        ]
        paths = [[], ["a"], ["a", Idx(2)], ["s", Idx(1), "v"], ["b", 1], [Idx(1), Idx(1), "ab"],
                 [Idx(0)], [Idx(2)], ["f", Idx(17)], [Idx(4)]]
        allowed = (DeserializationError, TypeError, RecursionError)
        n = 0
        for _ in range(4000):
            data = bytearray(rng.choice(seeds))
            for _ in range(rng.randrange(1, 4)):
                op = rng.randrange(3)
                at = rng.randrange(3, len(data)) if len(data) > 3 else 3
                if op == 0 and at < len(data):
                    data[at] = rng.randrange(256)
                elif op == 1:
                    del data[at:]
                else:
                    data[at:at] = bytes([rng.choice([0xFF, 0xFE, 0, 13, 14, 19, 20, 23, 24, 17])])
            data = bytes(data)
            for fn, args in ((load_bytes, ()), (lazy_load_bytes, (rng.choice(paths),)),
                             (bytes_check_if_contains, (rng.choice(paths),))):
                try:
                    fn(data, *args)
                except allowed:
                    pass
                n += 1
        print(n)
        """,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout) == 12000
