"""The real-world JSON documents the benchmarks and the fuzz seed corpus are made from.

They are not in the repository: each is a copy of a file in a public repository, listed here
with its size and SHA-256 so that a folder can be checked before results or seeds that depend
on the exact set are written. Point VEZUVIR_BENCH_DATA (or --data) at a folder holding them.
"""

import hashlib
from pathlib import Path

_RAW = "https://raw.githubusercontent.com/"
_S1 = _RAW + "serde-rs/json-benchmark/17b13dd2d7a5e5fdd5594e847077932f955b5e2b/data/"
_S2 = _RAW + "simdjson/simdjson/19c3b1315a2a6b8ab0a6b7335bb97269cbd0a448/jsonexamples/"

# file name: (where to fetch it, size in bytes, sha256)
DOCUMENTS = {
    "apache_builds.json":
        (_S2, 127275, "f8e3422ac7d3c3550674afcb37e979e4e9bbeccffdb66933423495d55b6f5c74"),
    "canada.json":
        (_S1, 2251051, "f83b3b354030d5dd58740c68ac4fecef64cb730a0d12a90362a7f23077f50d78"),
    "citm_catalog.json":
        (_S1, 1727204, "a73e7a883f6ea8de113dff59702975e60119b4b58d451d518a929f31c92e2059"),
    "github_events.json":
        (_S2, 65132, "c9eebb2cf2d46649059e9d48700919bacb3e8e0fb58452065a1a9de7778fd22e"),
    "gsoc-2018.json":
        (_S2, 3327831, "72f1ef4898d88049da856c2ab8f4ec3e2c968ce209b2bbfd16cef842eb2e185f"),
    "instruments.json":
        (_S2, 220346, "f3069235d4e2695d36c0c7735a435a7abb279fc4d64bbcf4ed9f888b8da1fdb9"),
    "marine_ik.json":
        (_S2, 2983466, "61590a397542ae274ccd8a47ba9f64e7c9216a223a5e7e702dea5b2375411d62"),
    "mesh.json":
        (_S2, 723597, "45bc8bf429340a874a7af8ea7056d60497402f80f55dba1e6ecc4ca8f1e46aff"),
    "numbers.json":
        (_S2, 150124, "82e9ddfe00963110ed8a0704e7df4d1ad1af9c0f336d1b24431ebc63cf430a2b"),
    "random.json":
        (_S2, 510476, "61a3544f2bc987b7378c66a9025b1f23eb5456d4f0443595c06d6fc20f3b0a68"),
    "tree-pretty.json":
        (_S2, 34556, "2ad825c7b90213ea4c0793565ae747b8c9ece26e44d51d9702bfc0e5869f454e"),
    "twitter.json":
        (_S1, 631514, "a08b769f32b95f426cbc3abafcec65c1a19d3eb544d4ddf320eae142c99efc5d"),
    "update-center.json":
        (_S2, 533178, "e7b6a037bfdb5abdf122fa3445ddfacea78522a23df31c4799884c4ebf4c01fa"),
}


def problems(folder):
    """What keeps ``folder`` from holding exactly the set above: one line per file, or []."""
    folder = Path(folder)
    found = {path.name for path in folder.glob("*.json")} if folder.is_dir() else set()
    lines = [f"{name}: missing" for name in sorted(set(DOCUMENTS) - found)]
    lines += [f"{name}: not one of the documents" for name in sorted(found - set(DOCUMENTS))]
    for name in sorted(found & set(DOCUMENTS)):
        if hashlib.sha256((folder / name).read_bytes()).hexdigest() != DOCUMENTS[name][2]:
            lines.append(f"{name}: not the expected copy (its SHA-256 differs)")
    return lines


def where_to_get(folder):
    """How to fill ``folder`` with the documents, for a message."""
    lines = [
        f"The {len(DOCUMENTS)} documents are listed with their sources and checksums in "
        "bench/documents.py; fetch them into a folder and point VEZUVIR_BENCH_DATA (or --data) "
        "at it, for example:",
        f"    mkdir -p {folder}",
    ]
    for name, (base, _, _) in sorted(DOCUMENTS.items()):
        lines.append(f"    curl -fsSLo {Path(folder) / name} {base}{name}")
    return "\n".join(lines)
