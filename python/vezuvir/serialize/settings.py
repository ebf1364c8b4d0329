"""Settings objects passed to ``dump_bytes``."""

from typing import Any, Callable

__all__ = ["CustomType"]


class CustomType:
    """How to encode instances of a type the encoder does not know.

    ``converter(obj)`` returns an encodable value that is written in the object's place,
    preceded by ``identifier`` so that ``load_bytes(custom_types={identifier: fn})`` can
    rebuild the object. With ``one_way=True`` only the converted value is written.

    The flags are stored unchanged: the encoder treats them as set only when they are
    the ``True`` object itself.
    """

    __slots__ = ("identifier", "converter", "include_subclasses", "one_way")

    def __init__(
        self,
        identifier: Any,
        converter: Callable[[Any], Any],
        include_subclasses: bool = False,
        one_way: bool = False,
    ) -> None:
        if not callable(converter):
            raise TypeError(f"converter must be callable, got {type(converter)!r}")
        self.identifier = identifier
        self.converter = converter
        self.include_subclasses = include_subclasses
        self.one_way = one_way

    def __repr__(self) -> str:
        return (
            f"CustomType(identifier={self.identifier!r}, converter={self.converter!r}, "
            f"include_subclasses={self.include_subclasses!r}, one_way={self.one_way!r})"
        )
