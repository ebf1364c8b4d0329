"""Encodes a JSON document with vezuvir and compares the size with JSON and pickle.

Usage: python examples/encode_sample.py [path/to/document.json]
(defaults to the bundled samples/github_events.json)
"""

import json
import pickle
import sys
from pathlib import Path

import vezuvir

DEFAULT_SAMPLE = Path(__file__).resolve().parent.parent / "samples" / "github_events.json"


def main(argv):
    path = Path(argv[1]) if len(argv) > 1 else DEFAULT_SAMPLE
    data = json.loads(path.read_text(encoding="utf-8"))

    encoded = vezuvir.dump_bytes(data)
    sizes = [
        ("vezuvir.dump_bytes", len(encoded)),
        ("json.dumps (compact)", len(json.dumps(data, separators=(",", ":")).encode("utf-8"))),
        ("pickle.dumps", len(pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL))),
    ]
    print(f"{path.name}: {path.stat().st_size} bytes on disk")
    for name, size in sizes:
        print(f"  {name:<22} {size:>10} bytes  ({size / sizes[0][1]:.2f}x)")

    try:
        decoded = vezuvir.load_bytes(encoded)
    except NotImplementedError:
        print("round trip: skipped, load_bytes is not available in this build")
        return 0
    if decoded != data:
        print("round trip: FAILED, load_bytes(dump_bytes(data)) differs from data")
        return 1
    print("round trip: load_bytes(dump_bytes(data)) == data")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
