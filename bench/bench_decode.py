"""Decode speed of `load_bytes` against other serializers, on the real-world documents.

Each document is parsed with `json`, encoded once by every library, then decoded
repeatedly. Decoders run interleaved (one batch each per round, in a rotating order) so
that drift in machine load hits them alike; the table gives the median time per decode
and, for each peer, its time divided by ours (above 1: we are faster).

    PYTHONPATH=build-dev:python python3 bench/bench_decode.py [--rounds 15] [--only twitter]

Peers that are not installed are left out (`pip install msgspec ormsgpack msgpack orjson`).
"""

import argparse
import gc
import importlib
import json
import math
import pickle
import statistics
import time
from pathlib import Path

from vezuvir import dump_bytes, load_bytes

BENCH_DATA = Path(__file__).resolve().parents[2] / "shared" / "bench-data"


def peers():
    """(name, encode, decode) of every installed library, ours first."""
    found = [("vezuvir", dump_bytes, load_bytes)]

    def add(name, module, build):
        try:
            found.append((name, *build(importlib.import_module(module))))
        except ImportError:
            pass

    add("msgspec", "msgspec", lambda m: (m.msgpack.encode, m.msgpack.decode))
    add("ormsgpack", "ormsgpack", lambda m: (m.packb, m.unpackb))
    add("msgpack", "msgpack", lambda m: (m.packb, m.unpackb))
    add("orjson", "orjson", lambda m: (m.dumps, m.loads))
    found.append(("pickle", lambda v: pickle.dumps(v, protocol=pickle.HIGHEST_PROTOCOL), pickle.loads))
    return found


def batch_size(decode, data, min_seconds):
    """Decodes per sample so that one sample lasts at least `min_seconds`."""
    start = time.perf_counter_ns()
    decode(data)
    once = max(time.perf_counter_ns() - start, 1)
    return max(1, math.ceil(min_seconds * 1e9 / once))


def measure(doc, libraries, rounds, min_seconds):
    """Median nanoseconds per decode of `doc` for each library."""
    value = json.loads(doc.read_text(encoding="utf-8"))
    cases = []
    for name, encode, decode in libraries:
        data = encode(value)
        if decode(data) != value:
            raise AssertionError(f"{name} does not round-trip {doc.name}")
        cases.append((name, decode, data, batch_size(decode, data, min_seconds)))
    samples = {name: [] for name, *_ in cases}
    for r in range(rounds):
        for name, decode, data, n in cases[r % len(cases) :] + cases[: r % len(cases)]:
            # Same collector state for everyone: full collections triggered by garbage
            # another decoder left behind would otherwise land on whoever runs next.
            gc.collect()
            start = time.perf_counter_ns()
            for _ in range(n):
                decode(data)
            samples[name].append((time.perf_counter_ns() - start) / n)
    return {name: statistics.median(times) for name, times in samples.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--min-ms", type=float, default=5.0, help="minimum length of one sample")
    parser.add_argument("--only", default="", help="only documents whose name contains this")
    args = parser.parse_args()

    libraries = peers()
    names = [name for name, *_ in libraries]
    docs = [p for p in sorted(BENCH_DATA.glob("*.json")) if args.only in p.name]
    print("| document | KiB | " + " | ".join(f"{n} µs" for n in names) + " |")
    print("|---|---:|" + "---:|" * len(names))
    ratios = {name: [] for name in names[1:]}
    for doc in docs:
        medians = measure(doc, libraries, args.rounds, args.min_ms / 1000)
        ours = medians["vezuvir"]
        cells = [f"{ours / 1000:.1f}"]
        for name in names[1:]:
            ratio = medians[name] / ours
            ratios[name].append(ratio)
            cells.append(f"{medians[name] / 1000:.1f} ({ratio:.2f}x)")
        print(f"| {doc.name} | {doc.stat().st_size // 1024} | " + " | ".join(cells) + " |", flush=True)
    geo = [f"{math.exp(statistics.fmean(map(math.log, r))):.2f}x" for r in ratios.values()]
    print("| geometric mean of ratios | | | " + " | ".join(geo) + " |")


if __name__ == "__main__":
    main()
