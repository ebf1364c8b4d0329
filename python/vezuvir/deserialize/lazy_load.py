"""Path steps for the lazy readers."""

__all__ = ["Idx"]


class Idx:
    """A list index in a lazy path: ``lazy_load_bytes(b, ["items", Idx(3), "name"])``.

    Any ``int`` is accepted here; the lazy readers reject negative indices themselves.
    A plain ``int`` in a path is a dict key, not an index.
    """

    __slots__ = ("index",)

    def __init__(self, index: int) -> None:
        if not isinstance(index, int) or isinstance(index, bool):
            raise TypeError(f"Idx index must be an int, got {type(index)!r}")
        self.index = index

    def __repr__(self) -> str:
        return f"Idx({self.index!r})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not Idx:
            return NotImplemented
        return self.index == other.index

    def __hash__(self) -> int:
        return hash((Idx, self.index))
