"""Exceptions raised by vezuvir."""

__all__ = ["VezuvirError", "DeserializationError", "SerializationError"]


class VezuvirError(Exception):
    """Base class of every error vezuvir raises for bad data."""


class DeserializationError(VezuvirError, ValueError):
    """The input is not a valid encoding (corrupt, truncated or not found on a lazy path)."""


class SerializationError(VezuvirError, TypeError):
    """The object tree holds something that cannot be encoded."""
