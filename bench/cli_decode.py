"""`vezuvir decode` beside `json.dumps(load_bytes(data))` in a script, whole processes.

The document is a list of copies of a bench document (twitter.json by default: 55 copies are
35 MB of the file's JSON, 26 MB compact); its encoding is written to a temporary file. Each
round runs both commands once, in turn; the table gives the median CPU time (user + system,
from the children's resource usage, which other processes on a busy machine do not inflate)
and wall time.

    python bench/cli_decode.py                    # twitter.json x 55, 7 rounds
    python bench/cli_decode.py --document canada --copies 10 --rounds 5
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import vezuvir

HERE = Path(__file__).resolve().parent
BENCH_DATA = Path(os.environ.get("VEZUVIR_BENCH_DATA") or HERE.parents[1] / "shared" / "bench-data")
SAMPLE = HERE.parent / "samples" / "github_events.json"

BASELINE = (
    "import json, sys, vezuvir\n"
    "with open(sys.argv[1], 'rb') as f:\n"
    "    json.dumps(vezuvir.load_bytes(f.read()))\n"
)


def run(argv):
    """(CPU seconds, wall seconds) of one child process; its output is discarded."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--document", default="twitter", help="bench document to repeat")
    parser.add_argument("--copies", type=int, default=55, help="copies of it in the list")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--data", type=Path, default=BENCH_DATA, help="folder of JSON documents")
    args = parser.parse_args(argv)

    source = args.data / f"{args.document}.json"
    if not source.is_file():
        print(f"{source} not found; using the bundled {SAMPLE.name}", file=sys.stderr)
        source = SAMPLE
    value = [json.loads(source.read_bytes())] * args.copies
    expected = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode() + b"\n"
    with tempfile.TemporaryDirectory() as scratch:
        encoded = Path(scratch) / "doc.qlt"
        encoded.write_bytes(vezuvir.dump_bytes(value))
        encoded_size = encoded.stat().st_size
        commands = {
            "json.dumps(load_bytes(data))": [sys.executable, "-c", BASELINE, str(encoded)],
            "vezuvir decode": [sys.executable, "-m", "vezuvir", "decode", str(encoded)],
        }
        # The command's output is the JSON the script would have built, byte for byte.
        decoded = subprocess.run(commands["vezuvir decode"], capture_output=True, check=True)
        if decoded.stdout != expected:
            raise AssertionError("vezuvir decode wrote something else than json.dumps")
        samples = {name: [] for name in commands}
        for _ in range(args.rounds):
            for name, command in commands.items():
                samples[name].append(run(command))

    base_cpu = statistics.median(cpu for cpu, _ in samples["json.dumps(load_bytes(data))"])
    print(f"{source.name} x {args.copies}: {len(expected) / 1e6:.1f} MB of JSON, encoding "
          f"{encoded_size / 1e6:.1f} MB; {sys.implementation.name} "
          f"{sys.version.split()[0]}, {args.rounds} rounds, load average "
          f"{os.getloadavg()[0]:.2f}\n")
    print("| command | CPU s (median) | wall s (median) | CPU / script |")
    print("|---|---:|---:|---:|")
    for name, runs in samples.items():
        cpu = statistics.median(c for c, _ in runs)
        wall = statistics.median(w for _, w in runs)
        print(f"| {name} | {cpu:.3f} | {wall:.3f} | {cpu / base_cpu:.2f} |")


if __name__ == "__main__":
    main()
