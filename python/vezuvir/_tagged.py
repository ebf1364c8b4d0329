"""JSON rendering of decoded values that plain JSON cannot hold, and back.

A value JSON has no form for becomes an object with one ``$``-key:

    bytes                       {"$bytes": "<base64>"}
    NaN, inf, -inf              {"$float": "nan"}, {"$float": "inf"}, {"$float": "-inf"}
    dict with a non-str key     {"$dict": [[key, value], ...]}
    custom value                {"$custom": [identifier, payload]}

A str-keyed dict whose only key is one of those four names is written in the ``$dict`` form
too, so every tagged object read back means exactly one thing.
"""

import base64
import binascii
import json
import math
import sys
from itertools import chain, islice
from typing import Any, Callable, Dict, Hashable, Iterable, Iterator, List, Optional, Tuple

from vezuvir import _backend

__all__ = [
    "CustomValue",
    "to_json",
    "iter_json",
    "write_json",
    "write_json_lines",
    "from_json_pairs",
    "TAGS",
]

TAGS = ("$bytes", "$float", "$dict", "$custom")

_FLOAT_NAMES = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


class CustomValue:
    """A custom value met while decoding without its converter: identifier and payload."""

    __slots__ = ("identifier", "payload")

    def __init__(self, identifier: Any, payload: Any) -> None:
        self.identifier = identifier
        self.payload = payload

    def __repr__(self) -> str:
        return f"CustomValue({self.identifier!r}, {self.payload!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CustomValue):
            return NotImplemented
        return (self.identifier, self.payload) == (other.identifier, other.payload)

    __hash__ = None  # type: ignore[assignment]


def _shallow(value: Any) -> Any:
    """``value`` itself if JSON has a form for it, else its tagged object (children untouched).

    The one place that decides how a value is rendered; a ``$dict`` or ``$custom`` object
    holds the original keys, values, identifier and payload, rendered in their turn.
    """
    kind = type(value)
    if kind is str or kind is int or kind is bool or value is None or kind is list:
        return value
    if kind is float:
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if kind is dict:
        plain = all(type(key) is str for key in value)
        if plain and not (len(value) == 1 and next(iter(value)) in TAGS):
            return value
        return {"$dict": [[key, item] for key, item in value.items()]}
    if kind is tuple:
        return list(value)
    if kind is bytes:
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if isinstance(value, CustomValue):
        return {"$custom": [value.identifier, value.payload]}
    raise TypeError(f"cannot render {kind.__name__!r} as JSON")


def to_json(value: Any) -> Any:
    """A copy of a decoded tree that ``json.dumps(..., allow_nan=False)`` accepts."""
    shallow = _shallow(value)
    if type(shallow) is list:
        return [to_json(item) for item in shallow]
    if type(shallow) is dict:
        return {key: to_json(item) for key, item in shallow.items()}
    return shallow


_encode_str = json.encoder.encode_basestring  # type: ignore[attr-defined]
_SCALARS = {
    str: _encode_str,
    int: int.__repr__,
    float: float.__repr__,
    bool: lambda value: "true" if value else "false",
    type(None): lambda value: "null",
}
_BATCH = 1 << 16


def iter_json(value: Any, indent: Optional[int] = None, level: int = 0) -> Iterator[str]:
    """The JSON text of a decoded tree in pieces, as ``json.dumps(to_json(value))`` writes it.

    Walks with a stack of its own, so any depth the decoder accepted renders; ``level`` is
    the nesting level the text starts at (its indentation).
    """
    item_sep, key_sep = (",", ":") if indent is None else (",", ": ")
    out: List[str] = []
    # Each frame: the iterator over a container's entries, whether they are dict items, and
    # whether the first entry is still to come.
    stack: List[List[Any]] = []
    node = _shallow(value)
    while True:
        kind = type(node)
        if kind is list or kind is dict:
            if node:
                out.append("[" if kind is list else "{")
                stack.append([iter(node.items() if kind is dict else node), kind is dict, True])
            else:
                out.append("[]" if kind is list else "{}")
        else:
            out.append(_SCALARS[kind](node))
        node = _NO_NODE
        while stack:
            frame = stack[-1]
            entry = next(frame[0], _NO_NODE)
            depth = level + len(stack)
            if entry is _NO_NODE:
                stack.pop()
                if indent is not None:
                    out.append("\n" + " " * (indent * (depth - 1)))
                out.append("}" if frame[1] else "]")
                continue
            if not frame[2]:
                out.append(item_sep)
            frame[2] = False
            if indent is not None:
                out.append("\n" + " " * (indent * depth))
            if frame[1]:
                out.append(_encode_str(entry[0]) + key_sep)
                entry = entry[1]
            node = _shallow(entry)
            break
        if node is _NO_NODE:
            yield "".join(out)
            return
        if len(out) >= _BATCH:
            yield "".join(out)
            out.clear()


_NO_NODE = object()

# json's own encoder (in C on CPython) renders trees of lists and str-keyed dicts right and
# much faster than any walk in Python; bytes reach it through `default`.
_dump_plain = json.JSONEncoder(
    ensure_ascii=False,
    separators=(",", ":"),
    allow_nan=False,
    check_circular=False,
    default=_shallow,
).encode
# Deeper trees take the walk above: json's encoder recurses, on PyPy in Python.
_PLAIN_DEPTH = 100
# No bound on the characters of a tree's strings: a single document is written in pieces.
_NO_BOUND = sys.maxsize
# Large containers are written in at most this many parts each, this many levels down (a
# container of one entry does not count as a level): pieces of a few hundred kilobytes at
# most for a document of a few dozen megabytes, and a few thousand pieces at most.
_SPLIT_LEVELS = 2
_SPLIT_PARTS = 64
_TAG_SET = frozenset(TAGS)
_WALKED = frozenset((list, dict, tuple, CustomValue))


def _renders_plainly_by_levels(root: Any, max_chars: int = _NO_BOUND) -> bool:
    """Whether json's encoder renders ``root`` as we do: no dict with a non-str key or that
    looks like a tag, no tuple or custom value, at most ``_PLAIN_DEPTH`` levels; and its
    strings and keys hold at most ``max_chars`` characters together.

    Non-finite floats are left to the encoder, which refuses them. One pass per level of
    the tree with the loops in C or in comprehensions: on CPython a walk node by node costs
    as much as the encoding.
    """
    level = [root]
    for _ in range(_PLAIN_DEPTH + 1):
        max_chars -= sum(map(len, [node for node in level if type(node) is str]))
        if max_chars < 0:
            return False
        level = [node for node in level if type(node) in _WALKED]
        if not level:
            return True
        dicts = [node for node in level if type(node) is dict]
        lists = [node for node in level if type(node) is list]
        if len(dicts) + len(lists) != len(level):
            return False
        if dicts:
            try:
                keys = "".join(chain.from_iterable(dicts))
            except TypeError:
                return False
            max_chars -= len(keys)
            if max_chars < 0:
                return False
            if "$" in keys:
                single_keyed = [node for node in dicts if len(node) == 1]
                if not _TAG_SET.isdisjoint(chain.from_iterable(single_keyed)):
                    return False
            level = list(chain.from_iterable(map(dict.values, dicts)))
            level += chain.from_iterable(lists)
        else:
            level = list(chain.from_iterable(lists))
    return False


def _renders_plainly_by_nodes(root: Any, max_chars: int = _NO_BOUND) -> bool:
    """The same answer, node by node: ten times faster than the above where a JIT compiles
    the loop (PyPy), ten times slower where none does."""
    kind = type(root)
    if kind is not list and kind is not dict:
        return kind not in _WALKED and (kind is not str or len(root) <= max_chars)
    stack = [(root, 0)]
    while stack:
        node, depth = stack.pop()
        if depth > _PLAIN_DEPTH:
            return False
        if type(node) is dict:
            for key in node:
                if type(key) is not str:
                    return False
                max_chars -= len(key)
            if len(node) == 1 and next(iter(node)) in _TAG_SET:
                return False
            node = node.values()
        for item in node:
            kind = type(item)
            if kind is list or kind is dict:
                stack.append((item, depth + 1))
            elif kind is str:
                max_chars -= len(item)
            elif kind in _WALKED:
                return False
        if max_chars < 0:
            return False
    return True


_renders_plainly_in_python = (
    _renders_plainly_by_levels
    if sys.implementation.name == "cpython"
    else _renders_plainly_by_nodes
)
_plain_walk: Optional[Callable[[Any, int], bool]] = None


def _find_plain_walk() -> Callable[[Any, int], bool]:
    """The extension's walk where it is the codec on CPython (a few percent of the
    encoding, against a third for the walk in Python), else the walk that suits the
    interpreter. PyPy would hand every object of the tree to its C-API emulation."""
    global _plain_walk
    _plain_walk = _renders_plainly_in_python
    if _backend.NAME == "extension" and sys.implementation.name == "cpython":
        # Imported on first use: the extension imports this package while it initialises.
        import _vezuvir

        walk = getattr(_vezuvir, "_plain_json", None)
        if walk is not None:
            _plain_walk = lambda value, max_chars: walk(value, _PLAIN_DEPTH, max_chars)
    return _plain_walk


def _renders_plainly(root: Any, max_chars: int = _NO_BOUND) -> bool:
    return (_plain_walk or _find_plain_walk())(root, max_chars)


def _plain_text(value: Any) -> str:
    try:
        return _dump_plain(value)
    except ValueError:
        # A NaN or an infinity somewhere in this piece.
        return "".join(iter_json(value))


def _plain_pieces(value: Any, level: int) -> Iterator[str]:
    # Large containers near the root are written a part at a time, so that no single string
    # holds the whole output.
    kind = type(value)
    if level >= _SPLIT_LEVELS or not (kind is list or kind is dict) or not value:
        yield _plain_text(value)
        return
    size = len(value)
    step = -(-size // _SPLIT_PARTS)
    if size > 1:
        level += 1
    items = iter(value.items()) if kind is dict else None
    yield "[" if kind is list else "{"
    for start in range(0, size, step):
        if start:
            yield ","
        if items is None:
            if step == 1:
                yield from _plain_pieces(value[start], level)
            else:
                yield _plain_text(value[start : start + step])[1:-1]
        elif step == 1:
            key, item = next(items)
            yield _encode_str(key) + ":"
            yield from _plain_pieces(item, level)
        else:
            yield _plain_text(dict(islice(items, step)))[1:-1]
    yield "]" if kind is list else "}"


def write_json(value: Any, write: Callable[[bytes], Any], indent: Optional[int] = None) -> None:
    """Writes the JSON text of a decoded tree, UTF-8 encoded, through ``write`` in pieces."""
    if indent is None and _renders_plainly(value):
        pieces = _plain_pieces(value, 0)
    else:
        pieces = iter_json(value, indent)
    for piece in pieces:
        write(piece.encode("utf-8"))


def _record_encoder() -> Optional[Callable[[Any, int], Any]]:
    """json's own encoder of a whole tree with our options, built once: `JSONEncoder.encode`
    builds it again on every call, which costs as much as rendering a small record. None
    where json has no such encoder (PyPy)."""
    make = getattr(json.encoder, "c_make_encoder", None)
    if make is None:
        return None
    try:
        return make(None, _shallow, _encode_str, None, ":", ",", False, False, False)
    except TypeError:
        # Built otherwise by this version of json.
        return None


_encode_chunks = _record_encoder()


def _encode_whole(value: Any) -> str:
    """``value``'s JSON text in one call of json's encoder; ValueError for a NaN or an
    infinity."""
    if _encode_chunks is None:
        return _dump_plain(value)
    return "".join(_encode_chunks(value, 0))


# A record whose encoding takes at most this many bytes is rendered whole, when its strings
# and keys hold at most _CHARS_PER_BYTE characters a byte of its encoding (plus a few): its
# text is then a few times the size of its encoding. One that refers back to a long string
# again and again (a few kilobytes can ask for tens of megabytes of text) is written in
# pieces, as any document is, and so are larger records.
_WHOLE_RECORD = 16 << 10
_CHARS_PER_BYTE = 16
_CHARS_BASE = 1024
# Records rendered whole are checked in batches of about this many bytes of encoding (the
# walk in Python passes over a batch a level at a time) and written in writes of about as
# many bytes of text.
_BATCH_BYTES = 64 << 10


def _chars_for(size: int, records: int = 1) -> int:
    """The characters of strings that records of ``size`` bytes of encoding may hold to be
    rendered whole."""
    return _CHARS_PER_BYTE * size + _CHARS_BASE * records


def _write_lines(batch: List[Tuple[Any, int]], write: Callable[[bytes], Any]) -> None:
    """Writes each (tree, size of its encoding) of ``batch`` as a line."""
    if not batch:
        return
    whole = _renders_plainly(
        [value for value, _ in batch], _chars_for(sum(size for _, size in batch), len(batch))
    )
    pending: List[bytes] = []
    held = 0

    def flush() -> None:
        nonlocal held
        if pending:
            pending.append(b"")
            write(b"\n".join(pending))
            pending.clear()
            held = 0

    for value, size in batch:
        text = None
        if whole or _renders_plainly(value, _chars_for(size)):
            try:
                text = _encode_whole(value)
            except ValueError:
                # A NaN or an infinity somewhere in it: the writer's own walk renders those.
                pass
        if text is None:
            flush()
            write_json(value, write)
            write(b"\n")
            continue
        # Each line encoded alone: joined first, the ASCII ones would be widened to the
        # widest character among them and encoded from there.
        pending.append(text.encode("utf-8"))
        held += len(pending[-1])
        if held >= _BATCH_BYTES:
            flush()
    flush()


def write_json_lines(
    records: Iterable[Tuple[Any, int]],
    write: Callable[[bytes], Any],
    indent: Optional[int] = None,
) -> None:
    """Writes each decoded tree as ``write_json`` does, each followed by a newline.

    ``records`` yields (tree, size of its encoding in bytes); the size decides whether its
    text may be built whole. Memory stays bounded by the largest record however many come.
    If ``records`` raises, the lines of the trees it yielded before are written first.
    """
    batch: List[Tuple[Any, int]] = []
    held = 0
    iterator = iter(records)
    while True:
        try:
            value, size = next(iterator)
        except StopIteration:
            break
        except BaseException:
            _write_lines(batch, write)
            raise
        if indent is None and size <= _WHOLE_RECORD:
            batch.append((value, size))
            held += size
            if held >= _BATCH_BYTES:
                _write_lines(batch, write)
                batch.clear()
                held = 0
            continue
        _write_lines(batch, write)
        batch.clear()
        held = 0
        write_json(value, write, indent)
        write(b"\n")
    _write_lines(batch, write)


def _shown(tag: str, body: Any) -> str:
    """The tagged object as the user wrote it (JSON, shortened), for error messages."""
    text = json.dumps({tag: to_json(body)}, ensure_ascii=False)
    return text if len(text) <= 120 else text[:117] + "..."


def _hashable(key: Any, what: str, tag: str, body: Any) -> Hashable:
    try:
        hash(key)
    except TypeError:
        raise ValueError(f"{what} must not be a list or object: {_shown(tag, body)}") from None
    return key


def from_json_pairs(pairs: List[Tuple[str, Any]]) -> Any:
    """``object_pairs_hook`` for ``json.loads`` that turns the tagged objects back into values."""
    if len(pairs) != 1 or pairs[0][0] not in TAGS:
        return dict(pairs)
    tag, body = pairs[0]
    if tag == "$bytes":
        if not isinstance(body, str):
            raise ValueError(f"$bytes must hold a base64 string: {_shown(tag, body)}")
        try:
            return base64.b64decode(body, validate=True)
        except binascii.Error as exc:
            raise ValueError(f"$bytes is not valid base64 ({exc}): {_shown(tag, body)}") from None
    if tag == "$float":
        if body not in _FLOAT_NAMES:
            raise ValueError(f'$float must be "nan", "inf" or "-inf": {_shown(tag, body)}')
        return _FLOAT_NAMES[body]
    if tag == "$dict":
        if not isinstance(body, list) or not all(
            isinstance(pair, list) and len(pair) == 2 for pair in body
        ):
            raise ValueError(f"$dict must hold a list of [key, value] pairs: {_shown(tag, body)}")
        result: Dict[Any, Any] = {}
        for key, item in body:
            result[_hashable(key, "a $dict key", tag, body)] = item
        return result
    if not isinstance(body, list) or len(body) != 2:
        raise ValueError(f"$custom must hold [identifier, payload]: {_shown(tag, body)}")
    return CustomValue(_hashable(body[0], "a $custom identifier", tag, body), body[1])
