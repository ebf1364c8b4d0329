"""Message bodies and frames as the readers take them, for the engine integrations."""

from typing import Any, Optional, Union

from vezuvir import _backend

# Whether load_bytes takes any C-contiguous byte buffer (memoryview, mmap) or only bytes and
# bytearray; probed once, on the first frame that is neither.
_takes_buffers: Optional[bool] = None


def readable(frame: Any) -> Union[bytes, bytearray, memoryview]:
    """``frame`` itself when the reader takes it, else a copy as bytes."""
    global _takes_buffers
    if isinstance(frame, (bytes, bytearray)):
        return frame
    view = memoryview(frame)
    if view.format not in ("B", "b", "c") or not view.c_contiguous:
        return view.tobytes()
    if _takes_buffers is None:
        _vezuvir = _backend.module()

        try:
            _vezuvir.load_bytes(memoryview(_vezuvir.dump_bytes(None)))
            _takes_buffers = True
        except TypeError:
            _takes_buffers = False
    # The copy serves readers that take bytes and bytearray only; it goes once they all take
    # buffers.
    return view if _takes_buffers else view.tobytes()
