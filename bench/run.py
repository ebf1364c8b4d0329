"""Speed and size of vezuvir beside other Python serializers, in one run.

For every real-world document in the bench-data folder and a few generated shapes, each
library encodes and decodes the same value; vezuvir's lazy reads, `load_bytes(stop_gc=True)`
and streaming to a writer are measured too. Libraries run interleaved (one sample each per
round, in a rotating order) so that drift in machine load hits them alike. Tables give the
median time per call with the min/max spread, and ratios against the reference peer
(msgspec.msgpack when installed): below 1 is faster than it.

    pip install ".[bench]"
    python bench/run.py                 # everything, Markdown to stdout
    python bench/run.py --write         # also bench/RESULTS.md and bench/results.svg
    python bench/run.py --quick --only twitter

Peers that are not installed are left out; so is a peer that cannot encode a document
(orjson and `bytes`, for example): its cell reads n/a.

Without the documents (a plain clone) it says where to get them and measures the bundled
sample instead; it never writes the committed RESULTS.md or chart from anything but a full run
over the whole document set.
"""

import argparse
import copy
import datetime
import functools
import gc
import importlib
import importlib.metadata
import json
import marshal
import math
import os
import pickle
import platform
import random
import re
import statistics
import sys
import time
from pathlib import Path

from vezuvir import Idx, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
from vezuvir.exceptions import DeserializationError

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import documents as document_set  # noqa: E402  (bench/documents.py, beside this script)

BENCH_DATA = Path(os.environ.get("VEZUVIR_BENCH_DATA") or HERE.parents[1] / "shared" / "bench-data")
SAMPLES = HERE.parent / "samples"
OURS = "vezuvir"
MISSING = "\x00missing key\x00"


# --- libraries ------------------------------------------------------------------------------


# Oldest release of each peer whose figures count: the targets are met against current
# releases, so a run with an older one says so and marks no target met against it. The bench
# extra in pyproject.toml asks for the same floors.
PEER_FLOORS = {"msgspec": "0.19", "ormsgpack": "1.10", "msgpack": "1.1", "orjson": "3.11"}


def version_tuple(text):
    """(3, 11, 0) from "3.11.0" or "3.11.0rc1": the leading numbers of each dotted part."""
    parts = []
    for part in text.split("."):
        digits = re.match(r"\d*", part).group(0)
        if not digits:
            break
        parts.append(int(digits))
    return tuple(parts)


class Codec:
    def __init__(self, name, encode, decode, version="", floor=None):
        self.name, self.encode, self.decode, self.version = name, encode, decode, version
        self.floor = floor
        # An unknown version counts as old: nothing shows that the floor is met.
        self.stale = floor is not None and version_tuple(version) < version_tuple(floor)

    def label(self):
        text = f"{self.name} {self.version}".strip()
        if self.stale:
            text += f" (**older than {self.floor}**: targets against it are not marked met)"
        return text


PYPY = platform.python_implementation() == "PyPy"
# On PyPy, our extension beside the pure-Python codec that the package uses there.
EXTENSION = "vezuvir (extension)"


def codecs():
    """Every installed library, ours first; the reference peer is msgspec.msgpack if present."""
    import vezuvir

    found = [Codec(OURS, dump_bytes, load_bytes, f"{vezuvir.__version__} ({vezuvir.backend})")]
    if vezuvir.backend == "python":
        try:
            import _vezuvir
        except ImportError:
            print(f"notice: {EXTENSION} cannot be imported here; left out", file=sys.stderr)
        else:
            found.append(Codec(EXTENSION, _vezuvir.dump_bytes, _vezuvir.load_bytes, vezuvir.__version__))

    def add(name, module, build):
        try:
            mod = importlib.import_module(module)
        except ImportError:
            # Several peers ship only compiled wheels for CPython (see the bench extra).
            print(f"notice: {name} is not installed here; left out", file=sys.stderr)
            return
        try:
            version = importlib.metadata.version(module)
        except importlib.metadata.PackageNotFoundError:
            version = ""
        found.append(Codec(name, *build(mod), version, PEER_FLOORS.get(module)))

    add("msgspec.msgpack", "msgspec", lambda m: (m.msgpack.encode, m.msgpack.decode))
    add("ormsgpack", "ormsgpack", lambda m: (m.packb, m.unpackb))
    add("msgpack", "msgpack", lambda m: (m.packb, m.unpackb))
    add("orjson", "orjson", lambda m: (m.dumps, m.loads))
    add("cbor2", "cbor2", lambda m: (m.dumps, m.loads))
    found.append(Codec("pickle", functools.partial(pickle.dumps, protocol=5), pickle.loads))
    found.append(Codec("marshal", marshal.dumps, marshal.loads))
    if PYPY:
        # PyPy's own json is written for its JIT: the peer to beat there.
        found.append(Codec("json", json.dumps, json.loads))
    return found


def reference_name(names):
    for name in ("msgspec.msgpack", EXTENSION):
        if name in names:
            return name
    return names[1 if len(names) > 1 else 0]


# --- documents ------------------------------------------------------------------------------


def generated(scale=1.0):
    """(name, value) of shapes our format is built for; `scale` shrinks them for smoke runs."""
    rng = random.Random(5)

    def n(count):
        return max(2, int(count * scale))

    words = [f"{w}-{i}" for i, w in enumerate("alpha beta gamma delta kappa sigma omega".split() * 5)]
    records = [
        {
            "id": i,
            "name": f"user{i}",
            "email": f"user{i}@example.org",
            "active": i % 3 != 0,
            "score": rng.random() * 100,
            "group": rng.choice(words),
            "tags": [rng.choice(words) for _ in range(3)],
        }
        for i in range(n(10000))
    ]
    repeated = [
        {"type": rng.choice(words[:6]), "status": rng.choice(words[6:12]), "path": rng.choice(words)}
        for _ in range(n(5000))
    ] + [rng.choice(words) for _ in range(n(20000))]

    def chain(depth):
        node = {"leaf": depth}
        for d in range(depth):
            node = {"level": d, "child": node} if d % 2 else [d, node]
        return node

    deep = [chain(100) for _ in range(n(200))]
    numbers = {
        "small": [rng.randrange(-1000, 1000) for _ in range(n(30000))],
        "large": [rng.randrange(-(2**62), 2**62) for _ in range(n(30000))],
        "floats": [rng.uniform(-1e6, 1e6) for _ in range(n(40000))],
    }
    blobs = [{"name": f"file{i}", "data": rng.randbytes(n(20000))} for i in range(n(200))]
    booleans = [rng.random() < 0.5 for _ in range(n(100000))]
    return [
        ("records", records),
        ("repeated_strings", repeated),
        ("deep", deep),
        ("number_heavy", numbers),
        ("large_bytes", blobs),
        ("booleans", booleans),
    ]


def documents(data_dir, scale, only):
    """(name, value, JSON bytes) triples, read one at a time so that only one document is in
    memory; the size is that of the data folder's file, None for a generated shape."""
    for path in sorted(data_dir.glob("*.json")):
        if only in path.stem:
            yield path.stem, json.loads(path.read_text(encoding="utf-8")), path.stat().st_size
    for name, value in generated(scale):
        if only in name:
            yield name, value, None


# --- timing ---------------------------------------------------------------------------------


class Stats:
    """Median, min and max nanoseconds per call over the samples of one case."""

    def __init__(self, samples):
        self.median = statistics.median(samples)
        self.low, self.high = min(samples), max(samples)

    def spread(self):
        """Half the min-max range, as a fraction of the median."""
        return (self.high - self.low) / 2 / self.median if self.median else 0.0


# Wall time by default; `--cpu-time` counts only this process's CPU time, which other
# processes on a busy machine do not inflate while they hold the cores.
clock = time.perf_counter_ns


def calls_per_sample(fn, args, min_ns):
    """Calls per sample so that one sample lasts at least `min_ns` (one call at least)."""
    start = clock()
    fn(*args)
    once = max(clock() - start, 1)
    return max(1, math.ceil(min_ns / once))


# PyPy compiles code once it has run a while: timed before that, a case would be measured in
# its interpreter. There every case runs at least this long before it is sampled, and on
# while its calls keep getting faster (a document of many shapes keeps the compiler busy
# for seconds), up to WARM_UP_LIMIT.
WARM_UP_SECONDS = 1.0 if PYPY else 0.0
WARM_UP_LIMIT = 6.0


def warm_up(fn, args):
    start = time.perf_counter()
    best, stale = math.inf, 0
    # Done once three stretches in a row are no faster than the best one before them.
    while stale < 3:
        calls, stretch = 0, time.perf_counter()
        while time.perf_counter() - stretch < WARM_UP_SECONDS / 4:
            fn(*args)
            calls += 1
        now = time.perf_counter()
        if now - start >= WARM_UP_LIMIT:
            return
        per_call = (now - stretch) / calls
        if per_call < 0.95 * best:
            best, stale = per_call, 0
        elif now - start >= WARM_UP_SECONDS:
            stale += 1


def interleaved(cases, rounds, min_ns):
    """{key: Stats} for `cases` = {key: (fn, args)}, sampled round-robin in rotating order.

    The collector stays in its default state but is emptied before each sample, so that a
    full collection triggered by one case's garbage does not land on the next case."""
    if WARM_UP_SECONDS:
        for fn, args in cases.values():
            warm_up(fn, args)
    plan = [(key, fn, args, calls_per_sample(fn, args, min_ns)) for key, (fn, args) in cases.items()]
    samples = {key: [] for key in cases}
    for r in range(rounds):
        shift = r % len(plan)
        for key, fn, args, calls in plan[shift:] + plan[:shift]:
            gc.collect()
            start = clock()
            for _ in range(calls):
                fn(*args)
            samples[key].append((clock() - start) / calls)
    return {key: Stats(s) for key, s in samples.items()}


# --- lazy paths -----------------------------------------------------------------------------


def leaves(value, path=()):
    """Paths to every scalar (and empty container) in encoding order."""
    if isinstance(value, dict) and value:
        for key, item in value.items():
            yield from leaves(item, path + (key,))
    elif isinstance(value, list) and value:
        for i, item in enumerate(value):
            yield from leaves(item, path + (Idx(i),))
    else:
        yield path


def last_dict_path(value, path=()):
    """Path to the last dict in encoding order, or None."""
    found = None
    if isinstance(value, dict):
        found = path
        items = value.items()
    elif isinstance(value, list):
        items = ((Idx(i), item) for i, item in enumerate(value))
    else:
        return None
    for key, item in items:
        if isinstance(item, (dict, list)):
            deeper = last_dict_path(item, path + (key,))
            found = deeper if deeper is not None else found
    return found


def follow(value, path):
    for step in path:
        value = value[step.index if isinstance(step, Idx) else step]
    return value


def lazy_paths(value):
    """{read: path} for the first, middle and last leaf and a key that is missing."""
    count = sum(1 for _ in leaves(value))
    wanted = {"start": 0, "middle": count // 2, "end": count - 1}
    at = {}
    for i, path in enumerate(leaves(value)):
        if i in wanted.values():
            at[i] = list(path)
    paths = {read: at[i] for read, i in wanted.items()}
    where = last_dict_path(value)
    if where is not None:
        paths["missing"] = list(where) + [MISSING]
    else:
        paths["missing"] = [Idx(len(value))] if isinstance(value, list) else [MISSING]
    return paths


def missing_read(data, path):
    try:
        lazy_load_bytes(data, path)
    except DeserializationError:
        return None
    raise AssertionError("the missing key was found")


# --- one document ---------------------------------------------------------------------------


def measure(name, value, libs, rounds, min_ns):
    """Times, sizes and lazy figures of one document; checks every round trip first."""
    # On PyPy the extension works on a copy of its own: PyPy's C-API emulation converts
    # what it is handed (a list's storage becomes an array of C objects), and every
    # Python-level reader of the same objects would be slower afterwards.
    inputs = {lib.name: copy.deepcopy(value) if PYPY and lib.name == EXTENSION else value for lib in libs}
    encoded, skipped = {}, []
    for lib in libs:
        try:
            data = lib.encode(inputs[lib.name])
            ok = lib.decode(data) == value
        except (TypeError, ValueError, OverflowError):
            ok = False
        if ok:
            encoded[lib.name] = data
        elif lib.name == OURS:
            raise AssertionError(f"{OURS} does not round-trip {name}")
        else:
            skipped.append(lib.name)
    by_name = {lib.name: lib for lib in libs if lib.name in encoded}
    ours = encoded[OURS]

    encode = interleaved({n: (lib.encode, (inputs[n],)) for n, lib in by_name.items()}, rounds, min_ns)
    decode_cases = {n: (lib.decode, (encoded[n],)) for n, lib in by_name.items()}
    decode_cases["stop_gc"] = (functools.partial(load_bytes, stop_gc=True), (ours,))
    decode = interleaved(decode_cases, rounds, min_ns)

    paths = lazy_paths(value)
    for read in ("start", "middle", "end"):
        if lazy_load_bytes(ours, paths[read]) != follow(value, paths[read]):
            raise AssertionError(f"lazy read of {paths[read]} in {name} is wrong")
    if not bytes_check_if_contains(ours, paths["end"]):
        raise AssertionError(f"bytes_check_if_contains misses {paths['end']} in {name}")
    lazy_cases = {read: (lazy_load_bytes, (ours, paths[read])) for read in ("start", "middle", "end")}
    lazy_cases["missing"] = (missing_read, (ours, paths["missing"]))
    lazy_cases["contains"] = (bytes_check_if_contains, (ours, paths["end"]))
    lazy = interleaved(lazy_cases, rounds, min_ns)
    return {
        "name": name,
        "encode": encode,
        "decode": decode,
        "sizes": {n: len(d) for n, d in encoded.items()},
        "lazy": lazy,
        "skipped": skipped,
    }


# --- streaming ------------------------------------------------------------------------------


class CountingWriter:
    """Keeps only the number of bytes written, like a file would, minus the disk."""

    def __init__(self):
        self.written = 0

    def write(self, chunk):
        self.written += len(chunk)


def streaming(megabytes, rounds):
    """Peak traced memory (None where tracemalloc is missing, as on PyPy) and time of
    dump_bytes into bytes and into a writer."""
    try:
        import tracemalloc
    except ImportError:
        tracemalloc = None
    blob = random.Random(7).randbytes(48 * 1024)
    numbers = list(range(200))
    count = max(1, int(megabytes * 1024 * 1024 / (len(blob) + 500)))
    doc = [{"id": i, "blob": blob, "numbers": numbers, "name": f"row{i}"} for i in range(count)]

    def to_writer():
        writer = CountingWriter()
        dump_bytes(doc, writer=writer)
        return writer.written

    size = len(dump_bytes(doc))
    if to_writer() != size:
        raise AssertionError("the writer received a different number of bytes")
    peaks = {"bytes": None, "writer": None}
    for label, fn in (("bytes", lambda: dump_bytes(doc)), ("writer", to_writer)):
        if tracemalloc is None:
            break
        gc.collect()
        tracemalloc.start()
        try:
            fn()
            peaks[label] = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    # What any call that returns a new object this large pays: fresh pages mapped and zeroed.
    fresh = (bytearray, (size,))
    times = interleaved({"bytes": (dump_bytes, (doc,)), "writer": (to_writer, ()), "fresh": fresh}, rounds, 0)
    return {"size": size, "peaks": peaks, "times": times}


# --- output ---------------------------------------------------------------------------------


def cell_us(stats):
    return f"{stats.median / 1000:.1f} ±{stats.spread() * 100:.0f}%" if stats else "n/a"


def geomean(values):
    values = [v for v in values if v]
    return math.exp(statistics.fmean(map(math.log, values))) if values else None


def time_tables(results, key, names, ref):
    lines = [f"### {key}: median µs per call (± half the min-max spread)", ""]
    lines += ["| document | " + " | ".join(names) + " |", "|---|" + "---:|" * len(names)]
    for r in results:
        lines.append(f"| {r['name']} | " + " | ".join(cell_us(r[key].get(n)) for n in names) + " |")
    lines += ["", f"### {key}: time / {ref} time (below 1 is faster)", ""]
    lines += ["| document | " + " | ".join(names) + " |", "|---|" + "---:|" * len(names)]
    columns = {n: [] for n in names}
    for r in results:
        row = []
        for n in names:
            ratio = r[key][n].median / r[key][ref].median if n in r[key] and ref in r[key] else None
            columns[n].append(ratio)
            row.append(f"{ratio:.2f}" if ratio else "n/a")
        lines.append(f"| {r['name']} | " + " | ".join(row) + " |")
    means = [geomean(columns[n]) for n in names]
    lines.append("| geometric mean | " + " | ".join(f"{m:.2f}" if m else "n/a" for m in means) + " |")
    return lines + [""]


def size_table(results, names):
    lines = ["### Encoded size, KiB (vezuvir / msgpack in the last column)", ""]
    lines += ["| document | " + " | ".join(names) + " | ratio |", "|---|" + "---:|" * (len(names) + 1)]
    for r in results:
        sizes = r["sizes"]
        cells = [f"{sizes[n] / 1024:.1f}" if n in sizes else "n/a" for n in names]
        base = sizes.get("msgpack")
        cells.append(f"{sizes[OURS] / base:.2f}" if base else "n/a")
        lines.append(f"| {r['name']} | " + " | ".join(cells) + " |")
    return lines + [""]


def lazy_table(results):
    reads = ["start", "middle", "end", "missing", "contains"]
    lines = ["### Lazy reads: median µs per call, and the end read / full `load_bytes`", ""]
    lines += [
        "| document | load_bytes | stop_gc=True | " + " | ".join(reads) + " | end / load |",
        "|---|" + "---:|" * (len(reads) + 3),
    ]
    for r in results:
        full = r["decode"][OURS]
        cells = [cell_us(full), cell_us(r["decode"]["stop_gc"])]
        cells += [cell_us(r["lazy"][read]) for read in reads]
        cells.append(f"{r['lazy']['end'].median / full.median:.3f}")
        lines.append(f"| {r['name']} | " + " | ".join(cells) + " |")
    return lines + [""]


def stream_table(stream, flush_threshold=10485760):
    t, p = stream["times"], stream["peaks"]
    mib = 1024 * 1024
    rate = {k: stream["size"] / mib / (t[k].median / 1e9) for k in t}
    peak = {k: "n/a" if v is None else f"{v / mib:.1f}" for k, v in p.items()}
    return [
        f"### Streaming: a {stream['size'] / mib:.0f} MiB encoding (default `flush_threshold` "
        f"{flush_threshold / mib:.0f} MiB)",
        "",
        "| into | peak traced memory, MiB | median ms | MiB/s |",
        "|---|---:|---:|---:|",
        f"| bytes | {peak['bytes']} | {t['bytes'].median / 1e6:.1f} | {rate['bytes']:.0f} |",
        f"| writer | {peak['writer']} | {t['writer'].median / 1e6:.1f} | {rate['writer']:.0f} |",
        "",
        f"Writer throughput / bytes throughput: {rate['writer'] / rate['bytes']:.2f}. For scale, "
        f"`bytearray({stream['size']})`, fresh memory of the encoding's size that any call returning "
        f"a new object of it must map and zero, takes {t['fresh'].median / 1e6:.1f} ms.",
        "",
    ]


def worst(results, key, peer, real_only=True):
    """(largest ours/peer time ratio, its document) over the documents `peer` handled."""
    pairs = [
        (r[key][OURS].median / r[key][peer].median, r["name"])
        for r in results
        if peer in r[key] and (r["real"] or not real_only)
    ]
    return max(pairs) if pairs else None


def target_table(results, stream, stale=()):
    """Each goal of the project against this run: the worst case and whether it holds. A goal
    measured against a peer in `stale` (older than its floor) is never marked met."""
    rows = []

    def add(goal, found, limit, fmt="{:.2f}", peers=()):
        if found is None:
            rows.append(f"| {goal} | n/a | |")
            return
        value, where = found
        old = [peer for peer in peers if peer in stale]
        if old:
            met = f"not judged: {', '.join(old)} older than its floor"
        else:
            met = "yes" if value <= limit else "**no**"
        rows.append(f"| {goal} | {fmt.format(value)} ({where}) | {met} |")

    if PYPY:
        # On PyPy the peers that install there, PyPy's own json, and our extension.
        for key, fn in (("encode", "dump_bytes"), ("decode", "load_bytes")):
            for peer, limit in (("json", 1), ("msgpack", 1), (EXTENSION, 0.4)):
                add(f"`{fn}` time / {peer} time, at most {limit:g}", worst(results, key, peer), limit,
                    peers=(peer,))
    else:
        # Against the fastest peers, every document counts, generated shapes included.
        for key, fn in (("encode", "dump_bytes"), ("decode", "load_bytes")):
            for peer in ("msgspec.msgpack", "orjson"):
                add(f"`{fn}` time / {peer} time, every document, below 1",
                    worst(results, key, peer, real_only=False), 0.9999, peers=(peer,))
            for peer in ("msgpack", "pickle"):
                add(f"`{fn}` time / {peer} time, at most 0.5", worst(results, key, peer), 0.5, peers=(peer,))
        # Against the faster of the two peers on each document: the larger of the two ratios.
        for key, fn in (("encode", "dump_bytes"), ("decode", "load_bytes")):
            against_faster = [
                max(r[key][OURS].median / r[key][p].median for p in ("msgspec.msgpack", "orjson")
                    if p in r[key])
                for r in results
                if "msgspec.msgpack" in r[key] or "orjson" in r[key]
            ]
            mean = geomean(against_faster)
            add(f"`{fn}` time / faster of msgspec.msgpack and orjson, geometric mean, at most 0.75",
                (mean, "all") if mean else None, 0.75, peers=("msgspec.msgpack", "orjson"))
        numeric = [r for r in results if r["name"] in ("canada", "number_heavy")]
        add("`load_bytes` time / msgspec.msgpack time on canada, number_heavy, at most 0.9",
            max(((r["decode"][OURS].median / r["decode"]["msgspec.msgpack"].median, r["name"])
                 for r in numeric if "msgspec.msgpack" in r["decode"]), default=None),
            0.9, peers=("msgspec.msgpack",))
    sizes = [(r["sizes"][OURS] / r["sizes"]["msgpack"], r) for r in results if "msgpack" in r["sizes"]]
    real_sizes = [(ratio, r["name"]) for ratio, r in sizes if r["real"]]
    add("size / msgpack size, at most 1", max(real_sizes) if real_sizes else None, 1)
    shaped = [(ratio, r["name"]) for ratio, r in sizes if r["name"] in ("records", "repeated_strings")]
    add("size / msgpack size on records, repeated strings, at most 0.8", max(shaped) if shaped else None, 0.8)
    if results:
        end = max((r["lazy"]["end"].median / r["decode"][OURS].median, r["name"]) for r in results)
        add("lazy read near the end / `load_bytes`, every document, at most 0.1", end, 0.1)
        start = max((r["lazy"]["start"].median / 1000, r["name"]) for r in results)
        add("lazy read near the start, µs, below 5", start, 5, "{:.2f}")
    if stream:
        t = stream["times"]
        add("streaming time / bytes time, at most 1.1", (t["writer"].median / t["bytes"].median, "stream"), 1.1)
        add("bytes time / streaming time, at most 1.3", (t["bytes"].median / t["writer"].median, "stream"), 1.3)
    header = ["### Targets (worst case over the bench-data documents unless named)", ""]
    return header + ["| goal | worst | met |", "|---|---:|---|"] + rows + [""]


# Sections of RESULTS.md that other scripts (engines.py, records.py) write, kept when this one
# rewrites it.
_SECTION = r"<!-- begin {0} -->\n.*?<!-- end {1} -->\n?"


def kept_sections(path: Path) -> list:
    """The marked sections of the file at ``path``, as lines, for run.py to write back."""
    if not path.is_file():
        return []
    lines = []
    for match in re.finditer(_SECTION.format(r"(\S+)", r"\1"), path.read_text("utf-8"), re.S):
        lines += ["", *match.group(0).rstrip("\n").split("\n")]
    return lines


def replace_section(path: Path, name: str, lines: list) -> None:
    """Writes ``lines`` as the section ``name`` of the file: in place, or at its end."""
    block = "\n".join([f"<!-- begin {name} -->", *lines, f"<!-- end {name} -->", ""])
    text = path.read_text(encoding="utf-8") if path.is_file() else ""
    pattern = re.compile(_SECTION.format(re.escape(name), re.escape(name)), re.S)
    if pattern.search(text):
        text = pattern.sub(lambda _: block, text, count=1)
    else:
        text = text.rstrip("\n") + "\n\n" + block
    path.write_text(text, encoding="utf-8")


def machine():
    cpu = platform.processor() or "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return {
        "interpreter": f"{platform.python_implementation()} {platform.python_version()}",
        "cpu": f"{cpu} ({os.cpu_count()} logical CPUs)",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load": f"{load:.2f}",
    }


def chart(results, names, ref, path):
    """Grouped bars of time / reference time, encode above decode, log scale."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    docs = [r["name"] for r in results]
    fig, axes = plt.subplots(2, 1, figsize=(max(8, len(docs) * 0.9), 9), sharex=True)
    width = 0.8 / len(names)
    for ax, key in zip(axes, ("encode", "decode")):
        for i, n in enumerate(names):
            heights = [
                r[key][n].median / r[key][ref].median if n in r[key] else 0 for r in results
            ]
            xs = [d + (i - len(names) / 2 + 0.5) * width for d in range(len(docs))]
            ax.bar(xs, heights, width, label=n)
        ax.axhline(1, color="black", linewidth=0.8)
        ax.set_yscale("log")
        # Plain ratios (0.5, 2) rather than powers of ten on the log axis.
        ax.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.set_ylabel(f"{key} time / {ref}")
        ax.set_title(f"{key} (lower is faster)")
    axes[1].set_xticks(range(len(docs)))
    axes[1].set_xticklabels(docs, rotation=40, ha="right")
    axes[0].legend(ncol=min(len(names), 5), fontsize="small")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


# --- main -----------------------------------------------------------------------------------


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples; 10 MiB stream")
    parser.add_argument("--only", default="", help="only documents whose name contains this")
    parser.add_argument("--rounds", type=int, help="samples per case (default 15, quick 3)")
    parser.add_argument("--min-ms", type=float, help="least length of a sample (default 5, quick 1)")
    parser.add_argument("--data", type=Path, default=BENCH_DATA, help="folder of JSON documents")
    parser.add_argument("--scale", type=float, default=1.0, help="size factor of generated shapes")
    parser.add_argument("--stream-mb", type=float, help="streamed encoding size (default 100, quick 10)")
    parser.add_argument("--cpu-time", action="store_true", help="time with process CPU time")
    parser.add_argument("--no-stream", action="store_true", help="skip the streaming measurement")
    parser.add_argument("--write", action="store_true", help="write RESULTS.md and the chart")
    parser.add_argument("--no-chart", action="store_true", help="with --write: RESULTS.md only")
    parser.add_argument("--section", action="store_true",
                        help="with --write: this CPython's tables as a section of their own, the rest kept")
    parser.add_argument("--results", type=Path, default=HERE / "RESULTS.md")
    parser.add_argument("--chart", type=Path, default=HERE / "results.svg")
    args = parser.parse_args(argv)
    if args.rounds is None:
        args.rounds = 3 if args.quick else 15
    if args.min_ms is None:
        args.min_ms = 1.0 if args.quick else 5.0
    if args.stream_mb is None:
        args.stream_mb = 10 if args.quick else 100
    return args


def committed_output_problems(args, problems):
    """Why this run must not replace the committed RESULTS.md and chart, or []."""
    committed = {(HERE / "RESULTS.md").resolve(), (HERE / "results.svg").resolve()}
    targets = {args.results.resolve()} | (set() if args.no_chart else {args.chart.resolve()})
    if not args.write or not targets & committed:
        return []
    reasons = [f"{args.data}: {line}" for line in problems]
    if args.only:
        reasons.append(f"--only {args.only} measures a part of the set")
    if args.no_stream:
        reasons.append("--no-stream leaves out the streaming table")
    if args.scale != 1.0:
        reasons.append(f"--scale {args.scale:g} changes the generated shapes")
    return reasons


def main(argv=None):
    global clock
    args = parse(argv)
    problems = document_set.problems(args.data)
    refused = committed_output_problems(args, problems)
    if refused:
        sys.exit(
            "bench/run.py: not overwriting the committed results with a partial run:\n  "
            + "\n  ".join(refused)
            + "\nWrite elsewhere with --results FILE --chart FILE, or run over the whole set."
            + ("\n" + document_set.where_to_get(args.data) if problems else "")
        )
    data_note = "the document set, checked" if not problems else f"{args.data} (not the full set)"
    if not any(args.data.glob("*.json")):
        print(
            f"bench/run.py: no JSON documents in {args.data}.\n"
            + document_set.where_to_get(args.data)
            + f"\nMeasuring the bundled sample ({SAMPLES}) and the generated shapes instead.",
            file=sys.stderr,
        )
        args.data = SAMPLES
        data_note = "the bundled sample only (the document set was not found)"
        if args.only and not any(args.only in p.stem for p in SAMPLES.glob("*.json")) \
                and not any(args.only in name for name, _ in generated(0.01)):
            # Measuring nothing would print empty tables and n/a targets.
            sys.exit(f"bench/run.py: --only {args.only} matches no document here; it needs the "
                     "document set (see above).")
    clock = time.process_time_ns if args.cpu_time else time.perf_counter_ns
    libs = codecs()
    names = [lib.name for lib in libs]
    ref = reference_name(names)
    env = machine()
    header = [
        "# Benchmark results",
        "",
        f"- interpreter: {env['interpreter']}",
        f"- CPU: {env['cpu']}",
        f"- date: {env['date']}, load average at start {env['load']}",
        f"- documents: {data_note}",
        "- libraries: " + ", ".join(lib.label() for lib in libs),
        f"- command: `python bench/run.py {' '.join(argv if argv is not None else sys.argv[1:])}`",
        f"- {args.rounds} interleaved samples per case, each at least {args.min_ms:g} ms of "
        + ("process CPU time" if args.cpu_time else "wall time (perf_counter_ns)"),
        "",
    ]
    print("\n".join(header), flush=True)
    results = []
    for name, value, json_bytes in documents(args.data, args.scale, args.only):
        # The document and its encodings outlive every sample: frozen, they are not walked
        # again by each collection (the interpreters that lack freeze walk them).
        gc.collect()
        getattr(gc, "freeze", lambda: None)()
        try:
            r = measure(name, value, libs, args.rounds, args.min_ms * 1e6)
        finally:
            getattr(gc, "unfreeze", lambda: None)()
        r["real"], r["json_bytes"] = json_bytes is not None, json_bytes
        results.append(r)
        skipped = f" (n/a: {', '.join(r['skipped'])})" if r["skipped"] else ""
        print(f"measured {name}{skipped}", file=sys.stderr, flush=True)
    body = []
    body += time_tables(results, "encode", names, ref)
    body += time_tables(results, "decode", names, ref)
    body += size_table(results, names)
    body += lazy_table(results)
    stream = None if args.no_stream else streaming(args.stream_mb, args.rounds)
    if stream:
        body += stream_table(stream)
    body += target_table(results, stream, stale={lib.name for lib in libs if lib.stale})
    print("\n".join(body))
    if args.write:
        end = f"- load average at the end {os.getloadavg()[0]:.2f}" if hasattr(os, "getloadavg") else ""
        if PYPY or args.section:
            # A run on PyPy, or on another CPython than the main tables', is a section of its
            # own: the tables above it stay.
            version = "{}.{}".format(*sys.version_info[:2])
            name, title = ("pypy", "# PyPy") if PYPY else (f"cpython-{version}", f"# CPython {version}")
            replace_section(args.results, name, [title, ""] + header[2:-1] + [end, ""] + body)
        else:
            # Sections other scripts (engines.py, records.py) and PyPy wrote stay, after this run's tables.
            kept = kept_sections(args.results)
            args.results.write_text("\n".join(header[:-1] + [end, ""] + body + kept), encoding="utf-8")
        try:
            if not args.no_chart and not (PYPY or args.section):
                chart(results, names, ref, args.chart)
        except ImportError:
            print("matplotlib is not installed: no chart", file=sys.stderr)
    return results


if __name__ == "__main__":
    main()
