"""Each backend is the other's oracle: random trees and mutated encodings go through the
extension and the pure-Python codec, which must give identical bytes, writer chunks,
values and exceptions (type and message). The pure codec's lazy reads run on their own, and
again with the extension walking the path for them (as on PyPy), which must agree too.

Seeded and bounded for the test run; run longer by hand:
    python tests/test_differential.py --seconds 600 [--seed N]
"""

import array
import copy
import datetime
import gc
import math
import os
import random
import sys
import time

import pytest

import vezuvir
import vezuvir._pure as pure
from vezuvir import CustomType, Idx
from vezuvir._pure import locate, navigation

ext = pytest.importorskip("_vezuvir")
# The extension's walk for the pure codec's lazy reads; the oracle reads without it.
WALKER = locate.extension_locator()
LAZY = ("lazy_load_bytes", "bytes_check_if_contains")

# Every key set of a long table gets its row maker at once, so that path is compared too.
pure.decoder._ROWS_BEFORE_MAKER = 0

SEED = int(os.environ.get("VEZUVIR_DIFF_SEED", "20251208"))
ROUNDS = int(os.environ.get("VEZUVIR_DIFF_ROUNDS", "300"))


class Point:
    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return type(other) is Point and same(self.x, other.x)

    def __hash__(self):
        return hash(repr(self.x))

    def __repr__(self):
        return f"Point({self.x!r})"


class SubPoint(Point):
    pass


class MyInt(int):
    pass


class MyStr(str):
    pass


def boom(value):
    raise ValueError(f"boom {value!r}")


DUMP_TYPES = [
    None,
    {Point: CustomType("pt", lambda p: p.x)},
    {Point: CustomType("pt", lambda p: [p.x, "pt"], include_subclasses=True), MyInt: CustomType(1, int)},
    {Point: CustomType("pt", lambda p: p.x, one_way=True), MyStr: CustomType("s", str, include_subclasses=True)},
    {Point: CustomType("bad", boom), datetime.datetime: CustomType("dt", lambda d: d.year)},
]
LOAD_TYPES = [None, {"pt": Point, "s": MyStr, 1: repr, "dt": str}, {"pt": boom}, {}]
THRESHOLDS = [(0, 0), (1, 1), (3, 4), (5, 3), (64, 16), (4096, 512), (2**64 - 1, 0)]
KEYS = ["a", "b", "", "é", "key", "k" * 253, "k" * 300, "日本", "\x00", "😀", "'\"\\\n"]
DATE = datetime.datetime(2024, 1, 2, 3, 4, 5, 6)


def random_scalar(rng):
    kind = rng.randrange(9)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, 1, 224, 225, 254, 255, 256, 509, 510, 65280, 2**32, 2**63 - 1, 2**63,
                           -(2**63), -(2**63) - 1, 2**64, 2**200 + 7, -(3**300), -1, -255,
                           2**2126 - 1, -(2**2126), 2**2400, -(7**900)])
    if kind == 2:
        return rng.randrange(-(10**rng.randrange(1, 25)), 10**rng.randrange(1, 25))
    if kind == 3:
        return rng.choice([0.0, -0.0, 1.5, math.inf, -math.inf, math.nan, rng.random() * 1e300])
    if kind == 4:
        return rng.choice(KEYS)
    if kind == 5:
        return "".join(rng.choice("abcé日😀\x00 ") for _ in range(rng.randrange(40)))
    if kind == 6:
        return rng.choice([b"", b"\x00", b"\xff\xfe", bytes(range(40))])
    if kind == 7:
        return rng.choice([DATE, DATE.replace(tzinfo=datetime.timezone.utc), Point(3), SubPoint(4), MyInt(5)])
    return rng.choice([MyStr("m"), {1, 2}, DATE.date(), "\ud800", bytearray(b"x"), (1, 2)])


def random_number(rng):
    return rng.choice([rng.random(), -0.0, math.nan, rng.randrange(-300, 300), 2**63 - 1, -(2**63),
                       2**63, 2**64 + 1, rng.randrange(-(2**40), 2**40), True, None, "x"])


def random_tree(rng, depth=0):
    kind = rng.randrange(14 if depth < 4 else 1)
    if kind == 0:
        return random_scalar(rng)
    if kind == 12:
        # Runs of numbers, the odd other item among them.
        return [random_number(rng) if rng.random() < 0.2 else rng.random() * 100 for _ in range(rng.randrange(1, 40))]
    if kind == 13:
        return [[rng.random(), random_number(rng)][: rng.randrange(3)] if rng.random() < 0.3
                else [rng.random(), rng.randrange(-1000, 1000)] for _ in range(rng.randrange(1, 30))]
    n = rng.randrange(6)
    if kind in (1, 2):
        items = [random_tree(rng, depth + 1) for _ in range(n)]
        return items if kind == 1 else tuple(items)
    if kind == 3:
        return [rng.choice([True, False]) for _ in range(rng.randrange(1, 20))]
    if kind == 4:
        return [None] * rng.randrange(1, 4)
    if kind in (5, 6):
        # Narrow rows, or wide ones (eight keys or more are matched in order first).
        keys = rng.sample(KEYS, rng.randrange(0, 4) if rng.random() < 0.8 else rng.randrange(8, 11))
        if len(keys) < 4 and rng.random() < 0.3:
            # Long tables of plain values take the decoder's row-building path.
            leaf = rng.choice([random_number, lambda rng: [random_number(rng)], lambda rng: {"a": random_number(rng)}])
            rows = [{k: leaf(rng) for k in keys} for _ in range(rng.randrange(9, 14))]
        else:
            rows = [{k: random_tree(rng, depth + 1) for k in keys} for _ in range(rng.randrange(1, 4))]
        if kind == 6 and rows and keys:
            rows[-1] = dict(reversed(list(rows[-1].items())))
            # Equal keys that are other objects, all but the first moved.
            (key, value), *rest = rows[0].items()
            rows.append(dict([(key, value)] + [("".join(k), v) for k, v in reversed(rest)]))
        return rows
    if kind == 7:
        return {rng.choice([1, 2.5, "x", None, -7, True, b"k", (1,), Point(1)]): random_tree(rng, depth + 1)
                for _ in range(rng.randrange(1, 4))}
    if depth < 2 and rng.random() < 0.4:
        # Wide: a path step searches a dict of many entries in the skipper's own loop.
        return {f"w{i}" if rng.random() < 0.7 else rng.choice(KEYS):
                rng.choice([random_number(rng), rng.choice(KEYS), [f"w{i}", {"k": i}]])
                for i in range(rng.randrange(33, 48))}
    return {rng.choice(KEYS): random_tree(rng, depth + 1) for _ in range(n)}


def same(a, b):
    """Equal values of identical types all the way down (NaN equals NaN, -0.0 is not 0.0)."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return (a != a and b != b) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return len(a) == len(b) and all(
            same(ka, kb) and same(va, vb) for (ka, va), (kb, vb) in zip(a.items(), b.items())
        )
    return a == b


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except RecursionError:
        return ("raised", RecursionError, "", None)
    except Exception as error:
        # `needed`: where skip_record says a cut-short record cannot end before.
        return ("raised", type(error), str(error), getattr(error, "needed", None))


def agree(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        return a[1:] == b[1:]
    return same(a[1], b[1])


class Chunks:
    def __init__(self):
        self.chunks = []

    def write(self, chunk):
        self.chunks.append(bytes(chunk))


def dump_outcome(module, obj, options):
    """(outcome, the chunks a writer was given or None)."""
    if "thresholds" not in options:
        return outcome(module.dump_bytes, obj, **options), None
    flush, direct = options["thresholds"]
    writer = Chunks()
    rest = {k: v for k, v in options.items() if k != "thresholds"}
    result = outcome(module.dump_bytes, obj, writer=writer, flush_threshold=flush,
                     direct_write_threshold=direct, **rest)
    return result, writer.chunks


SEEDS = [
    ext.dump_bytes({"a": [1, -(2**70), 2.5, "é", b"b", None, True], "b": {1: "a", "c": ["a", "é"]},
                    "s": [{"k": 1, "v": "x"}, {"v": "y", "k": 2}], "f": [True, False] * 9, "n": [None] * 3}),
    ext.dump_bytes(["ab", ["ab", {"ab": "ab"}], 2**64, "é" * 30, {"k" * 300: [{}, {}]}]),
    b"<o>\x0e\x09\x02" + b"\x3f\xf0" + b"\x00" * 14,
    b"<o>\x0e\x0a\x03\x02\xfea\x00\x01b",
    b"<o>\x0e\x0b\x02\x01a\x00",
    b"<o>\x18\x12\x02pt\x0d\x01\x1f",
]


# Ways to hand the same bytes to a reader.
WRAPPERS = [bytes, bytes, bytearray, memoryview, lambda data: array.array("B", data),
            lambda data: memoryview(b"xy" + data)[2:]]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        op = rng.randrange(4)
        at = rng.randrange(3, len(data) + 1) if len(data) > 3 else 3
        if op == 0 and at < len(data):
            data[at] = rng.choice([0, 1, 4, 9, 12, 13, 14, 16, 19, 20, 23, 24, 27, 30, 0xFE, 0xFF,
                                   rng.getrandbits(8)])
        elif op == 1:
            del data[at:]
        elif op == 2:
            data[at:at] = bytes([rng.choice([0xFF, 0xFE, 0, 13, 14, 16, 17, 19, 20, 24, 10, 11])])
        else:
            data[at : at + rng.randrange(1, 4)] = b""
    return bytes(data)


def random_path(rng, value):
    path = []
    while rng.random() < 0.8:
        if rng.random() < 0.15:
            path.append(rng.choice([Idx(rng.choice([0, 1, 7, 2**40])), rng.choice(KEYS), 1, 2.5, None]))
        elif type(value) in (list, tuple) and value:
            i = rng.randrange(len(value))
            path.append(Idx(i))
            value = value[i]
        elif type(value) is dict and value:
            key = rng.choice(list(value))
            path.append(key)
            value = value[key]
        else:
            break
    return path


def one_round(rng, report):
    tree = random_tree(rng)
    options = {}
    if rng.random() < 0.3:
        options["serialize_dates"] = True
    custom = rng.choice(DUMP_TYPES)
    if custom is not None:
        options["custom_types"] = custom
    if rng.random() < 0.3:
        options["thresholds"] = rng.choice(THRESHOLDS)
    if rng.random() < 0.1:
        options["max_int_digits"] = rng.choice([640, 700, None])
    (a, chunks_a), (b, chunks_b) = dump_outcome(ext, tree, options), dump_outcome(pure, tree, options)
    if not agree(a, b) or chunks_a != chunks_b:
        report("dump_bytes", (tree,), options, (a, chunks_a), (b, chunks_b))
    if a[0] == "ok" and a[1] is not None:
        encoded = a[1]
    elif chunks_a and a[0] == "ok":
        encoded = b"".join(chunks_a)
    else:
        encoded = rng.choice(SEEDS)
    decoded = ext.load_bytes(encoded, custom_types=LOAD_TYPES[1]) if rng.random() < 0.5 else tree
    if rng.random() < 0.2:
        encoded = rng.choice(SEEDS)
    for data in [encoded] + [mutate(rng, encoded) for _ in range(3)]:
        load_options = {"custom_types": rng.choice(LOAD_TYPES)}
        if load_options["custom_types"] is None:
            del load_options["custom_types"]
        for flag in ("use_tuples", "ignore_extra_data"):
            if rng.random() < 0.3:
                load_options[flag] = True
        if rng.random() < 0.2:
            load_options["max_free_elements"] = rng.choice([0, 2, 100, None])
        if rng.random() < 0.2:
            load_options["max_int_digits"] = rng.choice([640, 700, None])
        check(report, "load_bytes", (rng.choice(WRAPPERS)(data),), load_options)
        # The same bytes as one record of a log, at an offset.
        log = rng.choice([b"", SEEDS[0]]) + data + rng.choice([b"", SEEDS[1], b"<o"])
        at = rng.choice([0, len(log) - len(data), rng.randrange(len(log) + 2)])
        record_options = {k: v for k, v in load_options.items() if k != "ignore_extra_data"}
        check(report, "load_record", (rng.choice(WRAPPERS)(log), at), record_options)
        check(report, "skip_record", (log, at), {})
        stop = rng.choice([(), (None,), (rng.randrange(len(log) + 2),)])
        check(report, "encoding_stats", (rng.choice(WRAPPERS)(log), at, *stop), {})
        for _ in range(2):
            path = random_path(rng, decoded)
            lazy_options = dict(load_options)
            lazy_options.pop("use_tuples", None)
            lazy_options.pop("ignore_extra_data", None)
            check(report, "lazy_load_bytes", (data, path), lazy_options)
            lazy_options["include_falsy"] = rng.random() < 0.5
            check(report, "bytes_check_if_contains", (data, path), lazy_options)


def meddle(tree, rng):
    """One change to a dict or list of `tree`, as a writer or converter may make it: a key
    replaced by another (the size kept), added or removed, an item replaced or dropped."""
    found, stack = [], [tree]
    while stack:
        x = stack.pop()
        if type(x) in (dict, list):
            found.append(x)
        if type(x) in (list, tuple):
            stack.extend(x)
        elif type(x) is dict:
            stack.extend(x.values())
    if not found:
        return
    x = rng.choice(found)
    op = rng.randrange(4)
    if type(x) is dict:
        if not x or op == 0:
            x[rng.choice(["new", 7, "a"])] = 0
            return
        key = rng.choice(list(x))
        if op == 1:
            del x[key]
        elif op == 2:
            x[key] = "replaced"
        else:
            x[rng.choice(["swapped", 9, key])] = x.pop(key)
    elif not x or op == 0:
        x.append(0)
    elif op == 1:
        x.pop(rng.randrange(len(x)))
    else:
        x[rng.randrange(len(x))] = "replaced"


class Meddler:
    """A writer, and converters, that change the tree at chosen calls."""

    def __init__(self, tree, seed, at):
        self.tree, self.rng, self.at, self.calls, self.chunks = tree, random.Random(seed), at, 0, []

    def call(self):
        self.calls += 1
        if self.calls in self.at:
            meddle(self.tree, self.rng)

    def write(self, chunk):
        self.chunks.append(bytes(chunk))
        self.call()

    def hooked(self, convert):
        def converter(obj):
            self.call()
            return convert(obj)

        return converter

    def custom_types(self, registrations):
        return {cls: CustomType(t.identifier, self.hooked(t.converter), t.include_subclasses, t.one_way)
                for cls, t in registrations.items()}


def meddling_round(rng, report):
    """Both codecs meet the same changes at the same calls the same way."""
    tree = random_tree(rng)
    registrations = rng.choice(DUMP_TYPES)
    writer = registrations is None or rng.random() < 0.6
    flush, direct = rng.choice(THRESHOLDS)
    seed, at = rng.getrandbits(32), set(rng.sample(range(1, 40), rng.randrange(1, 4)))
    results = []
    for module in (ext, pure):
        meddler = Meddler(copy.deepcopy(tree), seed, at)
        options = {"custom_types": meddler.custom_types(registrations)} if registrations else {}
        if writer:
            options.update(writer=meddler, flush_threshold=flush, direct_write_threshold=direct)
        results.append((outcome(module.dump_bytes, meddler.tree, **options), meddler.chunks))
    (a, chunks_a), (b, chunks_b) = results
    if not agree(a, b) or chunks_a != chunks_b:
        report("dump_bytes (meddling)", (tree,), {"seed": seed, "at": at, "writer": writer}, a, b)


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def weird_index(value):
    step = Idx(0)
    step.index = value
    return step


ARGUMENTS = [b"<o>\x04", bytearray(b"<o>\x10\x01\x02\xfea\x1f"), "<o>\x04", memoryview(b"<o>\x04"), None,
             memoryview(b"<o>\x04\x04")[::2], array.array("i", [1]), b"x<o>\x1f",
             [], ["a"], [Idx(0)], ("a",), [Idx(-1)], [Idx(2**64)], [weird_index("1")], [weird_index(True)],
             0, 1.5, -1, 2**64, True, 640, 639, {}, {"pt": Point}, {"pt": 1}, {Point: CustomType("p", str)},
             {int: {}}, Falsy(), Chunks()]
NAMES = {
    "dump_bytes": ["obj", "allow_non_string_keys", "serialize_dates", "writer", "flush_threshold",
                   "direct_write_threshold", "custom_types", "max_int_digits", "fast", "\udc80"],
    "load_bytes": ["buffer", "use_tuples", "stop_gc", "ignore_extra_data", "custom_types",
                   "max_free_elements", "max_int_digits", "tuples"],
    "lazy_load_bytes": ["buffer", "path_to_load", "include_falsy", "custom_types",
                        "max_free_elements", "max_int_digits", "path"],
    "bytes_check_if_contains": ["buffer", "path_to_load", "include_falsy", "custom_types",
                                "max_free_elements", "max_int_digits", "x\x00"],
    "load_record": ["use_tuples", "stop_gc", "custom_types", "max_free_elements", "max_int_digits",
                    "ignore_extra_data", "buffer"],
    "skip_record": ["buffer"],
    "encoding_stats": ["buffer", "stop"],
}


def argument_round(rng, report):
    """Any mix of arguments: the same error, or the same result, from both."""
    name = rng.choice(sorted(NAMES))
    args = tuple(rng.choice(ARGUMENTS) for _ in range(rng.choice([0, 1, 1, 2, 2, 3])))
    kwargs = {key: rng.choice(ARGUMENTS) for key in rng.sample(NAMES[name], min(len(NAMES[name]), rng.randrange(3)))}
    check(report, name, args, kwargs)


def walked(fn, *args, **kwargs):
    """`outcome` of a pure lazy read with the extension walking its path."""
    # Our inputs are short: the bounded walk tried first gets as few bytes, so that both it
    # and the extension's walk meet targets.
    bounds = navigation._PROBED, navigation._WALKED_HERE
    navigation._PROBED, navigation._WALKED_HERE = 24, 24
    locate.LOCATOR = WALKER
    try:
        return outcome(fn, *args, **kwargs)
    finally:
        locate.LOCATOR = None
        navigation._PROBED, navigation._WALKED_HERE = bounds


def check(report, name, args, options):
    a = outcome(getattr(ext, name), *args, **options)
    b = outcome(getattr(pure, name), *args, **options)
    if not agree(a, b):
        report(name, args, options, a, b)
    if name in LAZY and WALKER is not None:
        c = walked(getattr(pure, name), *args, **options)
        if not agree(a, c):
            report(name + " (path walked by the extension)", args, options, a, c)


def run(seed, rounds=None, seconds=None):
    """Rounds until the count or the time is up; the first disagreement fails with all it
    takes to replay it."""
    rng = random.Random(seed)
    failures = []
    alone, locate.LOCATOR = locate.LOCATOR, None

    def report(name, what, options, a, b):
        def short(x):
            text = repr(x)
            return text if len(text) < 3000 else text[:1500] + " ... " + text[-1500:]

        failures.append(f"seed {seed}: {name}{short(what)} {options!r}\n"
                        f"  extension: {short(a)}\n  python:    {short(b)}")

    start = time.monotonic()
    done = 0
    try:
        while (rounds is None or done < rounds) and (seconds is None or time.monotonic() - start < seconds):
            one_round(rng, report)
            argument_round(rng, report)
            meddling_round(rng, report)
            done += 1
            if failures:
                raise AssertionError(failures[0])
    finally:
        locate.LOCATOR = alone
    return done


def test_backends_agree():
    run(SEED, rounds=ROUNDS)


class Touchy:
    """Equal to "x" by hash; its `__eq__` raises once armed."""

    armed = False

    def __eq__(self, other):
        if Touchy.armed:
            raise ValueError("touchy")
        return self is other

    def __hash__(self):
        return hash("x")


def replacing_later_value(tree):
    def convert(point):
        tree[2] = "replaced"
        return point.x

    return {Point: CustomType("p", convert)}


class Regrowing:
    """A writer that gives a dict a key at its `grow`-th write and takes it back after."""

    def __init__(self, tree, grow):
        self.tree, self.grow, self.calls = tree, grow, 0

    def write(self, chunk):
        self.calls += 1
        if self.calls == self.grow:
            self.tree[2] = "new"
        elif self.calls == self.grow + 1:
            del self.tree[2]


def regrowing(grow):
    tree = {1: "x" * 30}
    return (tree,), {"writer": Regrowing(tree, grow), "flush_threshold": 0}


CUSTOM_X = ext.dump_bytes([Point(1), Point(2)], custom_types={Point: CustomType("x", lambda p: p.x)})
TOUCHY = Touchy()


# Where Python code runs in the middle of a call: each backend must end the same way.
@pytest.mark.parametrize(
    "name, make_args",
    [
        # A raising `__eq__` of one candidate identifier does not end the look-up.
        ("load_bytes", lambda: ((CUSTOM_X,), {"custom_types": {TOUCHY: boom, "x": repr}})),
        ("load_bytes", lambda: ((CUSTOM_X,), {"custom_types": {"x": repr, TOUCHY: boom}})),
        ("lazy_load_bytes", lambda: ((CUSTOM_X, [Idx(1)]), {"custom_types": {TOUCHY: boom, "x": repr}})),
        ("load_bytes", lambda: ((CUSTOM_X,), {"custom_types": {TOUCHY: boom}})),
        # A converter that replaces a later value of a dict with keys of any type.
        ("dump_bytes", lambda: (lambda tree: ((tree,), {"custom_types": replacing_later_value(tree)}))(
            {1: Point(0), 2: "before", "k": [Point(1)]})),
        # A writer that changes a dict's size at its header and back during its first entry.
        ("dump_bytes", lambda: regrowing(3)),
    ],
)
def test_backends_agree_where_python_code_runs(name, make_args, monkeypatch):
    monkeypatch.setattr(locate, "LOCATOR", None)
    outcomes = []
    for how in ("extension", "pure", "walked") if name in LAZY and WALKER else ("extension", "pure"):
        args, kwargs = make_args()
        function = getattr(ext if how == "extension" else pure, name)
        monkeypatch.setattr(Touchy, "armed", True)
        outcomes.append(walked(function, *args, **kwargs) if how == "walked" else outcome(function, *args, **kwargs))
        monkeypatch.setattr(Touchy, "armed", False)
    assert all(agree(outcomes[0], other) for other in outcomes[1:]), outcomes


@pytest.mark.skipif(not hasattr(gc, "callbacks"), reason="needs the collector's callbacks")
def test_collector_changing_a_dict_during_a_plain_walk():
    tree = {f"k{i}": [i, {"x": "v" * i}] for i in range(300)}
    collections = []

    def meddle(phase, info):
        collections.append(phase)
        if len(collections) == 40:
            tree["new"] = 0

    pure.dump_bytes(tree)  # imports and caches out of the way
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    gc.callbacks.append(meddle)
    try:
        result = outcome(pure.dump_bytes, tree)
    finally:
        gc.callbacks.remove(meddle)
        gc.set_threshold(*threshold)
    assert result[0] == "ok" or result[1:3] == (vezuvir.SerializationError, "dict changed during serialization")


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=random.randrange(2**32))
    arguments = parser.parse_args()
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 2000))
    print(f"seed {arguments.seed}: {run(arguments.seed, seconds=arguments.seconds)} rounds agree")
