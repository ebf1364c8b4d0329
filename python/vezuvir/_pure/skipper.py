"""The lazy readers' decoder: it steps over encoded values without building them.

Every string it steps over is still entered in the back-reference table, as a position
(`offset << 1 | key_form`, the offset of its length field) instead of a str, so that a
later back-reference resolves; the str is built the first time one asks for it. Steps
over length-prefixed or fixed-size data are not bounds-checked on the spot: the position
may pass the end, and the next read fails with "Unexpected end of input".
"""

import sys

from vezuvir._pure._common import (
    ANY_KEY_DICT,
    ASCII_STRING,
    BOOL,
    BYTES,
    CONSISTENT_LIST,
    CUSTOM,
    DICT,
    EMPTY_DICT,
    ESCAPE,
    FLOAT,
    KEY_POINTER,
    LARGE_POINTER,
    LIST,
    MAX_DEPTH,
    MAX_U64,
    NEGATIVE_INT,
    NONE,
    POINTER1,
    POSITIVE_INT,
    SMALL_INT,
    STRING,
    STRUCTURED_LIST,
    end_of_input,
    too_deep,
)
from vezuvir._pure.decoder import Decoder, long_varint

# Flags of the values that hold other values.
_OPENS = [False] * 256
for _flag in (LIST, DICT, ANY_KEY_DICT, STRUCTURED_LIST, CUSTOM):
    _OPENS[_flag] = True
del _flag

# Bytes taken by a value of fixed size, flag included, by its flag; 0 for the rest.
_FIXED_SIZE = [1 if flag <= EMPTY_DICT or flag >= SMALL_INT else 0 for flag in range(256)]
_FIXED_SIZE[FLOAT] = 9
for _width in range(1, 5):
    _FIXED_SIZE[POINTER1 + _width - 1] = 1 + _width
del _width


def _floats_at(data, end, pos, most):
    """How many floats, at most `most`, follow one another from `pos`: found from their
    flags, every ninth byte, in one slice rather than a step per float. Only long lists
    starting with a float ask: a test for it among the skipper loop's own steps slowed
    every other document. Callers pass the data's own end, not a bounded walk's: a run is
    stepped over in one slice, so a walk bounded to the first bytes may pass over it whole."""
    k = min(most, (end - pos) // 9)
    return k - len(data[pos : pos + 9 * k : 9].lstrip(b"\x09"))


class Reader(Decoder):
    """Decoder and skipper of the lazy readers, over a table of strings and positions."""

    def __init__(self, data, converters, limits, start=0):
        Decoder.__init__(self, data, False, converters, limits, start)

    def back_reference(self, index):
        strings = self.strings
        if index >= len(strings):
            raise end_of_input()
        entry = strings[index]
        if type(entry) is str:
            return entry
        # Built once: a later back-reference to the same string gets this object.
        text = strings[index] = self.stepped_over_string(entry)
        return text

    def stepped_over_string(self, entry):
        """The string a stepped-over entry of the table points to (its position, times two,
        plus one for a key's form), read without moving on."""
        saved = self.pos
        self.pos = entry >> 1
        try:
            return self.marked_string(254 if entry & 1 else 255)
        finally:
            self.pos = saved

    def stored_equals(self, index, text, utf8):
        """Whether table entry `index` is the string `text` (UTF-8 `utf8`), without building
        a skipped one."""
        strings = self.strings
        if index >= len(strings):
            raise end_of_input()
        entry = strings[index]
        if type(entry) is str:
            return entry == text
        start, n, _ = self.body_at(entry >> 1, 254 if entry & 1 else 255)
        return n == len(utf8) and self.data[start : start + n] == utf8

    # --- stepping over values ---------------------------------------------------------

    def advance(self, n):
        # The extension's offsets are 64-bit: a step that would wrap fails, at the largest
        # offset (`skip_record` reports where the declared lengths lead).
        if n > MAX_U64 - self.pos:
            self.pos = MAX_U64
            raise end_of_input()
        self.pos += n

    def skip_varint(self):
        data = self.data
        pos = self.pos
        end = self.end
        if pos >= end:
            raise end_of_input()
        if data[pos] != ESCAPE:
            self.pos = pos + 1
            return
        # The terminator looked for in place among the next four bytes (ints of 64 bits
        # take up to eight digits); farther by `find`.
        if pos + 4 < end:
            if data[pos + 1] == ESCAPE:
                self.pos = pos + 2
                return
            if data[pos + 2] == ESCAPE:
                self.pos = pos + 3
                return
            if data[pos + 3] == ESCAPE:
                self.pos = pos + 4
                return
            if data[pos + 4] == ESCAPE:
                self.pos = pos + 5
                return
        stop = data.find(b"\xff", pos + 1)
        if stop < 0:
            self.pos = end
            raise end_of_input()
        self.pos = stop + 1

    def skip_string(self):
        """A string body at its varint length, recorded before it is read, so the table
        numbering matches a full decoder's even when the string is cut short."""
        self.strings.append(self.pos << 1)
        self.advance(self.varint())

    def skip_dict_key(self):
        pos = self.pos
        if self.data[pos] == KEY_POINTER:
            self.pos = pos + 1
            self.skip_varint()
            return
        self.strings.append(pos << 1 | 1)
        data = self.data
        n = data[pos]
        pos += 1
        if n == ESCAPE:
            n, pos = long_varint(data, self.end, pos, 254)
        self.pos = pos
        self.advance(n)

    def loop_room(self):
        """Levels of containers `skip_run` may open from here, or 0 where it must not run:
        at the last level, where `skip` would count a container's level before a bad flag."""
        room = min(MAX_DEPTH, sys.getrecursionlimit()) - self.depth
        return room if room > 0 and self.depth + 1 < MAX_DEPTH else 0

    def skip_values(self, n):
        """Steps over `n` consecutive values."""
        # The values as the items of one container: the same steps, in one loop.
        room = self.loop_room()
        if room:
            self.skip_run(n, 0, room)
            return
        skip = self.skip
        for _ in range(n):
            skip()

    def skip(self):
        """Steps over one complete encoded value, flag included."""
        data = self.data
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        flag = data[pos]
        size = _FIXED_SIZE[flag]
        if size:
            self.pos = pos + size
            return
        self.pos = pos + 1
        if flag == POSITIVE_INT or flag == NEGATIVE_INT or flag == LARGE_POINTER:
            self.skip_varint()
        elif flag == STRING or flag == ASCII_STRING:
            self.skip_string()
        elif flag == BYTES:
            self.advance(self.varint())
        elif flag == CONSISTENT_LIST:
            self.skip_consistent_list()
        else:
            depth = self.depth + 1
            if depth > MAX_DEPTH:
                raise too_deep(" while skipping an encoded value")
            self.depth = depth
            self.skip_container(flag)
            self.depth = depth - 1

    def skip_container(self, flag):
        """Steps over a container whose flag was just read, and all it holds, in one loop
        rather than a call per nested container: `pending` counts the values the innermost
        open container still holds (a `Dict` its entries, each a key and a value), and
        `stack` keeps the counts of the containers around it.

        The position stays a local, and the common steps are taken in place: fixed-size
        values, strings and literal keys of short length, key back-references of one
        byte, lists and dicts of short count. Anything else goes through `skip` and
        `skip_dict_key` with the position handed over and back."""
        # Levels that may still open: nesting is bounded here as the recursion limit (and
        # MAX_DEPTH) bounds it where each level is a call.
        room = min(MAX_DEPTH, sys.getrecursionlimit()) - self.depth
        pending, keyed = self.children(flag)
        self.skip_run(pending, keyed, room)

    def skip_run(self, pending, keyed, room, seek=0, wanted="", utf8=b""):
        """Steps over `pending` values (`keyed`: dict entries, a key and a value each) and
        all they hold, opening at most `room` levels of containers.

        With `seek` set the entries are those of the dict a path step searches for the key
        `wanted` (`utf8` its UTF-8 bytes): each of its own keys is compared, and at the
        first that matches this returns True with `pos` at its value. Searching in this
        loop rather than skipping each value by a call costs PyPy one loop entry per dict,
        not one per entry. (`seek` is an int and the others always a str and bytes: locals
        whose type changes between calls would make PyPy compile the loop again.)"""
        data = self.data
        end = self.end
        enter = self.strings.append
        stack = []
        pos = self.pos
        if not keyed and pending >= 16 and pos < end and data[pos] == FLOAT:
            floats = _floats_at(data, len(data), pos, pending)
            pos += 9 * floats
            pending -= floats
        while True:
            if not pending:
                if not stack:
                    self.pos = pos
                    return False
                pending = stack.pop()
                keyed = pending & 1
                pending >>= 1
                continue
            pending -= 1
            if pos >= end:
                self.pos = pos
                raise end_of_input()
            byte = data[pos]
            if keyed:
                # A dict entry, key and value in one step (the loop's branches then repeat
                # from entry to entry). The key: KEY_POINTER and a varint index, or a
                # key_varint length.
                if seek and not stack:
                    self.pos = pos
                    if self.key_matches(wanted, utf8):
                        return True
                    pos = self.pos
                elif byte == KEY_POINTER and pos + 1 < end and data[pos + 1] != ESCAPE:
                    pos += 2
                elif byte != KEY_POINTER and byte != ESCAPE:
                    enter(pos << 1 | 1)
                    pos += 1 + byte
                else:
                    self.pos = pos
                    self.skip_dict_key()
                    pos = self.pos
                if pos >= end:
                    self.pos = pos
                    raise end_of_input()
                byte = data[pos]
            size = _FIXED_SIZE[byte]
            if size:
                pos += size
                continue
            if byte == POSITIVE_INT or byte == NEGATIVE_INT:
                pos += 1
                if pos < end and data[pos] != ESCAPE:
                    pos += 1
                    continue
                # The long form's terminator among its next three bytes (ints below
                # 255**3: ids, offsets, indices), else out of line.
                if pos + 3 < end:
                    if data[pos + 1] == ESCAPE:
                        pos += 2
                        continue
                    if data[pos + 2] == ESCAPE:
                        pos += 3
                        continue
                    if data[pos + 3] == ESCAPE:
                        pos += 4
                        continue
                self.pos = pos
                self.skip_varint()
                pos = self.pos
                continue
            if byte == ASCII_STRING or byte == STRING:
                # Entered before its length is read, as `skip_string` does.
                pos += 1
                enter(pos << 1)
                if pos >= end:
                    self.pos = pos
                    raise end_of_input()
                n = data[pos]
                if n != ESCAPE:
                    pos += 1 + n
                    continue
                n, pos = long_varint(data, end, pos + 1, 255)
                # The extension's offsets are 64-bit: a step that would wrap fails.
                if n > MAX_U64 - pos:
                    self.pos = MAX_U64
                    raise end_of_input()
                pos += n
                continue
            if _OPENS[byte]:
                if len(stack) >= room:
                    self.pos = pos
                    raise too_deep(" while skipping an encoded value")
                # One int per level (count and key flag) rather than a tuple to allocate.
                stack.append(pending << 1 | keyed)
                if (byte == LIST or byte == DICT) and pos + 1 < end and data[pos + 1] != ESCAPE:
                    if byte == LIST:
                        pending = data[pos + 1]
                        keyed = 0
                    else:
                        pending = data[pos + 1]
                        keyed = 1
                    pos += 2
                else:
                    self.pos = pos + 1
                    pending, keyed = self.children(byte)
                    pos = self.pos
                if byte == LIST and pending >= 16 and pos < end and data[pos] == FLOAT:
                    floats = _floats_at(data, len(data), pos, pending)
                    pos += 9 * floats
                    pending -= floats
                continue
            self.pos = pos
            self.skip()
            pos = self.pos

    def key_matches(self, wanted, utf8):
        """Whether the `Dict` key at `pos` is `wanted` (UTF-8 `utf8`), compared as bytes,
        never built; `pos` is left after it. A stored key that is not valid UTF-8 cannot
        match."""
        data = self.data
        pos = self.pos
        if data[pos] == KEY_POINTER:
            self.pos = pos + 1
            return self.stored_equals(self.varint(), wanted, utf8)
        # Entered in the table as the full decoder would.
        self.strings.append(pos << 1 | 1)
        start, stored, self.pos = self.body_at(pos, 254)
        return stored == len(utf8) and data[start : start + stored] == utf8

    def children(self, flag):
        """(values a container holds, or entries of a `Dict` with 1: their keys are read
        as dict keys), read from its header, `pos` just after its flag."""
        if flag == DICT:
            return self.varint(), 1
        if flag == LIST:
            return self.varint(), 0
        if flag == STRUCTURED_LIST:
            # Row 0 is `keys` (key, field) pairs; each further row `keys` fields.
            rows = self.varint()
            keys = self.varint()
            return 2 * keys + (keys * (rows - 1) if keys and rows > 1 else 0), 0
        if flag == ANY_KEY_DICT:
            return 2 * self.varint(), 0
        if flag == CUSTOM:
            return 2, 0
        # Bool is only an element type; 25 to 29 are unassigned.
        raise TypeError("Unexpected flag")

    def skip_consistent_list(self):
        """<element type> <varint count> <packed elements>, position after the flag."""
        element_type, count = self.packed_header()
        if element_type == NONE:
            return
        if element_type == FLOAT:
            if count > MAX_U64 // 8:
                self.pos = MAX_U64
                raise end_of_input()
            self.advance(count * 8)
        elif element_type == STRING:
            for _ in range(count):
                self.skip_string()
        elif element_type == BYTES:
            for _ in range(count):
                self.advance(self.varint())
        elif element_type == BOOL:
            self.advance((count + 7) // 8)
        else:
            raise TypeError(f"Unexpected type flag: {element_type}")

