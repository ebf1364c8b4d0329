import datetime
import json
import math
import random

import pytest

from vezuvir import CustomType, dump_bytes, load_bytes

from conftest import bench_params


def as_tuples(value):
    """What `use_tuples=True` gives back for `value`: every list or tuple as a tuple."""
    if isinstance(value, (list, tuple)):
        return tuple(as_tuples(v) for v in value)
    if isinstance(value, dict):
        return {as_tuples(k): as_tuples(v) for k, v in value.items()}
    return value


def as_lists(value):
    """What the default decode gives back: every tuple as a list."""
    if isinstance(value, (list, tuple)):
        return [as_lists(v) for v in value]
    if isinstance(value, dict):
        return {k: as_lists(v) for k, v in value.items()}
    return value


def same(a, b):
    """Equality that also tells -0.0 from 0.0, NaN from everything and tuple from list."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        # Rows of a structured list share the first row's key order, so order may differ.
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("path", bench_params(), ids=lambda p: p.name)
def test_bench_documents_round_trip(path):
    value = json.loads(path.read_text(encoding="utf-8"))
    data = dump_bytes(value)
    assert same(load_bytes(data), value)
    assert same(load_bytes(bytearray(data), use_tuples=True, stop_gc=True), as_tuples(value))


SCALARS = [
    None, True, False, 0, 1, 224, 225, 255, -1, -225, 2**63 - 1, -(2**63), 2**64, -(2**200) + 7,
    0.0, -0.0, 1.5, math.inf, -math.inf, math.nan, 5e-324, "", "a", "é", "日本", "\U0001f600",
    "x" * 300, b"", b"\x00\xff", b"y" * 300,
]


@pytest.mark.parametrize("n", [253, 254, 255, 508, 509, 510, 64769, 65026, 70000])
def test_lengths_around_each_varint_form(n):
    # Values and keys of these lengths take each form of a length's varint (keys count in
    # base 254, values in 255), and back-reference indices past 255 follow them.
    text = "é" * (n // 2) + "x" * (n % 2)
    value = {text: [text, text[1:]], **{str(i): str(i) for i in range(300)}, "end": text[1:]}
    assert load_bytes(dump_bytes(value)) == value


def random_value(rng, depth=0):
    roll = rng.random()
    if depth >= 5 or roll < 0.4:
        if rng.random() < 0.2:
            return rng.choice([-1, 1]) * rng.getrandbits(rng.randint(1, 400))
        return rng.choice(SCALARS + [str(rng.randint(0, 40)), rng.uniform(-1e9, 1e9)])
    n = rng.randint(0, 7)
    if roll < 0.55:
        return [random_value(rng, depth + 1) for _ in range(n)]
    if roll < 0.62:
        return tuple(random_value(rng, depth + 1) for _ in range(n))
    if roll < 0.70:
        return [None] * n
    if roll < 0.76:
        return [rng.random() < 0.5 for _ in range(n + 8)]
    if roll < 0.85:
        keys = rng.sample(["id", "name", "é", "", "k" * 260, str(rng.random())], rng.randint(0, 4))
        return [{k: random_value(rng, depth + 1) for k in keys} for _ in range(n)]
    if roll < 0.95:
        return {rng.choice(["a", "b", "é", "", "x" * 260, str(i)]): random_value(rng, depth + 1) for i in range(n)}
    return {rng.choice([1, -7, 2.5, None, True, b"k", "s", 2**70]): random_value(rng, depth + 1) for _ in range(n)}


@pytest.mark.parametrize("seed", range(8))
def test_random_values_round_trip(seed):
    rng = random.Random(seed)
    for _ in range(150):
        value = random_value(rng)
        data = dump_bytes(value)
        assert same(load_bytes(data), as_lists(value))
        assert same(load_bytes(data, use_tuples=True), as_tuples(value))


def test_many_distinct_strings_round_trip_through_every_back_reference_width():
    strings = [f"v{i}" for i in range(70000)]
    value = {"first": strings, "again": strings[::7], "keys": [{s: i} for i, s in enumerate(strings[-300:])]}
    result = load_bytes(dump_bytes(value))
    assert result == value
    assert result["again"][1] is result["first"][7]


def test_datetimes_come_back_as_their_iso_text():
    moment = datetime.datetime(2024, 5, 17, 12, 30, 5, 123, tzinfo=datetime.timezone.utc)
    assert load_bytes(dump_bytes({"at": moment, "naive": moment.replace(tzinfo=None)}, serialize_dates=True)) == {
        "at": moment.isoformat(),
        "naive": moment.replace(tzinfo=None).isoformat(),
    }


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is Point and (self.x, self.y) == (other.x, other.y)


def test_custom_types_round_trip():
    value = {"p": Point(1, [2]), "ps": [Point(i, "é") for i in range(3)], "d": {"p": Point(0, None)}}
    dumped = dump_bytes(value, custom_types={Point: CustomType("pt", lambda p: [p.x, p.y])})
    assert load_bytes(dumped, custom_types={"pt": lambda xy: Point(*xy)}) == value
    one_way = dump_bytes(Point(3, 4), custom_types={Point: CustomType("pt", lambda p: [p.x, p.y], one_way=True)})
    assert load_bytes(one_way, use_tuples=True) == (3, 4)
