"""vezuvir beside the peers it must beat on this interpreter, and nothing else: a quick check of
the speed targets while working on the codec (bench/run.py writes the full record).

On PyPy the peers are its own json and msgpack (its pure-Python fallback there); elsewhere
msgpack and json too, so the script runs anywhere. Per document it prints the median time per
call of encode, decode and a lazy read of the last leaf, and the ratios the targets name.

    python bench/peers.py [--only twitter] [--rounds 9] [--min-ms 5] [--wall-time] [--floor]
                          [--no-table] [--extension-lazy] [--reads] [--walk-alone]

--floor adds a column: the time Python code takes to build the same tree entry by entry
from a flat list of its scalars and container sizes, with no bytes to read at all, over
json.loads' time. On PyPy it shows what building dicts from Python code costs beside the
interpreter's own json module, which builds its dicts natively.

--no-table (pure backend on PyPy) encodes with a writer that keeps no table of the strings
it wrote: each one in full, never a back-reference (a valid encoding, only larger). Against
a run without it, that shows what the table costs, which msgpack's and json's writers do not
keep. Run it with --only, one document per process: where our own writer has run first,
the JIT's code for it fails this one's class checks, and neither is measured.

--extension-lazy (pure backend, with the extension built) adds the same end read through
the C++ extension, over our full load: the extension steps over the values in C, and only
the buffer, the path and the leaf cross PyPy's C-API emulation.

--reads adds a line per document: every lazy read (a value near the start, the middle and
the end, a missing key, bytes_check_if_contains of the end), in µs and over our full load.
On PyPy with the extension built, the pure codec's lazy reads have the extension walk their
paths; --walk-alone makes them walk the paths themselves, as before they could. Compare the
two in separate processes, one document each: in one process either way's compiled code
would slow the other's.
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
from vezuvir._pure import locate, outputs  # noqa: E402
from vezuvir._pure._common import EMPTY_STRING, STRING  # noqa: E402
from vezuvir._pure.dump import _encode  # noqa: E402
from vezuvir._pure.encoder import varint_bytes  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--min-ms", type=float, default=5.0)
    parser.add_argument("--data", type=Path, default=run.BENCH_DATA)
    parser.add_argument("--wall-time", action="store_true", help="wall time, not process CPU time")
    parser.add_argument("--floor", action="store_true", help="add the tree-building floor / json")
    parser.add_argument("--no-table", action="store_true", help="encode without the string table")
    parser.add_argument("--extension-lazy", action="store_true", help="add extension end read / load")
    parser.add_argument("--reads", action="store_true", help="add every lazy read, µs and / load")
    parser.add_argument("--walk-alone", action="store_true",
                        help="pure backend: lazy reads walk their paths without the extension")
    args = parser.parse_args(argv)
    run.clock = time.perf_counter_ns if args.wall_time else time.process_time_ns
    if args.walk_alone:
        if vezuvir.backend != "python":
            raise SystemExit("--walk-alone measures the pure backend's lazy reads")
        locate.LOCATOR = None
    min_ns = args.min_ms * 1e6
    walker = vezuvir.backend == "python" and locate.locator() is not None
    print(f"vezuvir {vezuvir.backend} backend, msgpack {msgpack.version}, {run.machine()}"
          + (", encoding without the string table" if args.no_table else "")
          + (", lazy paths walked by the extension" if walker else ""))
    dump = _tableless_dump() if args.no_table else vezuvir.dump_bytes
    extension = _extension() if args.extension_lazy else None
    print("document        | enc µs   /json /msgp | dec µs   /json /msgp | end µs  /load"
          + (" | floor/json" if args.floor else "")
          + (" | ext end/load" if extension else ""))
    worst = {}
    for path in sorted(args.data.glob("*.json")):
        if args.only not in path.stem:
            continue
        value = json.loads(path.read_text(encoding="utf-8"))
        packed, text = msgpack.packb(value), json.dumps(value)
        if dump is not vezuvir.dump_bytes and vezuvir.load_bytes(dump(value)) != value:
            raise AssertionError(f"{path.stem} does not round-trip without the table")
        # Encoding first: with --no-table our own writer has not run yet in this process.
        enc = run.interleaved(
            {"ours": (dump, (value,)), "json": (json.dumps, (value,)),
             "msgpack": (msgpack.packb, (value,))},
            args.rounds, min_ns,
        )
        ours = vezuvir.dump_bytes(value)
        if vezuvir.load_bytes(ours) != value:
            raise AssertionError(f"{path.stem} does not round-trip")
        end = run.lazy_paths(value)["end"]
        if vezuvir.lazy_load_bytes(ours, end) != run.follow(value, end):
            raise AssertionError(f"lazy read of {end} in {path.stem} is wrong")
        decoders = {"ours": (vezuvir.load_bytes, (ours,)), "json": (json.loads, (text,)),
                    "msgpack": (msgpack.unpackb, (packed,)), "end": (vezuvir.lazy_load_bytes, (ours, end))}
        if args.floor:
            tokens = flatten(value)
            if rebuild(tokens) != value:
                raise AssertionError(f"{path.stem} is not rebuilt from its tokens")
            decoders["floor"] = (rebuild, (tokens,))
        if extension:
            if extension.lazy_load_bytes(ours, end) != run.follow(value, end):
                raise AssertionError(f"the extension's lazy read of {end} in {path.stem} is wrong")
            decoders["extension end"] = (extension.lazy_load_bytes, (ours, end))
        if args.reads:
            decoders.update(_reads(ours, value))
        dec = run.interleaved(decoders, args.rounds, min_ns)
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
            f"| {dec['end'].median / 1e3:7.1f} {r[4]:5.3f}"
            + (f" | {dec['floor'].median / dec['json'].median:10.2f}" if args.floor else "")
            + (f" | {dec['extension end'].median / dec['ours'].median:12.3f}" if extension else ""),
            flush=True,
        )
        if args.reads:
            print("    lazy reads, µs (/ load): " + " | ".join(
                f"{read} {dec[read].median / 1e3:.1f} ({dec[read].median / dec['ours'].median:.3f})"
                for read in _READS), flush=True)
    for goal, (ratio, where) in worst.items():
        print(f"worst {goal}: {ratio:.2f} ({where})")


_READS = ("start", "middle", "missing", "contains")


def _reads(ours, value):
    """The lazy reads beside the end read: {name: (fn, args)}."""
    paths = run.lazy_paths(value)
    for read in ("start", "middle"):
        if vezuvir.lazy_load_bytes(ours, paths[read]) != run.follow(value, paths[read]):
            raise AssertionError(f"the {read} read is wrong")
    if not vezuvir.bytes_check_if_contains(ours, paths["end"]):
        raise AssertionError("bytes_check_if_contains misses the end")
    return {
        "start": (vezuvir.lazy_load_bytes, (ours, paths["start"])),
        "middle": (vezuvir.lazy_load_bytes, (ours, paths["middle"])),
        "missing": (run.missing_read, (ours, paths["missing"])),
        "contains": (vezuvir.bytes_check_if_contains, (ours, paths["end"])),
    }


def _tableless_dump():
    """dump_bytes through the pure codec's PyPy writer with its string table taken out."""
    if vezuvir.backend != "python" or not hasattr(outputs, "BuilderEncoder"):
        raise SystemExit("--no-table measures the pure backend's writer on PyPy")
    byte, heads, key_heads = outputs.BYTE, outputs.ASCII_HEADS, outputs.ASCII_KEY_HEADS
    content = outputs._utf8content

    class Tableless(outputs.BuilderEncoder):
        # Each string in full: the pieces the table's writer appends for a first occurrence,
        # in the same steps as its own `string` and `dict_key`, so that only the table is
        # left out. (A helper shared by the two made this writer about 10% slower.)
        def string(self, text):
            out = self.out
            if not text:
                out.append(byte[EMPTY_STRING])
                return
            ascii = text.isascii()
            utf8 = content(text) if ascii else text.encode("utf-8")
            n = len(utf8)
            if ascii and n < 255:
                out.append(heads[n])
            else:
                out.append(byte[STRING] + varint_bytes(n))
            out.append(utf8)

        def dict_key(self, key, cache):
            out = self.out
            ascii = key.isascii()
            utf8 = content(key) if ascii else key.encode("utf-8")
            n = len(utf8)
            if ascii and n < 253:
                out.append(key_heads[n])
            else:
                out.append(varint_bytes(n, 254))
            out.append(utf8)

    return lambda value: _encode(Tableless(False, None, False), value)


def _extension():
    if vezuvir.backend != "python":
        raise SystemExit("--extension-lazy compares the extension with the pure backend")
    try:
        import _vezuvir
    except ImportError:
        raise SystemExit("--extension-lazy needs the C++ extension built") from None
    return _vezuvir


# Markers of a container in a flat token list, followed by its size.
_DICT, _LIST = object(), object()


def flatten(value):
    """The tree as a flat list: scalars as themselves, a dict as _DICT, its size, then key
    and value after value; a list as _LIST, its size, then its items."""
    tokens = []

    def put(item):
        if type(item) is dict:
            tokens.extend((_DICT, len(item)))
            for key, child in item.items():
                tokens.append(key)
                put(child)
        elif type(item) is list:
            tokens.extend((_LIST, len(item)))
            for child in item:
                put(child)
        else:
            tokens.append(item)

    put(value)
    return tokens


def rebuild(tokens):
    """The tree of a flat token list, built as a decoder must build it: dict by dict, in one
    loop with a stack of its own (on PyPy a recursive builder spends more on its calls than
    on the containers, and would overstate the floor)."""
    holder = []
    out, is_dict, left = holder, False, 1
    stack = []
    pos = 0
    while True:
        if not left:
            if not stack:
                return holder[0]
            is_dict, left, out = stack.pop(), stack.pop(), stack.pop()
            continue
        left -= 1
        if is_dict:
            key, token = tokens[pos], tokens[pos + 1]
            pos += 2
        else:
            token = tokens[pos]
            pos += 1
        if token is _DICT or token is _LIST:
            child = {} if token is _DICT else []
        else:
            child = token
        if is_dict:
            out[key] = child
        else:
            out.append(child)
        if child is not token:
            stack += (out, left, is_dict)
            out, is_dict, left = child, token is _DICT, tokens[pos]
            pos += 1


if __name__ == "__main__":
    main()
