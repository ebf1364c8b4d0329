"""vezuvir beside the peers it must beat on this interpreter, and nothing else: a quick check of
the speed targets while working on the codec (bench/run.py writes the full record).

On PyPy the peers are its own json and msgpack (its pure-Python fallback there); elsewhere
msgpack and json too, so the script runs anywhere. Per document it prints the median time per
call of encode, decode and a lazy read of the last leaf, and the ratios the targets name.

    python bench/peers.py [--only twitter] [--rounds 9] [--min-ms 5] [--wall-time]
"""

import argparse
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  (bench/run.py, beside this script)

import msgpack  # noqa: E402
import vezuvir  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--min-ms", type=float, default=5.0)
    parser.add_argument("--data", type=Path, default=run.BENCH_DATA)
    parser.add_argument("--wall-time", action="store_true", help="wall time, not process CPU time")
    args = parser.parse_args(argv)
    run.clock = time.perf_counter_ns if args.wall_time else time.process_time_ns
    min_ns = args.min_ms * 1e6
    print(f"vezuvir {vezuvir.backend} backend, msgpack {msgpack.version}, {run.machine()}")
    print("document        | enc µs   /json /msgp | dec µs   /json /msgp | end µs  /load")
    worst = {}
    for path in sorted(args.data.glob("*.json")):
        if args.only not in path.stem:
            continue
        value = json.loads(path.read_text(encoding="utf-8"))
        ours = vezuvir.dump_bytes(value)
        if vezuvir.load_bytes(ours) != value:
            raise AssertionError(f"{path.stem} does not round-trip")
        packed, text = msgpack.packb(value), json.dumps(value)
        end = run.lazy_paths(value)["end"]
        if vezuvir.lazy_load_bytes(ours, end) != run.follow(value, end):
            raise AssertionError(f"lazy read of {end} in {path.stem} is wrong")
        enc = run.interleaved(
            {"ours": (vezuvir.dump_bytes, (value,)), "json": (json.dumps, (value,)),
             "msgpack": (msgpack.packb, (value,))},
            args.rounds, min_ns,
        )
        dec = run.interleaved(
            {"ours": (vezuvir.load_bytes, (ours,)), "json": (json.loads, (text,)),
             "msgpack": (msgpack.unpackb, (packed,)), "end": (vezuvir.lazy_load_bytes, (ours, end))},
            args.rounds, min_ns,
        )
        ratios = {
            "encode/json": enc["ours"].median / enc["json"].median,
            "encode/msgpack": enc["ours"].median / enc["msgpack"].median,
            "decode/json": dec["ours"].median / dec["json"].median,
            "decode/msgpack": dec["ours"].median / dec["msgpack"].median,
            "end/load": dec["end"].median / dec["ours"].median,
        }
        for goal, ratio in ratios.items():
            if ratio > worst.get(goal, (0, ""))[0]:
                worst[goal] = (ratio, path.stem)
        r = list(ratios.values())
        print(
            f"{path.stem:15} | {enc['ours'].median / 1e3:8.1f} {r[0]:5.2f} {r[1]:5.2f} "
            f"| {dec['ours'].median / 1e3:8.1f} {r[2]:5.2f} {r[3]:5.2f} "
            f"| {dec['end'].median / 1e3:7.1f} {r[4]:5.3f}",
            flush=True,
        )
    for goal, (ratio, where) in worst.items():
        print(f"worst {goal}: {ratio:.2f} ({where})")


if __name__ == "__main__":
    main()
