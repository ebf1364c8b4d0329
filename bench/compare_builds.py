"""Two builds of the extension side by side: the time of each per document and call, and the
ratio of the second to the first.

A build is a folder that holds `_vezuvir*.so` (a CMake build tree such as build-dev, or a
venv's site-packages) or a wheel, unpacked for the run. Each round starts one fresh
interpreter per build, in turn and in alternating order, so that drift in the machine's load
and the luck of one process's memory layout fall on both alike; each process keeps the best
of a few samples per case, and the table gives the median of those over the rounds.

    python bench/compare_builds.py build-dev dist/vezuvir-*-cp311-*.whl
    python bench/compare_builds.py A B --rounds 9 --only twitter --limit 1.03

CPython only (run it with the interpreter the builds are for). With --limit, exits 1 when a
ratio exceeds it.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BENCH_DATA = Path(os.environ.get("VEZUVIR_BENCH_DATA") or ROOT.parent / "shared" / "bench-data")
CALLS = ("dump_bytes", "load_bytes", "lazy end read")

# One process of one round: for each document and call, the best nanoseconds per call.
CHILD = r"""
import gc, importlib.util, json, math, sys, time
from pathlib import Path
import _vezuvir
from vezuvir import dump_bytes, load_bytes, lazy_load_bytes

spec = importlib.util.spec_from_file_location("bench_run", sys.argv[1])
run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(run)
sample_ns, samples = float(sys.argv[2]), int(sys.argv[3])

def best(fn, *args):
    fn(*args)
    start = time.perf_counter_ns()
    fn(*args)
    calls = max(1, math.ceil(sample_ns / max(time.perf_counter_ns() - start, 1)))
    times = []
    for _ in range(samples):
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn(*args)
        times.append((time.perf_counter_ns() - start) / calls)
    return min(times)

out = {"module": _vezuvir.__file__, "times": {}}
for path in sys.argv[4:]:
    value = json.loads(Path(path).read_text(encoding="utf-8"))
    data = dump_bytes(value)
    end = run.lazy_paths(value)["end"]
    gc.collect()
    out["times"][Path(path).stem] = {
        "dump_bytes": best(dump_bytes, value),
        "load_bytes": best(load_bytes, data),
        "lazy end read": best(lazy_load_bytes, data, end),
    }
print(json.dumps(out))
"""


def build_folder(build, scratch):
    """The folder to put first on the path for `build`, unpacking a wheel into `scratch`."""
    path = Path(build)
    if path.suffix == ".whl":
        target = Path(scratch) / path.stem
        with zipfile.ZipFile(path) as wheel:
            wheel.extractall(target)
        return target
    if not any(path.glob("_vezuvir*.so")):
        sys.exit(f"{build}: no _vezuvir*.so there, and not a wheel")
    return path


def one_run(folder, documents, args):
    # The build's folder first, then the checkout's package for what a build tree lacks.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(folder), str(ROOT / "python")])}
    env.pop("VEZUVIR_BACKEND", None)
    cmd = [sys.executable, "-c", CHILD, str(HERE / "run.py"), str(args.sample_ms * 1e6),
           str(args.samples), *map(str, documents)]
    result = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    if result.returncode:
        sys.exit(f"the run with {folder} failed:\n{result.stderr}")
    return json.loads(result.stdout)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("first", help="the reference build: a folder with _vezuvir*.so, or a wheel")
    parser.add_argument("second", help="the build compared with it")
    parser.add_argument("--rounds", type=int, default=5, help="processes per build (default 5)")
    parser.add_argument("--samples", type=int, default=5, help="samples per case and process")
    parser.add_argument("--sample-ms", type=float, default=20, help="length of a sample")
    parser.add_argument("--only", default="", help="documents whose name contains this")
    parser.add_argument("--limit", type=float, help="exit 1 when a ratio exceeds this")
    args = parser.parse_args(argv)

    documents = sorted(p for p in BENCH_DATA.glob("*.json") if args.only in p.stem)
    if not documents:
        sys.exit(f"no documents in {BENCH_DATA} (set VEZUVIR_BENCH_DATA)")
    with tempfile.TemporaryDirectory() as scratch:
        folders = [build_folder(b, scratch) for b in (args.first, args.second)]
        runs = [[], []]
        for r in range(args.rounds):
            order = (0, 1) if r % 2 == 0 else (1, 0)
            for i in order:
                runs[i].append(one_run(folders[i], documents, args))
    modules = [runs[i][0]["module"] for i in (0, 1)]
    if modules[0] == modules[1]:
        sys.exit(f"both runs loaded {modules[0]}")

    print(f"first:  {modules[0]}\nsecond: {modules[1]}")
    print(f"{args.rounds} rounds; median over rounds of each process's best, in µs\n")
    print(f"| document | call | first | second | second / first |\n|---|---|---:|---:|---:|")
    worst = 0.0
    for doc in (p.stem for p in documents):
        for call in CALLS:
            a, b = (statistics.median(run["times"][doc][call] for run in runs[i]) for i in (0, 1))
            worst = max(worst, b / a)
            print(f"| {doc} | {call} | {a / 1000:.1f} | {b / 1000:.1f} | {b / a:.3f} |")
    print(f"\nhighest ratio: {worst:.3f}")
    if args.limit is not None and worst > args.limit:
        print(f"above the limit of {args.limit}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
