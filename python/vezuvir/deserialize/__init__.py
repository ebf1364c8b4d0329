"""Decoding-side helpers."""

from vezuvir.deserialize.lazy_load import Idx

__all__ = ["Idx"]
