"""Message bodies and frames as the readers take them, for the engine integrations."""

from typing import Any, Union


def readable(frame: Any) -> Union[bytes, bytearray, memoryview]:
    """``frame`` itself, read in place, when it exports C-contiguous bytes; else a copy."""
    if isinstance(frame, (bytes, bytearray)):
        return frame
    view = memoryview(frame)
    if view.format not in ("B", "b", "c") or not view.c_contiguous:
        return view.tobytes()
    return view
