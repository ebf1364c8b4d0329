"""vezuvir as a serialization family of Dask's ``distributed``.

Importing this module registers the family ``vezuvir`` in the importing process, so that
``Client(serializers=["dask", "vezuvir", "pickle"], deserializers=[...])`` sends JSON-like data
(results, scattered arguments) as one frame holding its quelt encoding, and leaves everything
else to the next family in the list. Worker processes need the family too: preload this module
in them (``distributed.worker.preload``, ``dask worker --preload vezuvir.dask``).

distributed itself splits a top-level list, tuple, set or dict into its items. A tuple handed to
the family is left to the next one, so that it stays a tuple; tuples nested in what the family
encodes arrive as lists, as with JSON.
"""

from typing import Any, Dict, List, Tuple, Union

try:
    from distributed.protocol.serialize import register_serialization_family
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "vezuvir.dask needs distributed: from a clone of vezuvir, python -m pip install '.[dask]'"
    ) from error

from vezuvir import _backend
from vezuvir._frames import readable
from vezuvir.exceptions import SerializationError

__all__ = ["FAMILY", "dumps", "loads"]

FAMILY = "vezuvir"

Frame = Union[bytes, bytearray, memoryview]


def dumps(obj: Any) -> Tuple[Dict[str, Any], List[bytes]]:
    """The header and frames of ``obj``; ``NotImplementedError`` hands it to the next family."""
    _vezuvir = _backend.module()

    if type(obj) is tuple:
        raise NotImplementedError("a tuple would arrive as a list")
    try:
        frame = _vezuvir.dump_bytes(obj)
    except SerializationError:
        raise NotImplementedError(f"cannot encode {type(obj).__name__}") from None
    return {}, [frame]


def loads(header: Dict[str, Any], frames: List[Frame]) -> Any:
    """The object that ``dumps`` wrote. Frames from a peer are untrusted: the limits apply."""
    _vezuvir = _backend.module()

    frame = frames[0] if len(frames) == 1 else b"".join(frames)
    return _vezuvir.load_bytes(readable(frame))


register_serialization_family(FAMILY, dumps, loads)
