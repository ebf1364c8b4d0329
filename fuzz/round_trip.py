"""Object tree from the fuzzer's bytes -> dump_bytes -> load_bytes must give the tree back;
streaming through a writer must give the same bytes; a lazy read along a path into the tree
must give the value at that path."""

import math

import atheris

import common
from vezuvir import Idx, dump_bytes, lazy_load_bytes, load_bytes

common.check_instrumented()

SCALAR_KEYS = ["a", "", "é", "😀", 0, 1, -1, 2**64, 2.5, -0.5, None, True, False, b"k"]


def make_value(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 13 if depth < 6 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-300, 300)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 24))
    if kind == 4:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloat()
    if kind == 5:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
    if kind == 6:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if kind == 7:
        return fdp.PickValueInList(["a", "b", "é", ""])  # repeats: back-references
    if kind == 8:
        return [make_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    if kind == 9:
        return tuple(make_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    if kind == 10:  # packed lists: all None, all bool, all float, all str, all bytes
        n = fdp.ConsumeIntInRange(1, 40)
        which = fdp.ConsumeIntInRange(0, 4)
        return [(None, fdp.ConsumeBool(), fdp.ConsumeRegularFloat(), "s" * (i % 3), b"b")[which]
                for i in range(n)]
    if kind == 11:  # rows sharing one key set: the structured list form
        keys = list({fdp.PickValueInList(["a", "b", "id", "é", ""]) for _ in range(fdp.ConsumeIntInRange(0, 4))})
        return [{k: make_value(fdp, depth + 1) for k in keys} for _ in range(fdp.ConsumeIntInRange(1, 5))]
    if kind == 12:
        return {fdp.PickValueInList(SCALAR_KEYS): make_value(fdp, depth + 1)
                for _ in range(fdp.ConsumeIntInRange(0, 5))}
    return {fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8)): make_value(fdp, depth + 1)
            for _ in range(fdp.ConsumeIntInRange(0, 5))}


def same(original, decoded):
    """Equal, with the decoder's types: tuples come back as lists, NaN matches NaN."""
    if isinstance(original, (list, tuple)):
        return type(decoded) is list and len(original) == len(decoded) and all(
            same(a, b) for a, b in zip(original, decoded))
    if isinstance(original, dict):
        return type(decoded) is dict and len(original) == len(decoded) and all(
            k in decoded and type(k) is type(next(d for d in decoded if d == k)) and same(v, decoded[k])
            for k, v in original.items())
    if isinstance(original, float) and math.isnan(original):
        return isinstance(decoded, float) and math.isnan(decoded)
    return type(original) is type(decoded) and original == decoded


def pick_path(fdp, value):
    path = []
    while fdp.ConsumeIntInRange(0, 3) and isinstance(value, (list, tuple, dict)) and value:
        if isinstance(value, dict):
            key = fdp.PickValueInList(list(value))
            path.append(key)
            value = value[key]
        else:
            i = fdp.ConsumeIntInRange(0, len(value) - 1)
            path.append(Idx(i))
            value = value[i]
    return path, value


class Chunks:
    def __init__(self):
        self.chunks = []

    def write(self, chunk):
        self.chunks.append(chunk)


def target(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    value = make_value(fdp, 0)
    encoded = dump_bytes(value)
    decoded = load_bytes(encoded)
    assert same(value, decoded), (value, decoded)
    writer = Chunks()
    assert dump_bytes(value, writer=writer, flush_threshold=fdp.ConsumeIntInRange(0, 64),
                      direct_write_threshold=fdp.ConsumeIntInRange(0, 64)) is None
    assert b"".join(writer.chunks) == encoded
    path, expected = pick_path(fdp, value)
    assert same(expected, lazy_load_bytes(encoded, path)), path


if __name__ == "__main__":
    common.run(target)
