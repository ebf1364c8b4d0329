"""Record logs and large encodings on disk: records per second and peak memory.

Two measurements, on files made in a temporary folder and removed afterwards:

* A log of twitter-status-sized records (default one million): one field from every record
  with `iter_lazy_load`, and every whole record with `iter_load`, beside the same records
  as a msgpack stream read with `msgpack.Unpacker` and as JSON Lines read with
  `orjson.loads` per line (both peers decode each whole record).
* One large encoding (default 1 GiB) whose last key is read with `vezuvir.lazy_load` on the
  path, the file memory-mapped (`mmap=True`) and read (the default), beside the same read on
  the bytes in memory.

Every case runs in a fresh interpreter, with the files already in the page cache, and
reports its peak resident memory (VmHWM, which counts mapped file pages too) above what the
interpreter held before the case began.

    pip install ".[bench]"
    python bench/records.py                      # Markdown to stdout
    python bench/records.py --write              # also its section of bench/RESULTS.md
    python bench/records.py --records 20000 --large-mib 64      # a quick run
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BENCH_DATA = Path(os.environ.get("VEZUVIR_BENCH_DATA") or HERE.parents[1] / "shared" / "bench-data")
FIELD = ["user", "screen_name"]


# --- data -----------------------------------------------------------------------------------


def statuses():
    return json.loads((BENCH_DATA / "twitter.json").read_bytes())["statuses"]


def twitter_like(count, bases):
    """`count` statuses made from the sample's 100, each with its own ids, text, times,
    counters and author, so that a log holds as many distinct strings as a real one."""
    for i in range(count):
        base = bases[i % len(bases)]
        status = dict(base)
        status["id"] = base["id"] + i
        status["id_str"] = str(status["id"])
        status["text"] = f"{base['text']} #{i}"
        status["created_at"] = f"Sun Aug 31 {i // 3600 % 24:02d}:{i // 60 % 60:02d}:{i % 60:02d} +0000 2014"
        status["retweet_count"] = i * 31 % 5000
        status["favorite_count"] = i * 17 % 3000
        user = dict(base["user"])
        user["id"] = base["user"]["id"] + i
        user["id_str"] = str(user["id"])
        user["screen_name"] = f"{base['user']['screen_name']}_{i % 50000}"
        user["followers_count"] = i * 13 % 100000
        status["user"] = user
        yield status


def write_logs(folder, count):
    """The same records as a record log, a msgpack stream and JSON Lines."""
    import msgpack
    import orjson

    import vezuvir

    paths = {name: folder / f"log.{name}" for name in ("qlt", "msgpack", "jsonl")}
    files = {name: open(path, "wb") for name, path in paths.items()}
    try:
        for record in twitter_like(count, statuses()):
            files["qlt"].write(vezuvir.dump_bytes(record))
            files["msgpack"].write(msgpack.packb(record))
            files["jsonl"].write(orjson.dumps(record) + b"\n")
    finally:
        for f in files.values():
            f.close()
    return paths


def write_large(folder, mib):
    """One encoding of about `mib` MiB: {"statuses": [...], "search_metadata": {...}}.

    The statuses are 1000 distinct ones repeated, so that the tree is cheap to hold while it
    is written; after their first occurrence every string is a back-reference, which the
    skipper steps over fastest: the share of the time that page faults take is then at its
    largest."""
    import vezuvir

    sample = json.loads((BENCH_DATA / "twitter.json").read_bytes())
    distinct = list(twitter_like(1000, sample["statuses"]))
    per_status = (len(vezuvir.dump_bytes(distinct * 2)) - len(vezuvir.dump_bytes(distinct))) / 1000
    count = int(mib * 2**20 // per_status)
    doc = {"statuses": [distinct[i % 1000] for i in range(count)], "search_metadata": sample["search_metadata"]}
    path = folder / "large.qlt"
    with open(path, "wb") as f:
        vezuvir.dump(doc, f)
    return path, count


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


# --- cases (each run in a fresh interpreter) ------------------------------------------------

PRELUDE = """
import json, sys, time
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
before = rss("VmRSS:")
"""

CASES = {
    "iter_lazy_load": """
import vezuvir
start = time.process_time()
n = sum(1 for v in vezuvir.iter_lazy_load(PATH, FIELD))
""",
    "iter_lazy_load, stream": """
import vezuvir
start = time.process_time()
with open(PATH, "rb") as f:
    n = sum(1 for v in vezuvir.iter_lazy_load(f, FIELD))
""",
    "iter_load": """
import vezuvir
start = time.process_time()
n = sum(1 for v in vezuvir.iter_load(PATH))
""",
    "iter_load, stream": """
import vezuvir
start = time.process_time()
with open(PATH, "rb") as f:
    n = sum(1 for v in vezuvir.iter_load(f))
""",
    "msgpack.Unpacker": """
import msgpack
start = time.process_time()
with open(PATH, "rb") as f:
    n = sum(1 for v in msgpack.Unpacker(f) if v["user"]["screen_name"] is not None)
""",
    "orjson.loads per line": """
import orjson
start = time.process_time()
with open(PATH, "rb") as f:
    n = sum(1 for line in f if orjson.loads(line)["user"]["screen_name"] is not None)
""",
    "vezuvir stats": """
import io, contextlib
from vezuvir import cli
start = time.process_time()
with contextlib.redirect_stdout(io.StringIO()):
    cli.main(["stats", PATH])
n = 1
""",
    "lazy_load, mapped file": """
import vezuvir
times = []
for _ in range(ROUNDS):
    start = time.process_time()
    value = vezuvir.lazy_load(PATH, LAST, mmap=True)
    times.append(time.process_time() - start)
n = 1
""",
    "lazy_load, file read": """
import vezuvir
times = []
for _ in range(ROUNDS):
    start = time.process_time()
    value = vezuvir.lazy_load(PATH, LAST)
    times.append(time.process_time() - start)
n = 1
""",
    "lazy_load_bytes, bytes in memory": """
import vezuvir
with open(PATH, "rb") as f:
    data = f.read()
before = rss("VmRSS:")
times = []
for _ in range(ROUNDS):
    start = time.process_time()
    value = vezuvir.lazy_load_bytes(data, LAST)
    times.append(time.process_time() - start)
n = 1
""",
}

REPORT = """
elapsed = time.process_time() - start
times = globals().get("times") or [elapsed]
print(json.dumps({"n": n, "seconds": sorted(times)[len(times) // 2], "peak": rss("VmHWM:") - before}))
"""


def run_case(name, path, rounds=3):
    code = PRELUDE + f"PATH = {str(path)!r}\nFIELD = {FIELD!r}\nLAST = ['search_metadata', 'count']\n"
    code += f"ROUNDS = {rounds}\n" + textwrap.dedent(CASES[name]) + REPORT
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


# --- report ---------------------------------------------------------------------------------


def mib(n):
    return f"{n / 2**20:,.1f}"


def measure(args):
    import vezuvir

    lines = [
        "## Record logs and large files on disk (`bench/records.py`)",
        "",
        f"- interpreter: {platform.python_implementation()} {platform.python_version()}; "
        f"vezuvir {vezuvir.__version__}, " + ", ".join(f"{m} {_version(m)}" for m in ("msgpack", "orjson")),
        f"- command: `python bench/records.py {' '.join(sys.argv[1:])}`",
        f"- load average at start {os.getloadavg()[0]:.2f}; files in the page cache; each case in a "
        "fresh interpreter, timed by its process CPU time (user and system, page faults "
        "included; the machine is shared); peak memory is VmHWM (mapped file pages included) "
        "above the interpreter's own",
        "",
    ]
    targets = []
    with tempfile.TemporaryDirectory(dir=args.tmp) as folder:
        folder = Path(folder)
        if args.records:
            started = time.process_time()
            paths = write_logs(folder, args.records)
            print(f"wrote {args.records:,} records in {time.process_time() - started:.0f} s", file=sys.stderr)
            lines += [
                f"### {args.records:,} twitter-status-sized records, one field (`{'/'.join(FIELD)}`) "
                "from each, or each whole",
                "",
                "| reader | file | file MiB | records/s | peak MiB | time / msgpack.Unpacker |",
                "|---|---|---:|---:|---:|---:|",
            ]
            rows = [
                ("iter_lazy_load", "qlt"),
                ("iter_lazy_load, stream", "qlt"),
                ("iter_load", "qlt"),
                ("iter_load, stream", "qlt"),
                ("msgpack.Unpacker", "msgpack"),
                ("orjson.loads per line", "jsonl"),
            ]
            results = {}
            for name, kind in rows:
                warm(paths[kind])
                results[name] = run_case(name, paths[kind])
                assert results[name]["n"] == args.records, (name, results[name])
                print(f"{name}: {results[name]}", file=sys.stderr)
            reference = results["msgpack.Unpacker"]["seconds"]
            for name, kind in rows:
                r = results[name]
                lines.append(
                    f"| {name} | .{kind} | {mib(paths[kind].stat().st_size)} | "
                    f"{args.records / r['seconds']:,.0f} | {mib(r['peak'])} | {r['seconds'] / reference:.2f} |"
                )
            lines.append("")
            warm(paths["qlt"])
            stats = run_case("vezuvir stats", paths["qlt"])
            rate = paths["qlt"].stat().st_size / 1e6 / stats["seconds"]
            lines += [f"`vezuvir stats` over the log: {rate:,.0f} MB/s, peak {mib(stats['peak'])} MiB", ""]
            targets.append(("`vezuvir stats` on twitter-like records, MB/s, at least 50", f"{rate:,.0f}", rate >= 50))
            for path in paths.values():
                path.unlink()
        if args.large_mib:
            started = time.process_time()
            path, count = write_large(folder, args.large_mib)
            print(f"wrote {mib(path.stat().st_size)} MiB in {time.process_time() - started:.0f} s", file=sys.stderr)
            warm(path)
            mapped = run_case("lazy_load, mapped file", path)
            warm(path)
            read = run_case("lazy_load, file read", path)
            warm(path)
            in_memory = run_case("lazy_load_bytes, bytes in memory", path)
            warm(path)
            stats = run_case("vezuvir stats", path)
            lines += [
                f"### `['search_metadata', 'count']` after {count:,} statuses: one encoding of "
                f"{mib(path.stat().st_size)} MiB",
                "",
                "| read | median CPU s (3 reads) | peak MiB above the start |",
                "|---|---:|---:|",
                f"| `vezuvir.lazy_load(path, ..., mmap=True)`, memory-mapped | {mapped['seconds']:.3f} | {mib(mapped['peak'])} |",
                f"| `vezuvir.lazy_load(path, ...)`, the file read | {read['seconds']:.3f} | {mib(read['peak'])} |",
                f"| `lazy_load_bytes(data, ...)` on the bytes read beforehand | {in_memory['seconds']:.3f} | "
                f"{mib(in_memory['peak'])} (the bytes themselves not counted) |",
                "",
                f"Mapped time / in-memory time: {mapped['seconds'] / in_memory['seconds']:.2f}",
                "",
                f"`vezuvir stats` over the same file: {path.stat().st_size / 1e6 / stats['seconds']:,.0f} MB/s, "
                f"peak {mib(stats['peak'])} MiB",
                "",
            ]
            ratio = mapped["seconds"] / in_memory["seconds"]
            targets += [
                ("lazy read at the end of the mapped file: peak MiB above the start, below 64",
                 mib(mapped["peak"]), mapped["peak"] < 64 * 2**20),
                ("the same read: mapped time / in-memory time, at most 1.2", f"{ratio:.2f}", ratio <= 1.2),
            ]
    if targets:
        lines += ["| goal | found | met |", "|---|---:|---|"]
        lines += [f"| {goal} | {found} | {'yes' if met else '**no**'} |" for goal, found, met in targets]
        lines.append("")
    lines.append(f"- load average at the end {os.getloadavg()[0]:.2f}")
    return lines


def _version(module):
    import importlib.metadata

    try:
        return importlib.metadata.version(module)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000, help="records in the log (0: skip)")
    parser.add_argument("--large-mib", type=int, default=1024, help="size of the large encoding (0: skip)")
    parser.add_argument("--tmp", help="folder for the temporary files (default: the system's)")
    parser.add_argument("--write", action="store_true", help="write this section of RESULTS.md")
    parser.add_argument("--results", type=Path, default=HERE / "RESULTS.md")
    args = parser.parse_args(argv)
    if not (BENCH_DATA / "twitter.json").is_file():
        sys.exit(f"needs the bench documents: {BENCH_DATA / 'twitter.json'} (set VEZUVIR_BENCH_DATA)")
    lines = measure(args)
    print("\n".join(lines))
    if args.write:
        from run import replace_section

        replace_section(args.results, "records.py", lines)


if __name__ == "__main__":
    main()
