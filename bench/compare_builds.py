"""Two builds of the extension side by side: the time of each per document and call, and the
ratio of the second to the first.

A build is a folder that holds `_vezuvir*.so` (a CMake build tree such as build-dev, or a
venv's site-packages) or a wheel, unpacked for the run. Both are loaded into one interpreter
(the package around them is the checkout's, python/) and sampled in turn, in alternating
order, so that drift in the machine's load falls on both alike; each case keeps the best of
its samples, in CPU time, which other processes on a busy machine do not inflate.

    python bench/compare_builds.py build-dev dist/vezuvir-*-cp311-*.whl
    python bench/compare_builds.py A B --samples 30 --only twitter --limit 1.03

CPython only (run it with the interpreter the builds are for). With --limit, exits 1 when a
ratio exceeds it.
"""

import argparse
import gc
import importlib.util
import json
import math
import os
import sys
import tempfile
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BENCH_DATA = Path(os.environ.get("VEZUVIR_BENCH_DATA") or ROOT.parent / "shared" / "bench-data")
# The modules' own exception classes and Idx come from the package: the checkout's.
sys.path.insert(0, str(ROOT / "python"))
clock = time.process_time_ns


def load_build(build, scratch):
    """The extension module of `build`, a folder or a wheel (unpacked into `scratch`)."""
    path = Path(build)
    if path.suffix == ".whl":
        target = Path(scratch) / path.stem
        with zipfile.ZipFile(path) as wheel:
            wheel.extractall(target)
        path = target
    found = sorted(path.glob("_vezuvir*.so"))
    if not found:
        sys.exit(f"{build}: no _vezuvir*.so there, and not a wheel")
    # The same name twice: each load is a module of its own, with a state of its own.
    spec = importlib.util.spec_from_file_location("_vezuvir", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def calls_for(fn, args, sample_ns):
    """Calls per sample so that one sample lasts about `sample_ns`."""
    fn(*args)
    start, calls = clock(), 0
    while calls == 0 or clock() - start < sample_ns / 4:
        fn(*args)
        calls += 1
    return max(1, math.ceil(sample_ns * calls / max(clock() - start, 1)))


def compare(cases, samples, sample_ns):
    """Best nanoseconds per call of each of the two `cases`, sampled in turn."""
    calls = [calls_for(fn, args, sample_ns) for fn, args in cases]
    best = [math.inf, math.inf]
    for s in range(samples):
        for i in ((0, 1) if s % 2 == 0 else (1, 0)):
            fn, args = cases[i]
            start = clock()
            for _ in range(calls[i]):
                fn(*args)
            best[i] = min(best[i], (clock() - start) / calls[i])
    return best


def bench_run_module():
    """bench/run.py, for the path of the lazy read it times."""
    spec = importlib.util.spec_from_file_location("bench_run", HERE / "run.py")
    run = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(run)
    return run


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("first", help="the reference build: a folder with _vezuvir*.so, or a wheel")
    parser.add_argument("second", help="the build compared with it")
    parser.add_argument("--samples", type=int, default=15, help="samples per case and build")
    parser.add_argument("--sample-ms", type=float, default=10, help="length of a sample")
    parser.add_argument("--only", default="", help="documents whose name contains this")
    parser.add_argument("--limit", type=float, help="exit 1 when a ratio exceeds this")
    args = parser.parse_args(argv)

    documents = sorted(p for p in BENCH_DATA.glob("*.json") if args.only in p.stem)
    if not documents:
        sys.exit(f"no documents in {BENCH_DATA} (set VEZUVIR_BENCH_DATA)")
    with tempfile.TemporaryDirectory() as scratch:
        first, second = (load_build(b, scratch) for b in (args.first, args.second))
    # bench/run.py imports the package, which is to find the first build as its extension.
    sys.modules["_vezuvir"] = first
    run = bench_run_module()
    print(f"first:  {args.first}\nsecond: {args.second}")
    print(f"best of {args.samples} samples of {args.sample_ms:g} ms each, CPU time per call in µs\n")
    print("| document | call | first | second | second / first |\n|---|---|---:|---:|---:|")
    worst = 0.0
    for path in documents:
        value = json.loads(path.read_text(encoding="utf-8"))
        data = first.dump_bytes(value)
        if second.dump_bytes(value) != data:
            sys.exit(f"{path.stem}: the two builds encode it differently")
        end = run.lazy_paths(value)["end"]
        gc.collect()
        for call, fn, call_args in (
            ("dump_bytes", "dump_bytes", (value,)),
            ("load_bytes", "load_bytes", (data,)),
            ("lazy end read", "lazy_load_bytes", (data, end)),
        ):
            cases = [(getattr(m, fn), call_args) for m in (first, second)]
            a, b = compare(cases, args.samples, args.sample_ms * 1e6)
            worst = max(worst, b / a)
            print(f"| {path.stem} | {call} | {a / 1000:.1f} | {b / 1000:.1f} | {b / a:.3f} |", flush=True)
    print(f"\nhighest ratio: {worst:.3f}")
    if args.limit is not None and worst > args.limit:
        print(f"above the limit of {args.limit}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
