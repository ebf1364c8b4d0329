"""A small, slow writer of the encoding, independent of the extension's encoder.

It writes the plain forms only (no packed or structured lists), with back-references
of every width, so decoder tests can build large valid inputs without `dump_bytes`.
"""

import struct

MARKER = b"<o>"


def varint(value, base=255):
    if value < base:
        return bytes([value])
    out = bytearray([255])
    rest = value - base
    while rest:
        out.append(rest % base)
        rest //= base
    out.append(255)
    return bytes(out)


def pointer(index):
    for flag, width in ((20, 1), (21, 2), (22, 3), (23, 4)):
        if index < 1 << (8 * width):
            return bytes([flag]) + index.to_bytes(width, "big")
    return b"\x11" + varint(index)


class Writer:
    def __init__(self):
        self.table = {}
        self.out = bytearray(MARKER)

    def string_body(self, s, key):
        raw = s.encode()
        if key:
            if s.isascii():
                raw = b"\xfe" + raw
            return varint(len(raw), 254) + raw
        return varint(len(raw)) + raw

    def key(self, s):
        if s in self.table:
            self.out += b"\xfe" + varint(self.table[s])
        else:
            self.table[s] = len(self.table)
            self.out += self.string_body(s, key=True)

    def value(self, obj):
        out = self.out
        if obj is None or obj is True or obj is False:
            out.append({None: 4, True: 2, False: 3}[obj])
        elif type(obj) is int:
            if 0 <= obj <= 224:
                out.append(30 + obj)
            else:
                out += (b"\x07" if obj > 0 else b"\x08") + varint(abs(obj))
        elif type(obj) is float:
            out += b"\x09" + struct.pack(">d", obj)
        elif type(obj) is str:
            if not obj:
                out.append(0)
            elif obj in self.table:
                out += pointer(self.table[obj])
            else:
                self.table[obj] = len(self.table)
                out += (b"\x12" if obj.isascii() else b"\x0a") + self.string_body(obj, key=False)
        elif type(obj) is bytes:
            out += b"\x0b" + varint(len(obj)) + obj if obj else b"\x01"
        elif type(obj) in (list, tuple):
            if not obj:
                out.append(5)
                return
            out += b"\x0d" + varint(len(obj))
            for item in obj:
                self.value(item)
        elif type(obj) is dict:
            if not obj:
                out.append(6)
                return
            string_keys = all(type(k) is str for k in obj)
            out += (b"\x10" if string_keys else b"\x0f") + varint(len(obj))
            for k, v in obj.items():
                self.key(k) if string_keys else self.value(k)
                self.value(v)
        else:
            raise TypeError(type(obj))


def encode(obj):
    writer = Writer()
    writer.value(obj)
    return bytes(writer.out)
