"""A record log scanned in parallel by subinterpreters, each with a lock of its own.

One field (`user/followers_count`) is summed over every record of a log of twitter-status-
sized records with `iter_lazy_load`, on the log's bytes memory-mapped. The log is split into
byte ranges that start at record boundaries (noted while the log was written, as a writer
can keep an index), one range per worker:

* one interpreter scans the whole log;
* `InterpreterPoolExecutor(N)` scans one range in each of N subinterpreters at once;
* for contrast, `ThreadPoolExecutor(N)` (threads of one interpreter, one lock) and
  `ProcessPoolExecutor(N)` (N processes) do the same.

Each pool is started and each worker has imported vezuvir before the clock runs; the rounds
interleave the readers, and each figure is the median wall time of the rounds. The figure
that counts is the pool's throughput over one interpreter's on the same machine.

    pip install ".[bench]"                  # CPython 3.14 or newer
    python bench/parallel.py                # Markdown to stdout
    python bench/parallel.py --write        # also its section of bench/RESULTS.md
    python bench/parallel.py --records 20000 --rounds 3    # a quick run
"""

import argparse
import bisect
import mmap
import os
import platform
import statistics
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
FIELD = ["user", "followers_count"]
TARGET = 1.7


def scan(path, start, stop):
    """The sum of FIELD over the records in bytes [start, stop) of the log at `path`."""
    import vezuvir

    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        with memoryview(mapped) as whole, whole[start:stop] as view:
            return sum(vezuvir.iter_lazy_load(view, FIELD))


def write_log(path, count):
    """Writes `count` records; returns the offset of each and the sum of FIELD over them."""
    sys.path.insert(0, str(HERE))
    from records import statuses, twitter_like

    import vezuvir

    offsets, total = [], 0
    with open(path, "wb") as f:
        for record in twitter_like(count, statuses()):
            offsets.append(f.tell())
            f.write(vezuvir.dump_bytes(record))
            total += record["user"]["followers_count"]
    return offsets, total


def ranges(offsets, size, parts):
    """`parts` byte ranges of about equal size, each starting at a record boundary."""
    starts = [0]
    for k in range(1, parts):
        i = bisect.bisect_left(offsets, size * k // parts)
        starts.append(offsets[i] if i < len(offsets) else size)
    return list(zip(starts, starts[1:] + [size]))


def timed(run):
    start = time.perf_counter()
    result = run()
    return time.perf_counter() - start, result


def measure(args):
    from concurrent.futures import InterpreterPoolExecutor

    import vezuvir

    with tempfile.TemporaryDirectory(dir=args.tmp) as folder:
        path = str(Path(folder) / "log.qlt")
        started = time.perf_counter()
        offsets, expected = write_log(path, args.records)
        size = os.path.getsize(path)
        print(f"wrote {args.records:,} records, {size / 2**20:,.1f} MiB, in "
              f"{time.perf_counter() - started:.0f} s", file=sys.stderr)
        parts = ranges(offsets, size, args.workers)
        pools = {
            f"InterpreterPoolExecutor({args.workers})": InterpreterPoolExecutor(args.workers),
            f"ThreadPoolExecutor({args.workers})": ThreadPoolExecutor(args.workers),
            f"ProcessPoolExecutor({args.workers})": ProcessPoolExecutor(args.workers),
        }
        readers = {"one interpreter": lambda: scan(path, 0, size)}
        for name, pool in pools.items():
            # Every worker started and holding vezuvir: a tiny range each, all at once.
            list(pool.map(scan, [path] * args.workers, [0] * args.workers, [offsets[1]] * args.workers))
            readers[name] = lambda pool=pool: sum(pool.map(scan, *zip(*((path, a, b) for a, b in parts))))
        with open(path, "rb") as f:
            while f.read(1 << 24):  # in the page cache before the first round
                pass
        times = {name: [] for name in readers}
        load_start = os.getloadavg()[0]
        for r in range(args.rounds):
            names = list(readers)
            names = names[r % len(names):] + names[: r % len(names)]
            for name in names:
                seconds, total = timed(readers[name])
                assert total == expected, (name, total, expected)
                times[name].append(seconds)
        load_end = os.getloadavg()[0]
        for pool in pools.values():
            pool.shutdown()
    one = statistics.median(times["one interpreter"])
    lines = [
        "## A record log scanned in parallel by subinterpreters (`bench/parallel.py`)",
        "",
        f"- interpreter: {platform.python_implementation()} {platform.python_version()}; "
        f"vezuvir {vezuvir.__version__} ({vezuvir.backend}); {os.cpu_count()} logical CPUs",
        f"- command: `python bench/parallel.py {' '.join(sys.argv[1:])}`",
        f"- {args.records:,} twitter-status-sized records, {size / 2**20:,.1f} MiB, memory-mapped and "
        f"in the page cache; `{'/'.join(FIELD)}` summed over all of them with `iter_lazy_load`; "
        f"{args.workers} byte ranges split at record boundaries",
        f"- median wall time of {args.rounds} interleaved rounds; load average {load_start:.2f} at "
        f"the start, {load_end:.2f} at the end (the machine is shared); "
        f"`ProcessPoolExecutor({args.workers})`, nothing shared, shows how much of the cores "
        f"the machine gave at the time",
        "",
        "| reader | median s | records/s | MB/s | throughput / one interpreter's |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, samples in times.items():
        seconds = statistics.median(samples)
        lines.append(f"| {name} | {seconds:.3f} | {args.records / seconds:,.0f} | "
                     f"{size / 1e6 / seconds:,.0f} | {one / seconds:.2f} |")
    gain = one / statistics.median(times[f"InterpreterPoolExecutor({args.workers})"])
    lines += [
        "",
        "| goal | found | met |",
        "|---|---:|---|",
        f"| `InterpreterPoolExecutor({args.workers})` throughput / one interpreter's, at least "
        f"{TARGET} | {gain:.2f} | {'yes' if gain >= TARGET else '**no**'} |",
        "",
    ]
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=200_000, help="records in the log")
    parser.add_argument("--workers", type=int, default=2, help="interpreters (threads, processes) at once")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds timed")
    parser.add_argument("--tmp", help="folder for the log (default: the system's)")
    parser.add_argument("--write", action="store_true", help="write this section of RESULTS.md")
    parser.add_argument("--results", type=Path, default=HERE / "RESULTS.md")
    args = parser.parse_args(argv)
    try:
        from concurrent.futures import InterpreterPoolExecutor  # noqa: F401
    except ImportError:
        sys.exit("needs concurrent.futures.InterpreterPoolExecutor (CPython 3.14 or newer)")
    lines = measure(args)
    print("\n".join(lines))
    if args.write:
        sys.path.insert(0, str(HERE))
        from run import replace_section

        replace_section(args.results, "parallel.py", lines)


if __name__ == "__main__":
    main()
