"""Lazy reads whose path the extension walks and whose target this codec builds.

On PyPy, stepping over encoded values costs the compiled Python several times what it costs
the C++ extension, and building objects costs the extension, through PyPy's emulation of
the C API, several times what it costs the compiled Python. So where the extension is built,
the lazy readers of this codec hand the walk to `_vezuvir._lazy_locate`: the same walk as the
extension's own lazy readers, with their checks, errors and budget, which in load mode stops
where building would start and says where that is, how deep the path went, what of the
budget it used and which strings before the target the target refers back to. The target is
then built here, by the same decoder as a walk of our own would use.

The walk runs none of the caller's code, so that a read it hands back is made exactly once:
only paths whose keys compare without any (`str`, `int`, `float`, `bool`, `None`, `bytes`)
go to it, and with converters given a custom value it would have to convert ends it at
once (it answers None), before anything of the caller's has run.
"""

from vezuvir._pure._common import PYPY, store_item
from vezuvir._pure.skipper import Reader

# What `_lazy_locate` says is left to build (the first item of a tuple it answers).
_VALUE, _FIRST_ROW, _ROW, _PACKED_STRING, _PACKED_BYTES = range(1, 6)
# Path keys whose `==` and `str` run no code of the caller's.
_INERT = frozenset((str, int, float, bool, type(None), bytes))

_UNRESOLVED = object()
#: The walk of the extension this codec's lazy readers use, or None: they walk the path
#: themselves. Found on first use; set it to None to read without the extension (the
#: differential test compares that with the extension), or to `extension_locator()`.
LOCATOR = _UNRESOLVED
#: Answered by `read` when the path is to be walked here.
WALK = object()


def extension_locator():
    """The extension's walk as `locate(data, steps, ...)`, or None without the extension."""
    try:
        import _vezuvir
    except ImportError:
        return None
    walk = getattr(_vezuvir, "_lazy_locate", None)
    if walk is None:
        return None
    if not PYPY:
        return walk
    import cffi

    ffi = cffi.FFI()

    def locate(data, *rest):
        # PyPy copies a `bytes` object, and hashes it, the first time it reaches C code
        # (about 1 µs a KB); a view of its memory reaches it as it is.
        return walk(ffi.buffer(ffi.from_buffer(data)), *rest)

    return locate


def locator():
    global LOCATOR
    if LOCATOR is _UNRESOLVED:
        LOCATOR = extension_locator() if PYPY else None
    return LOCATOR


class Located(Reader):
    """The decoder of a located target: table entries from `base` on are its own, those
    before it the ones the walk listed (`earlier`: index -> str, or position as the
    skipper records one)."""

    def __init__(self, data, converters, limits, pos, levels, base, references):
        Reader.__init__(self, data, converters, limits)
        self.pos = pos
        # Each container on the path counts one level, as in a walk of our own.
        self.depth = levels
        self.base = base
        self.earlier = dict(zip(references[::2], references[1::2])) if references else None

    def back_reference(self, index):
        base = self.base
        if index >= base:
            return Reader.back_reference(self, index - base)
        entry = self.earlier[index]
        if type(entry) is str:
            return entry
        # Built once, however often the target refers to it.
        text = self.earlier[index] = self.stepped_over_string(entry)
        return text


def can_hand_over(steps):
    """Whether the walk of `steps` can be handed to the extension: no key of the caller's
    type, whose `==` or `str` the walk would run."""
    for step in steps:
        if not step[0] and type(step[1]) not in _INERT:
            return False
    return True


def read(locate, data, steps, converters, limits, check_mode, include_falsy):
    """The lazy read of `steps` (`can_hand_over`) through `locate`, or WALK."""
    found = locate(
        data,
        tuple(steps),
        check_mode,
        include_falsy,
        limits.max_free_elements,
        limits.int_digits,
        converters is not None,
    )
    if found is None:
        return WALK
    if type(found) is not tuple:
        return found  # the walk's own answer
    kind, pos, levels, base, used, references, keys = found
    if limits.free_elements_left is not None:
        limits.free_elements_left -= used
    reader = Located(data, converters, limits, pos, levels, base, references)
    if kind == _VALUE:
        return reader.value()
    if kind == _ROW:
        row = {}
        for key in keys:
            store_item(row, key, reader.value())
        return row
    if kind == _FIRST_ROW:
        row = {}
        for _ in range(keys):
            key = reader.value()
            store_item(row, key, reader.value())
        return row
    if kind == _PACKED_STRING:
        return reader.marked_string(255)
    return reader.bytes()
