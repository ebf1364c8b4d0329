"""`vezuvir decode` beside the script a user would write instead, whole processes.

A single document: a list of copies of a bench document (twitter.json by default: 55 copies
are 35 MB of the file's JSON, 26 MB compact) against `json.dumps(load_bytes(data))`. A record
log (`--log N`): N records, twitter.json's statuses over and over (or the items of another
document's top-level list), against `for rec in iter_load(f): write(json.dumps(rec) + "\n")`.
The encoding is written to a temporary file. Each round runs both commands once, in turn;
the table gives the median CPU time (user + system, from the child's resource usage, which
other processes on a busy machine do not inflate), wall time and peak memory.

    python bench/cli_decode.py                    # twitter.json x 55, 7 rounds
    python bench/cli_decode.py --document canada --copies 10 --rounds 5
    python bench/cli_decode.py --log 30000        # a log of 30,000 twitter statuses
"""

import argparse
import hashlib
import json
import os
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


LOOP = (
    "import json, sys, vezuvir\n"
    "with open(sys.argv[1], 'rb') as f:\n"
    "    for rec in vezuvir.iter_load(f):\n"
    "        sys.stdout.write(json.dumps(rec) + '\\n')\n"
)


def run(argv):
    """(CPU seconds, wall seconds, peak resident MB) of one child process; its output is
    discarded."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode:
        raise subprocess.CalledProcessError(child.returncode, argv)
    # A forked child's peak is at least this process's size when it was forked: what
    # this process holds is built in a child of its own (see `write_log`).
    return usage.ru_utime + usage.ru_stime, wall, usage.ru_maxrss / 1024


def log_records(source, count):
    """``count`` records: the statuses of a twitter-shaped document, else the items of its
    top-level list, else the document itself, over and over."""
    document = json.loads(source.read_bytes())
    if isinstance(document, dict) and isinstance(document.get("statuses"), list):
        items = document["statuses"]
    elif isinstance(document, list) and document:
        items = document
    else:
        items = [document]
    return [items[i % len(items)] for i in range(count)]


def write_log(source, count, log):
    """Writes the log; the SHA-256 of the JSON Lines `vezuvir decode` must write for it."""
    records = log_records(Path(source), int(count))
    expected = hashlib.sha256()
    with open(log, "wb") as f:
        for record in records:
            vezuvir.dump(record, f)
            # json.dumps with the command's options (the loop's escape what is not ASCII).
            line = json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"
            expected.update(line.encode())
    return expected.hexdigest()


def measure(commands, rounds):
    samples = {name: [] for name in commands}
    for _ in range(rounds):
        for name, command in commands.items():
            samples[name].append(run(command))
    return samples


def print_table(samples, base_name):
    base_cpu = statistics.median(cpu for cpu, _, _ in samples[base_name])
    print(f"| command | CPU s (median) | wall s (median) | peak MB | CPU / {base_name} |")
    print("|---|---:|---:|---:|---:|")
    for name, runs in samples.items():
        cpu = statistics.median(c for c, _, _ in runs)
        wall = statistics.median(w for _, w, _ in runs)
        peak = max(m for _, _, m in runs)
        print(f"| {name} | {cpu:.3f} | {wall:.3f} | {peak:.0f} | {cpu / base_cpu:.2f} |")


def bench_log(source, count, rounds):
    with tempfile.TemporaryDirectory() as scratch:
        log = Path(scratch) / "log.qlt"
        # Built in a child, so that the children measured below are not forked from a
        # process that held the records.
        build = (
            f"import sys; sys.path.insert(0, {str(HERE)!r}); import cli_decode; "
            "print(cli_decode.write_log(*sys.argv[1:]))"
        )
        build_argv = [sys.executable, "-c", build, str(source), str(count), str(log)]
        expected = subprocess.run(build_argv, capture_output=True, text=True, check=True).stdout
        log_size = log.stat().st_size
        decode = [sys.executable, "-m", "vezuvir", "decode", str(log)]
        with subprocess.Popen(decode, stdout=subprocess.PIPE) as child:
            written = hashlib.sha256()
            for chunk in iter(lambda: child.stdout.read(1 << 20), b""):
                written.update(chunk)
        if child.returncode or written.hexdigest() != expected.strip():
            raise AssertionError("vezuvir decode wrote something else than json.dumps")
        loop = "iter_load + json.dumps loop"
        commands = {loop: [sys.executable, "-c", LOOP, str(log)], "vezuvir decode": decode}
        samples = measure(commands, rounds)
    print(f"{source.name}: a log of {count:,} records, {log_size / 1e6:.1f} MB; "
          f"{sys.implementation.name} {sys.version.split()[0]}, {rounds} rounds, load average "
          f"{os.getloadavg()[0]:.2f}\n")
    print_table(samples, loop)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--document", default="twitter", help="bench document to repeat")
    parser.add_argument("--copies", type=int, default=55, help="copies of it in the list")
    parser.add_argument("--log", type=int, metavar="N", help="decode a record log of N records")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--data", type=Path, default=BENCH_DATA, help="folder of JSON documents")
    args = parser.parse_args(argv)

    source = args.data / f"{args.document}.json"
    if not source.is_file():
        print(f"{source} not found; using the bundled {SAMPLE.name}", file=sys.stderr)
        source = SAMPLE
    if args.log is not None:
        bench_log(source, args.log, args.rounds)
        return
    value = [json.loads(source.read_bytes())] * args.copies
    expected = json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode() + b"\n"
    with tempfile.TemporaryDirectory() as scratch:
        encoded = Path(scratch) / "doc.qlt"
        encoded.write_bytes(vezuvir.dump_bytes(value))
        encoded_size = encoded.stat().st_size
        script = "json.dumps(load_bytes(data))"
        commands = {
            script: [sys.executable, "-c", BASELINE, str(encoded)],
            "vezuvir decode": [sys.executable, "-m", "vezuvir", "decode", str(encoded)],
        }
        # The command's output is the JSON the script would have built, byte for byte.
        decoded = subprocess.run(commands["vezuvir decode"], capture_output=True, check=True)
        if decoded.stdout != expected:
            raise AssertionError("vezuvir decode wrote something else than json.dumps")
        samples = measure(commands, args.rounds)

    print(f"{source.name} x {args.copies}: {len(expected) / 1e6:.1f} MB of JSON, encoding "
          f"{encoded_size / 1e6:.1f} MB; {sys.implementation.name} "
          f"{sys.version.split()[0]}, {args.rounds} rounds, load average "
          f"{os.getloadavg()[0]:.2f}\n")
    print_table(samples, script)


if __name__ == "__main__":
    main()
