"""Where the encoder's bytes go: one `bytes` object (built in a bytearray, or on PyPy with
its bytes builder), or a writer that receives them in chunks.

The writer-backed encoder keeps the walk's split into `push` and `extend` exactly, because
where a flush or a direct write falls depends on it; the encoders that build one `bytes`
object override the composite writes to append whole groups at once.
"""

from vezuvir._pure._common import (
    ANY_KEY_DICT,
    ASCII_MARKER,
    ASCII_STRING,
    DICT,
    EMPTY_STRING,
    ESCAPE,
    FLOAT,
    KEY_POINTER,
    LARGE_POINTER,
    LIST,
    MARKER,
    MAX_INLINE_INT,
    NEGATIVE_INT,
    POINTER1,
    POSITIVE_INT,
    PYPY,
    SMALL_INT,
    STRING,
    STRUCTURED_LIST,
)
from vezuvir._pure.encoder import (
    BYTE,
    Encoder,
    container_changed,
    pack_f64,
    varint_bytes,
    without_utf8,
)


class ArrayEncoder(Encoder):
    """Builds the encoding in a bytearray, appending whole groups at once."""

    def __init__(self, serialize_dates, custom_types, python_may_run):
        Encoder.__init__(self, serialize_dates, custom_types, python_may_run)
        self.out = bytearray(MARKER)

    def push(self, byte):
        self.out.append(byte)

    def extend(self, run):
        self.out += run

    def varint(self, value, base=255):
        self.out += varint_bytes(value, base)

    def flag_varint(self, flag, value):
        out = self.out
        out.append(flag)
        out += varint_bytes(value)

    def flagged(self, flag, payload):
        out = self.out
        out.append(flag)
        n = len(payload)
        if n < 255:
            out.append(n)
        else:
            out += varint_bytes(n)
        out += payload

    def pointer(self, index):
        if index <= 0xFF:
            out = self.out
            out.append(POINTER1)
            out.append(index)
        else:
            Encoder.pointer(self, index)

    def float(self, value):
        out = self.out
        out.append(FLOAT)
        out += pack_f64(value)

    def string(self, text):
        out = self.out
        if not text:
            out.append(EMPTY_STRING)
            return
        cache = self.cache
        index = cache.get(text)
        if index is not None:
            if index <= 0xFF:
                out.append(POINTER1)
                out.append(index)
            else:
                Encoder.pointer(self, index)
            return
        try:
            utf8 = text.encode("utf-8")
        except UnicodeEncodeError as error:
            raise without_utf8(text) from error
        cache[text] = len(cache)
        out.append(ASCII_STRING if text.isascii() else STRING)
        n = len(utf8)
        if n < 255:
            out.append(n)
        else:
            out += varint_bytes(n)
        out += utf8

    def dict_key(self, key, cache):
        out = self.out
        index = cache.get(key)
        if index is not None:
            out.append(KEY_POINTER)
            out += varint_bytes(index)
            return
        try:
            utf8 = key.encode("utf-8")
        except UnicodeEncodeError as error:
            raise without_utf8(key) from error
        cache[key] = len(cache)
        n = len(utf8)
        if key.isascii():
            out += varint_bytes(n + 1, 254)
            out.append(ASCII_MARKER)
        else:
            out += varint_bytes(n, 254)
        out += utf8

    def integer(self, value):
        out = self.out
        if value >= 0:
            if value <= MAX_INLINE_INT:
                out.append(SMALL_INT + value)
                return
            flag = POSITIVE_INT
        else:
            flag = NEGATIVE_INT
            value = -value
        if value < 255:
            out.append(flag)
            out.append(value)
        else:
            run = self.magnitude(value)
            out.append(flag)
            out += run

    def finish(self):
        return bytes(self.out)


if PYPY:
    import cffi
    try:
        # The str's own UTF-8 buffer, without a copy (listed by PyPy as a debugging aid).
        from __pypy__ import utf8content as _utf8content
    except ImportError:  # pragma: no cover - every PyPy 3 so far has it

        def _utf8content(text):
            return text.encode("utf-8", "surrogatepass")

    from __pypy__.builders import BytesBuilder

    COUNTED = (LIST, DICT, STRUCTURED_LIST, ANY_KEY_DICT, LARGE_POINTER)
    _ffi = cffi.FFI()
    _alloc = _ffi.new_allocator(should_clear_after_alloc=False)

    MAX_I64 = (1 << 63) - 1
    # Whole pieces for short strings: a value's flag and length, an ASCII key's length and
    # marker, a key's back-reference (each append is a call into the builder).
    ASCII_HEADS = [BYTE[ASCII_STRING] + BYTE[n] for n in range(255)]
    STRING_HEADS = [BYTE[STRING] + BYTE[n] for n in range(255)]
    ASCII_KEY_HEADS = [BYTE[n + 1] + BYTE[ASCII_MARKER] for n in range(253)]
    KEY_REFS = [BYTE[KEY_POINTER] + BYTE[i] for i in range(255)]
    POINTER1_REFS = [BYTE[POINTER1] + BYTE[i] for i in range(256)]
    POINTER2_HEADS = [BYTE[POINTER1 + 1] + BYTE[i] for i in range(256)]
    # An int's flag and a magnitude below 255 (its one-digit varint).
    POSITIVE_PAIRS = [BYTE[POSITIVE_INT] + BYTE[n] for n in range(255)]
    NEGATIVE_PAIRS = [BYTE[NEGATIVE_INT] + BYTE[n] for n in range(255)]
    # A container's flag and a count below 255, by flag (the headers with a count).
    FLAG_COUNTS = [
        [BYTE[flag] + BYTE[n] for n in range(255)] if flag in COUNTED else None
        for flag in range(max(COUNTED) + 1)
    ]

    def _put_varint(p, pos, value):
        """Writes the varint of `value` < 2**63 at p[pos]; returns the position after it.
        Eight digits hold any such value; spelled out without a loop, which would keep
        the JIT from inlining this into the loops that call it."""
        if value < 255:
            p[pos] = value
            return pos + 1
        p[pos] = ESCAPE
        rest = value - 255
        end = pos + 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        if rest:
            p[end] = rest % 255
            rest //= 255
            end += 1
        p[end] = ESCAPE
        return end + 1

    def _put_int(p, pos, value):
        """Writes an int of at most 64 bits (magnitude) at p[pos]; returns the position after."""
        if value >= 0:
            if value <= MAX_INLINE_INT:
                p[pos] = SMALL_INT + value
                return pos + 1
            p[pos] = POSITIVE_INT
            return _put_varint(p, pos + 1, value)
        p[pos] = NEGATIVE_INT
        return _put_varint(p, pos + 1, -value)

    class BuilderEncoder(Encoder):
        """Builds the encoding with PyPy's bytes builder, which appends several times
        faster than a bytearray; single bytes go in as one-byte `bytes` objects.

        Floats and runs of numbers are first written into raw scratch memory, where the
        JIT stores each byte with one instruction, and appended from there in one piece:
        struct.pack costs several times more per float."""

        def __init__(self, serialize_dates, custom_types, python_may_run):
            Encoder.__init__(self, serialize_dates, custom_types, python_may_run)
            self.out = BytesBuilder()
            self.out.append(MARKER)
            # Entries in `cache`, the next back-reference index.
            self.count = 0
            self.scratch_size = 0
            self.scratch = None
            self.raw = None
            # Made with the first float: small documents without one do not pay for them.
            self.double = None
            self.bits = None

        def scratch_for(self, n):
            """Raw memory for at least `n` bytes, kept for the rest of the call."""
            if n > self.scratch_size:
                size = max(n, 2 * self.scratch_size, 64)
                self.scratch = _alloc("char[]", size)
                self.raw = _ffi.cast("unsigned char *", self.scratch)
                self.scratch_size = size
            return self.raw

        def put_float(self, p, pos, value):
            """Writes `Float` and the big-endian bits of `value` at p[pos:pos + 9]."""
            double = self.double
            if double is None:
                double = self.double = _ffi.new("double[1]")
                self.bits = _ffi.cast("int64_t *", double)
            double[0] = value
            x = self.bits[0]
            p[pos] = FLOAT
            p[pos + 1] = (x >> 56) & 0xFF
            p[pos + 2] = (x >> 48) & 0xFF
            p[pos + 3] = (x >> 40) & 0xFF
            p[pos + 4] = (x >> 32) & 0xFF
            p[pos + 5] = (x >> 24) & 0xFF
            p[pos + 6] = (x >> 16) & 0xFF
            p[pos + 7] = (x >> 8) & 0xFF
            p[pos + 8] = x & 0xFF

        has_runs = True

        # Lists of numbers, and lists of such lists (vectors, coordinates), are written in
        # runs: each run gathers items in scratch memory and is appended in one piece, so
        # that there is no call per item. A run stops at the first item it does not take;
        # that item goes through `item`, and the run starts again after it. Each kind of
        # run has its own loop, which the JIT compiles for that kind alone.

        def numbers(self, seq, n, first_cls):
            if first_cls is float:
                run = self.float_run
            elif first_cls is int:
                run = self.int_run
            else:
                run = self.vector_run
            out = self.out
            out.append(BYTE[LIST])
            out.append(varint_bytes(n))
            at = 0
            try:
                while at < n:
                    at = run(seq, at, n)
                    if at < n:
                        obj = seq[at]
                        writer = self.item(obj)
                        if writer is not None:
                            writer(obj)
                        at += 1
            except IndexError:
                # Shortened under the walk (only a finalizer can run here).
                raise container_changed(seq) from None
            if len(seq) != n:
                raise container_changed(seq)

        def flush_scratch(self, pos):
            if pos:
                self.out.append(_ffi.unpack(self.scratch, pos))

        def float_run(self, seq, at, n):
            p = self.scratch_for(min(9 * (n - at), 1 << 16))
            size = self.scratch_size
            pos = 0
            while at < n:
                obj = seq[at]
                if type(obj) is not float:
                    break
                if pos + 9 > size:
                    self.flush_scratch(pos)
                    pos = 0
                self.put_float(p, pos, obj)
                pos += 9
                at += 1
            self.flush_scratch(pos)
            return at

        def int_run(self, seq, at, n):
            p = self.scratch_for(min(11 * (n - at), 1 << 16))
            size = self.scratch_size
            pos = 0
            while at < n:
                obj = seq[at]
                if type(obj) is not int or not -MAX_I64 <= obj <= MAX_I64:
                    break
                if pos + 11 > size:
                    self.flush_scratch(pos)
                    pos = 0
                pos = _put_int(p, pos, obj)
                at += 1
            self.flush_scratch(pos)
            return at

        def vector_run(self, seq, at, n):
            """Items that are non-empty lists or tuples of numbers."""
            p = self.scratch_for(1 << 12)
            size = self.scratch_size
            pos = 0
            while at < n:
                obj = seq[at]
                cls = type(obj)
                if cls is not list and cls is not tuple:
                    break
                inner = len(obj)
                if not inner:
                    break
                if pos + 11 + 11 * inner > size:
                    self.flush_scratch(pos)
                    pos = 0
                    p = self.scratch_for(11 + 11 * inner)
                    size = self.scratch_size
                start = pos
                p[pos] = LIST
                pos = _put_varint(p, pos + 1, inner)
                for x in obj:
                    xcls = type(x)
                    if xcls is float:
                        self.put_float(p, pos, x)
                        pos += 9
                    elif xcls is int and -MAX_I64 <= x <= MAX_I64:
                        pos = _put_int(p, pos, x)
                    else:
                        break
                else:
                    at += 1
                    continue
                # Not all numbers: taken back, and written by `item`.
                pos = start
                break
            self.flush_scratch(pos)
            return at

        def push(self, byte):
            self.out.append(BYTE[byte])

        def extend(self, run):
            self.out.append(run)

        def varint(self, value, base=255):
            self.out.append(varint_bytes(value, base))

        def flag_varint(self, flag, value):
            if value < 255:
                self.out.append(FLAG_COUNTS[flag][value])
            else:
                out = self.out
                out.append(BYTE[flag])
                out.append(varint_bytes(value))

        def flagged(self, flag, payload):
            out = self.out
            out.append(BYTE[flag])
            out.append(varint_bytes(len(payload)))
            out.append(payload)

        def pointer(self, index):
            out = self.out
            if index <= 0xFF:
                out.append(POINTER1_REFS[index])
            elif index <= 0xFFFF:
                # Flag and high byte as one piece: int.to_bytes and bytes of a tuple cost
                # PyPy several times more than the appends.
                out.append(POINTER2_HEADS[index >> 8])
                out.append(BYTE[index & 0xFF])
            elif index <= 0xFFFFFF:
                out.append(BYTE[POINTER1 + 2])
                out.append(BYTE[index >> 16])
                out.append(BYTE[(index >> 8) & 0xFF])
                out.append(BYTE[index & 0xFF])
            else:
                Encoder.pointer(self, index)

        def float(self, value):
            p = self.scratch_for(9)
            self.put_float(p, 0, value)
            self.out.append(_ffi.unpack(self.scratch, 9))

        def string(self, text):
            out = self.out
            if not text:
                out.append(BYTE[EMPTY_STRING])
                return
            # Keyed by the str's own UTF-8 buffer (shared, not copied): PyPy looks up and
            # enters bytes keys faster than str keys, and the hash is the str's, computed once.
            utf8 = _utf8content(text)
            n = self.count
            index = self.cache.setdefault(utf8, n)
            if index != n:
                self.pointer(index)
                return
            self.count = n + 1
            if text.isascii():
                n = len(utf8)
                out.append(ASCII_HEADS[n] if n < 255 else BYTE[ASCII_STRING] + varint_bytes(n))
            else:
                # Lone surrogates fail here, as they do in the extension.
                utf8 = self.checked_utf8(text, utf8)
                n = len(utf8)
                out.append(STRING_HEADS[n] if n < 255 else BYTE[STRING] + varint_bytes(n))
            out.append(utf8)

        def dict_key(self, key, cache):
            out = self.out
            utf8 = _utf8content(key)
            n = self.count
            index = cache.setdefault(utf8, n)
            if index != n:
                if index < 255:
                    out.append(KEY_REFS[index])
                else:
                    out.append(BYTE[KEY_POINTER])
                    out.append(varint_bytes(index))
                return
            self.count = n + 1
            n = len(utf8)
            if key.isascii():
                if n < 253:
                    out.append(ASCII_KEY_HEADS[n])
                else:
                    out.append(varint_bytes(n + 1, 254))
                    out.append(BYTE[ASCII_MARKER])
            else:
                utf8 = self.checked_utf8(key, utf8)
                out.append(varint_bytes(len(utf8), 254))
            out.append(utf8)

        def checked_utf8(self, text, utf8):
            try:
                return text.encode("utf-8")
            except BaseException as error:
                # Not written: taken out again, so that the table matches what was written.
                del self.cache[utf8]
                self.count -= 1
                if isinstance(error, UnicodeEncodeError):
                    raise without_utf8(text) from error
                raise

        def integer(self, value):
            out = self.out
            if 0 <= value <= MAX_INLINE_INT:
                out.append(BYTE[SMALL_INT + value])
            elif -255 < value < 255:
                out.append(NEGATIVE_PAIRS[-value] if value < 0 else POSITIVE_PAIRS[value])
            elif -MAX_I64 <= value <= MAX_I64:
                # Flag and varint stored in scratch memory by code the JIT inlines.
                p = self.scratch_for(12)
                out.append(_ffi.unpack(self.scratch, _put_int(p, 0, value)))
            else:
                if value >= 0:
                    flag, run = POSITIVE_INT, self.magnitude(value)
                else:
                    flag, run = NEGATIVE_INT, self.magnitude(-value)
                out.append(BYTE[flag])
                out.append(run)

        def finish(self):
            return self.out.build()

    BytesEncoder = BuilderEncoder
else:
    BytesEncoder = ArrayEncoder


class WriterEncoder(Encoder):
    """Streams the encoding to `writer.write` in chunks: the buffer is flushed once it
    holds `flush_threshold` bytes, and a run of `direct_write_threshold` bytes or more is
    written on its own, after what was buffered before it."""

    def __init__(self, serialize_dates, custom_types, writer, flush_threshold, direct_threshold):
        Encoder.__init__(self, serialize_dates, custom_types, True)
        self.writer = writer
        self.flush_threshold = flush_threshold
        self.direct_threshold = direct_threshold
        self.buffer = bytearray()
        self.extend(MARKER)

    def push(self, byte):
        buffer = self.buffer
        buffer.append(byte)
        if len(buffer) >= self.flush_threshold:
            self.flush()

    def extend(self, run):
        if len(run) < self.direct_threshold:
            buffer = self.buffer
            buffer += run
            if buffer and len(buffer) >= self.flush_threshold:
                self.flush()
        elif run:
            if self.buffer:
                self.flush()
            self.python_runs += 1
            self.writer.write(bytes(run))

    def flush(self):
        chunk = bytes(self.buffer)
        self.buffer = bytearray()
        self.python_runs += 1
        self.writer.write(chunk)

    def finish(self):
        if self.buffer:
            self.flush()
        return None


if PYPY:

    class BuilderWriterEncoder(WriterEncoder):
        """The same chunks, gathered with PyPy's bytes builder: a bytearray there costs
        several times more per byte appended. Every run is an immutable `bytes`, so the
        builder may keep it until the flush."""

        def __init__(self, serialize_dates, custom_types, writer, flush_threshold, direct_threshold):
            self.pending = BytesBuilder()
            self.size = 0
            WriterEncoder.__init__(
                self, serialize_dates, custom_types, writer, flush_threshold, direct_threshold
            )

        def push(self, byte):
            self.pending.append(BYTE[byte])
            size = self.size + 1
            self.size = size
            if size >= self.flush_threshold:
                self.flush()

        def extend(self, run):
            n = len(run)
            if n < self.direct_threshold:
                if n:
                    self.pending.append(run)
                size = self.size + n
                self.size = size
                if size and size >= self.flush_threshold:
                    self.flush()
            elif n:
                if self.size:
                    self.flush()
                self.python_runs += 1
                self.writer.write(run)

        def flush(self):
            chunk = self.pending.build()
            self.pending = BytesBuilder()
            self.size = 0
            self.python_runs += 1
            self.writer.write(chunk)

        def finish(self):
            if self.size:
                self.flush()
            return None

    StreamEncoder = BuilderWriterEncoder
else:
    StreamEncoder = WriterEncoder
