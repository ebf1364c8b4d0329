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
from typing import Any, Dict, Hashable, List, Tuple

__all__ = ["CustomValue", "to_json", "from_json_pairs", "TAGS"]

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


def to_json(value: Any) -> Any:
    """A copy of a decoded tree that ``json.dumps(..., allow_nan=False)`` accepts."""
    kind = type(value)
    if kind is str or kind is int or kind is bool or value is None:
        return value
    if kind is float:
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if kind is list or kind is tuple:
        return [to_json(item) for item in value]
    if kind is dict:
        plain = all(type(key) is str for key in value)
        if plain and not (len(value) == 1 and next(iter(value)) in TAGS):
            return {key: to_json(item) for key, item in value.items()}
        return {"$dict": [[to_json(key), to_json(item)] for key, item in value.items()]}
    if kind is bytes:
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if isinstance(value, CustomValue):
        return {"$custom": [to_json(value.identifier), to_json(value.payload)]}
    raise TypeError(f"cannot render {kind.__name__!r} as JSON")


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
