"""Writes the seed corpora under fuzz/corpus/: encodings of trimmed bench documents and of the
edge values the tests use, behind each target's header. Rerun after a format change:
    PYTHONPATH=build-dev:python python fuzz/make_corpus.py [bench-data-dir]

The seeds depend on the exact document set (bench/documents.py): without it the corpus would
differ from the committed one, so the script refuses to run.
"""

import datetime
import hashlib
import json
import os
import random
import sys
from decimal import Decimal
from pathlib import Path

FUZZ_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, FUZZ_DIR)
sys.path.insert(0, os.path.join(os.path.dirname(FUZZ_DIR), "bench"))

import documents  # noqa: E402  (bench/documents.py)
from vezuvir import CustomType, dump_bytes  # noqa: E402

HERE = Path(__file__).resolve().parent
# The keys the path header can name (common.KEYS, without importing atheris here).
KEYS = ["a", "b", "id", "name", "type", "", "é", 0, 1, -7, 2.5, None, True, "key", "url", "data"]


def trim(value, depth=0):
    """Keeps the shape of a document in a few hundred bytes."""
    if isinstance(value, list):
        return [trim(v, depth + 1) for v in value[:3]]
    if isinstance(value, dict):
        return {k: trim(v, depth + 1) for k, v in list(value.items())[:6]}
    if isinstance(value, str):
        return value[:24]
    return value


def rekey(value):
    """Renames dict keys into the path vocabulary so that fuzzed paths can reach them."""
    if isinstance(value, list):
        return [rekey(v) for v in value]
    if isinstance(value, dict):
        out = {}
        for i, (k, v) in enumerate(value.items()):
            out[KEYS[(i + len(str(k))) % len(KEYS)]] = rekey(v)
        return out
    return value


def edge_values():
    return [
        None, True, 0, -1, 224, 225, 2**63, -(2**70), 10**40, 1.5, float("nan"), -0.0, "", "é",
        "😀" * 3, b"\x00\xff", [], {}, [None] * 9, [True, False] * 5, [1.5, 2.5], ["a", "b", "a"],
        [b"x", b"y"], [{}, {}, {}], [{"a": 1, "b": None}, {"a": 2, "b": "x"}],
        {1: "a", 2.5: [None], None: {}, True: b"", "a": [[[]]]}, [[1, [2, [3, [4]]]]],
        ("t", (1,)), {"a": "x" * 300, "b": ["x" * 300]},
    ]


def seeds(bench):
    edges = {"data": edge_values()}
    yield edges, dump_bytes(edges)
    for value in edges["data"]:
        yield value, dump_bytes(value)
    yield None, dump_bytes([Decimal("1.5"), {"a": Decimal(2)}],
                               custom_types={Decimal: CustomType("dec", str)})
    yield None, dump_bytes({"at": datetime.datetime(2024, 1, 2, 3, 4, 5)}, serialize_dates=True)
    for doc in sorted(bench.glob("*.json")):
        with open(doc, encoding="utf-8") as f:
            value = rekey(trim(json.load(f)))
        yield value, dump_bytes(value)


def path_header(value, rng):
    """A path of up to three steps that exists in `value`, in the targets' header layout."""
    steps = []
    while len(steps) < 6 and rng.random() < 0.8:
        if isinstance(value, dict) and value:
            key = rng.choice(list(value))
            index = [i for i, k in enumerate(KEYS) if type(k) is type(key) and k == key]
            if not index:
                break
            steps += [0, index[0]]
            value = value[key]
        elif isinstance(value, list) and 0 < len(value) <= 256:
            i = rng.randrange(len(value))
            steps += [1, i]
            value = value[i]
        else:
            break
    return bytes([rng.randrange(8), len(steps) // 2] + steps)


def write(target, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def main():
    default = os.environ.get("VEZUVIR_BENCH_DATA") or HERE.parent.parent / "shared" / "bench-data"
    bench = Path(sys.argv[1] if len(sys.argv) > 1 else default)
    problems = documents.problems(bench)
    if problems:
        sys.exit(
            f"fuzz/make_corpus.py: {bench} does not hold the document set, so the seeds would "
            "not be the committed ones:\n  " + "\n  ".join(problems) + "\n"
            + documents.where_to_get(bench)
        )
    rng = random.Random(1)
    for value, encoded in seeds(bench):
        write("load_bytes", bytes([rng.randrange(8)]) + encoded)
        for target in ("lazy_load_bytes", "bytes_check_if_contains"):
            write(target, path_header(value, rng) + encoded)
    for _ in range(8):
        write("round_trip", bytes(rng.randrange(256) for _ in range(rng.randrange(8, 200))))
    # Record logs: a few encodings one after another, some cut short inside the last one.
    encodings = [encoded for _, encoded in seeds()]
    logs = random.Random(2)
    for k in range(0, len(encodings), 3):
        log = b"".join(encodings[k : k + 3])
        if logs.random() < 0.3:
            log = log[: logs.randrange(1, len(log))]
        write("records", bytes([logs.randrange(8)]) + log)


if __name__ == "__main__":
    main()
