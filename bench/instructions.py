"""Instructions per call of dump_bytes, load_bytes and a lazy read near the end, counted by
valgrind's callgrind on every document the benchmarks use.

Times on a shared machine swing with its load; instruction counts do not, so they are the
record of what a change to the code did. Each count is the difference between a run of 1 + N
calls and a run of 1 call, divided by N: first-call costs (allocator warm-up, one-time
look-ups) drop out, and what remains is the steady cost of one call, the interpreter's own
allocation and collection inside it included. It is taken from one run of 1 + N calls in
which callgrind dumps its counts as each call returns.

    pip install ".[bench]"                           # valgrind must be on PATH as well
    python bench/instructions.py                     # counts to stdout
    python bench/instructions.py --write             # also bench/INSTRUCTIONS.md, "before" kept
    python bench/instructions.py --write --baseline  # the counts become the "before" column
    python3.14 bench/instructions.py --write --section  # 3.14's own table, the rest kept

CPython only. The installed module must keep its symbols (the default build does).
"""

import argparse
import datetime
import gc
import importlib.util
import os
import pickle
import platform
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "INSTRUCTIONS.md"
# (column heading, the function's name in the module's symbols)
FUNCTIONS = {
    "dump_bytes": "*::dump_bytes(*",
    "load_bytes": "*::load_bytes(*",
    "lazy end read": "*::lazy_load_bytes(*",
}
# The same functions as callgrind's --dump-after matches them (a wildcard at the end only).
DUMP_AFTER = {
    "dump_bytes": "(anonymous namespace)::dump_bytes(*",
    "load_bytes": "(anonymous namespace)::load_bytes(*",
    "lazy end read": "(anonymous namespace)::lazy_load_bytes(*",
}

# Run under valgrind: repeats one call `calls` times on the pickled case.
CHILD = """
import gc, pickle, sys
from vezuvir import dump_bytes, load_bytes, lazy_load_bytes
with open(sys.argv[1], "rb") as f:
    value, data, path = pickle.load(f)
gc.collect()
gc.freeze()
call = {
    "dump_bytes": lambda: dump_bytes(value),
    "load_bytes": lambda: load_bytes(data),
    "lazy end read": lambda: lazy_load_bytes(data, path),
}[sys.argv[2]]
for _ in range(int(sys.argv[3])):
    call()
"""


def load_run_module():
    spec = importlib.util.spec_from_file_location("bench_run", HERE / "run.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def callgrind(case_file, function, calls, workdir, dump_each=False):
    """Instructions counted inside `function` over `calls` calls: the total, or with
    `dump_each` the list of each call's count (empty when callgrind dumped none)."""
    out = Path(workdir) / f"callgrind.{os.getpid()}.{abs(hash((case_file, function, calls)))}"
    cmd = [
        # Children traced: an interpreter may be a script that starts the real one.
        "valgrind", "--tool=callgrind", "--trace-children=yes", "--collect-atstart=no",
        f"--toggle-collect={FUNCTIONS[function]}", f"--callgrind-out-file={out}",
    ]  # fmt: skip
    if dump_each:
        cmd.append(f"--dump-after={DUMP_AFTER[function]}")
    cmd += [sys.executable, "-c", CHILD, str(case_file), function, str(calls)]
    # A fixed seed keeps string hashes, and so every table's probing, the same run to run.
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    totals = {}
    for path in Path(workdir).glob(out.name + "*"):
        suffix = re.fullmatch(re.escape(out.name) + r"(?:\.(\d+))?", path.name)
        if suffix is None:
            continue
        totals[int(suffix.group(1) or 0)] = int(
            re.search(r"^totals: (\d+)", path.read_text(), re.M).group(1)
        )
        path.unlink()
    if not dump_each:
        return totals[0]
    # Dumps 1 to `calls`, one as each call returns; dump 0 holds what came after.
    return [totals[i] for i in range(1, calls + 1)] if len(totals) == calls + 1 else []


def per_call(case_file, function, repeats, workdir):
    # One run where callgrind dumps as each call returns: the calls after the first are the
    # same count as the difference of the two runs, at half the cost.
    each = callgrind(case_file, function, 1 + repeats, workdir, dump_each=True)
    if each:
        if each[0] == 0:
            raise SystemExit("callgrind saw no call: the installed _vezuvir has no symbols")
        return round(sum(each[1:]) / repeats)
    once = callgrind(case_file, function, 1, workdir)
    if once == 0:
        raise SystemExit("callgrind saw no call: the installed _vezuvir has no symbols")
    return round((callgrind(case_file, function, 1 + repeats, workdir) - once) / repeats)


def measure(run, data_dir, only, repeats, jobs, workdir):
    """{document: {function: instructions per call}}, documents in the benchmarks' order."""
    from vezuvir import dump_bytes

    jobs_list = []
    names = []
    for name, value, _ in run.documents(data_dir, 1.0, only):
        case = Path(workdir) / f"{name}.pickle"
        with open(case, "wb") as f:
            pickle.dump((value, dump_bytes(value), run.lazy_paths(value)["end"]), f)
        names.append(name)
        jobs_list += [(name, function, case) for function in FUNCTIONS]
        del value
        gc.collect()
    with ThreadPoolExecutor(jobs) as pool:
        found = pool.map(lambda job: per_call(job[2], job[1], repeats, workdir), jobs_list)
        counts = {name: {} for name in names}
        for (name, function, _), n in zip(jobs_list, found):
            counts[name][function] = n
            print(f"{name}: {function} {n:,}", file=sys.stderr, flush=True)
    return counts


def section_name():
    return "cpython-{}.{}".format(*sys.version_info[:2])


def read_before(path, section=False):
    """(label, {document: {function: count}}) from the "before" columns of a written file
    (with `section`, of this interpreter's section of it)."""
    if not path.exists():
        return None, {}
    text = path.read_text(encoding="utf-8")
    if section:
        name = re.escape(section_name())
        found = re.search(f"<!-- begin {name} -->\n(.*?)<!-- end {name} -->", text, re.S)
        if found is None:
            return None, {}
        text = found.group(1)
    else:
        # The main table: what precedes the sections.
        text = text.split("<!-- begin ", 1)[0]
    label = re.search(r"^- before: (.*)$", text, re.M)
    before = {}
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 1 + 3 * len(FUNCTIONS) or not cells[1].replace(",", "").isdigit():
            continue
        before[cells[0]] = {f: int(cells[1 + 3 * i].replace(",", "")) for i, f in enumerate(FUNCTIONS)}
    return (label.group(1) if label else None), before


def revision():
    try:
        head = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(HERE), "status", "--porcelain", "--", "../src"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown revision"
    return f"commit {head}" + (" with uncommitted changes to src/" if dirty else "")


def report(counts, before_label, before, argv, title="# Instructions per call"):
    valgrind = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    now = revision()
    lines = [
        title,
        "",
        f"- interpreter: {platform.python_implementation()} {platform.python_version()}, {valgrind}",
        f"- date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
        f"- before: {before_label or now}",
        f"- after: {now}",
        "- command: `" + " ".join(["python bench/instructions.py", *argv]) + "`",
        "- each count: instructions inside the call, (run of 1 + N calls - run of 1 call) / N",
        "",
    ]
    heads = []
    for f in FUNCTIONS:
        heads += [f"{f} before", "after", "after / before"]
    lines += ["| document | " + " | ".join(heads) + " |", "|---|" + "---:|" * len(heads)]
    for name, row in counts.items():
        cells = []
        for f in FUNCTIONS:
            old = before.get(name, {}).get(f)
            new = row[f]
            cells += [f"{old:,}" if old else "n/a", f"{new:,}", f"{new / old:.2f}" if old else "n/a"]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    run = load_run_module()
    parser.add_argument("--data", type=Path, default=run.BENCH_DATA, help="folder of JSON documents")
    parser.add_argument("--only", default="", help="only documents whose name contains this")
    parser.add_argument("--repeats", type=int, default=3, help="N, the calls counted beyond the first")
    parser.add_argument("--jobs", type=int, default=2, help="valgrind runs at once")
    parser.add_argument("--write", action="store_true", help=f"write {RESULTS.name}")
    parser.add_argument("--baseline", action="store_true", help="store the counts as the before column")
    parser.add_argument("--section", action="store_true",
                        help="this interpreter's table as a section of its own, the rest kept")
    parser.add_argument("--results", type=Path, default=RESULTS)
    args = parser.parse_args(argv)
    if platform.python_implementation() != "CPython":
        raise SystemExit("instruction counts are taken on CPython")
    with tempfile.TemporaryDirectory() as workdir:
        counts = measure(run, args.data, args.only, args.repeats, args.jobs, workdir)
    if args.baseline:
        before_label, before = revision(), counts
    else:
        before_label, before = read_before(args.results, args.section)
    if args.section:
        version = "{}.{}".format(*sys.version_info[:2])
        text = report(counts, before_label, before, argv, f"## CPython {version}")
    else:
        text = report(counts, before_label, before, argv)
    print(text)
    if args.write:
        if args.section:
            run.replace_section(args.results, section_name(), text.rstrip("\n").split("\n"))
        else:
            # Other interpreters' sections stay after the main table.
            kept = run.kept_sections(args.results)
            args.results.write_text("\n".join([text.rstrip("\n"), *kept]) + "\n", encoding="utf-8")
    return counts


if __name__ == "__main__":
    main()
