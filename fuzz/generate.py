"""A structure-aware generator of hostile encodings, for the fuzz targets' mutators.

Byte-level mutation rarely builds what costs the readers most: containers nested many deep
whose declared counts are each near what the bytes after them could hold (so every level
may size itself for them), and back-references to one long string in every place a value
can stand (values, dict keys, custom identifiers, the values paths lead to), cheap to read
and large to print. This module writes such encodings, valid or cut short, from a seed.

No atheris here: tests and scripts can import it too.
"""

import random

from vezuvir._pure.encoder import varint_bytes

MARKER = b"<o>"
# The path header's keys (common.KEYS): generated dicts use them, so fuzzed paths reach in.
KEYS = ["a", "b", "id", "name", "type", "", "é", 0, 1, -7, 2.5, None, True, "key", "url", "data"]
STR_KEYS = [k for k in KEYS if isinstance(k, str)]
SCALAR_KEYS = [b"\x1e", b"\x1f", b"\x08\x07", b"\x09" + b"\x40\x04" + bytes(6), b"\x04", b"\x02"]


def varint(value):
    return varint_bytes(value)


def key_varint(value):
    return varint_bytes(value, 254)


def pointer(index):
    if index < 256:
        return b"\x14" + bytes([index])
    return b"\x11" + varint(index)


class Writer:
    """Writes one encoding of about `size` bytes. `strings` counts the strings written in
    full, so that back-references point at real entries (and a few just past them)."""

    def __init__(self, rng, size):
        self.rng = rng
        self.size = size
        self.out = bytearray(MARKER)
        self.strings = 0
        self.long_string = None  # index of the long string once written
        # Whether some back-references point past the strings written so far.
        self.dangling = rng.random() < 0.05
        # How deep the containers nest: mostly shallow, often past what a budget per level
        # would notice.
        self.depth = rng.choice([rng.randrange(1, 8), rng.randrange(8, 64), rng.randrange(64, 400)])

    def left(self):
        return max(0, self.size - len(self.out))

    def count(self, min_item_bytes):
        """A declared count near what the bytes left could hold, now and then past it."""
        # Less the count itself and the bytes of the container around it.
        room = max(0, self.left() - 8) // min_item_bytes
        roll = self.rng.random()
        if roll < 0.85:
            return max(1, room - self.rng.randrange(0, 3))
        if roll < 0.92:
            return room + self.rng.randrange(1, 4)
        return self.rng.randrange(0, 4)

    def text(self, n):
        self.out += b"\x12" + varint(n) + b"s" * n
        self.strings += 1
        return self.strings - 1

    def reference(self):
        """A back-reference, mostly to the long string."""
        if not self.strings:
            return b"\x04"
        roll = self.rng.random()
        if self.long_string is not None and roll < 0.8:
            return pointer(self.long_string)
        if not self.dangling or roll < 0.99:
            return pointer(self.rng.randrange(0, self.strings))
        return pointer(self.strings + self.rng.randrange(0, 2))  # one that is not there yet

    def references(self, n):
        self.out += b"\x0d" + varint(n)
        for _ in range(n):
            self.out += self.reference() if self.strings else b"\x04"

    def key(self):
        """A key of a str-keyed dict: literal (a path key) or a back-reference."""
        if self.strings and self.rng.random() < 0.5:
            index = self.long_string if self.long_string is not None else 0
            return b"\xfe" + varint(index)
        text = self.rng.choice(STR_KEYS).encode()
        self.strings += 1
        if text.isascii():
            return key_varint(len(text) + 1) + b"\xfe" + text
        return key_varint(len(text)) + text

    def leaf(self):
        roll = self.rng.random()
        if roll < 0.4 and self.strings:
            self.out += self.reference()
        elif roll < 0.55:
            # A list of references to the long string: small to read, large to print.
            self.references(self.rng.randrange(1, 60))
        elif roll < 0.7:
            self.out += self.rng.choice(SCALAR_KEYS)
        elif roll < 0.8:
            self.text(self.rng.randrange(0, 8))
        else:
            self.out += bytes([self.rng.choice([0x04, 0x05, 0x06, 0x1F, 0x02])])

    def container(self, depth):
        """One container that declares many items, the next level inside its first one."""
        kind = self.rng.choice(["list", "dict", "anykey", "rows", "custom"])
        if kind == "list":
            self.out += b"\x0d" + varint(self.count(1))
            self.value(depth + 1)
        elif kind == "dict":
            self.out += b"\x10" + varint(self.count(2)) + self.key()
            self.value(depth + 1)
        elif kind == "anykey":
            self.out += b"\x0f" + varint(self.count(2))
            self.any_key()
            self.value(depth + 1)
        elif kind == "rows":
            keys = self.count(2) if self.rng.random() < 0.5 else self.rng.randrange(1, 4)
            rows = self.count(max(1, keys)) if self.rng.random() < 0.5 else self.rng.randrange(0, 4)
            self.out += b"\x13" + varint(rows) + varint(keys)
            self.any_key()
            self.value(depth + 1)
        elif kind == "custom":
            # The identifier: a list of references to the long string, or any value.
            self.out += b"\x18"
            roll = self.rng.random()
            if roll < 0.4:
                self.references(self.count(2))
            elif roll < 0.7:
                self.references(self.rng.randrange(1, 200))
            else:
                self.leaf()
            self.value(depth + 1)

    def packed(self):
        """A packed list declaring about what is left; its elements are the fill."""
        element = self.rng.choice([0x04, 0x0C, 0x09, 0x0A, 0x0B])
        per_item = {0x04: 1, 0x0C: 1, 0x09: 8, 0x0A: 1, 0x0B: 1}[element]
        self.out += b"\x0e" + bytes([element]) + varint(self.count(per_item))

    def any_key(self):
        if self.strings and self.rng.random() < 0.6:
            self.out += self.reference()
        else:
            self.out += self.rng.choice(SCALAR_KEYS)

    def value(self, depth):
        if self.left() <= 8 or depth >= self.depth:
            if self.rng.random() < 0.2:
                self.packed()
            else:
                self.leaf()
        else:
            self.container(depth)

    def write(self):
        # The long string first, inside a list, so that everything after can refer to it.
        if self.rng.random() < 0.8:
            self.out += b"\x0d" + varint(self.count(1))
            self.long_string = self.text(self.rng.randrange(64, max(65, self.size // 3)))
        self.value(0)
        # Fill to the size the declared counts were measured against, so that each count
        # is near what the bytes after it hold; now and then cut short, or with extra bytes.
        # A zero byte is an item of every container: an empty string, or an empty key and
        # (the next zero) its empty value.
        fill = self.rng.choice([b"\x00"] * 6 + [b"\x1f", b"\x04", self.reference(), b"\x06"])
        self.out += fill * (self.left() // len(fill) + 1)
        roll = self.rng.random()
        if roll < 0.2:
            return bytes(self.out[: self.rng.randrange(len(MARKER), len(self.out) + 1)])
        return bytes(self.out[: self.size])


def encoding(rng, size):
    """One generated encoding of about `size` bytes."""
    return Writer(rng, max(8, size)).write()


def path_header(rng):
    """A path header [n][steps] of keys the generated dicts use and small indices."""
    n = rng.randrange(0, 8)
    steps = bytearray([n])
    for _ in range(n):
        if rng.random() < 0.5:
            steps += bytes([1, rng.randrange(0, 4)])  # Idx
        else:
            steps += bytes([0, rng.randrange(0, len(KEYS))])
    return bytes(steps)


def make_mutator(header, mutate):
    """A libFuzzer custom mutator: one call in four writes a fresh generated input behind
    the target's header (`"flags"`, `"path"` or `"log"`), one in ten puts a generated value
    in place of the tail of the input; the rest are `mutate`'s byte-level changes."""

    def mutator(data, max_size, seed):
        rng = random.Random(seed)
        roll = rng.random()
        if roll < 0.25:
            flags = bytes([rng.randrange(0, 8)])
            budget = rng.randrange(16, max(17, max_size - 20))
            if header == "path":
                return (flags + path_header(rng) + encoding(rng, budget))[:max_size]
            if header == "log":
                parts = [encoding(rng, budget // 3 + 8) for _ in range(rng.randrange(1, 4))]
                return (flags + b"".join(parts))[:max_size]
            return (flags + encoding(rng, budget))[:max_size]
        if roll < 0.35 and len(data) > 4:
            at = rng.randrange(1, len(data))
            tail = Writer(rng, max(8, max_size - at)).write()[len(MARKER):]
            return (data[:at] + tail)[:max_size]
        return mutate(data, max_size)

    return mutator
