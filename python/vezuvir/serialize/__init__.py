"""Encoding-side settings."""

from vezuvir.serialize.settings import CustomType

__all__ = ["CustomType"]
