"""load_bytes on arbitrary bytes: [flags][encoding]. Must raise only DeserializationError and
friends, never crash, and decode the same with or without use_tuples."""

import common
from vezuvir import load_bytes

common.check_instrumented()


def target(data: bytes):
    if not data:
        return
    flags, buffer = data[0], data[1:]
    custom = common.CUSTOM if flags & 4 else None
    try:
        value = common.within_budget(
            lambda: load_bytes(buffer, ignore_extra_data=bool(flags & 1), stop_gc=bool(flags & 2),
                               custom_types=custom or {}, max_free_elements=common.FREE_ELEMENTS),
            len(buffer), data)
    except Exception as exc:  # noqa: BLE001
        common.allow(exc)
        return
    if custom:
        return  # converters see tuples or lists, and one of them is repr
    # The same bytes as a bytearray, with tuples, must give the same tree (compared by its
    # repr: NaN != NaN, and tuples print differently, so normalise the brackets away).
    again = load_bytes(bytearray(buffer), ignore_extra_data=bool(flags & 1), use_tuples=True,
                       max_free_elements=common.FREE_ELEMENTS)
    assert normal(again) == normal(value), (again, value)


def normal(value):
    if type(value) is int:
        return hex(value)  # repr refuses ints of more than 4300 digits
    if isinstance(value, (list, tuple)):
        return ("seq", [normal(v) for v in value])
    if isinstance(value, dict):
        return ("map", [(repr(k), normal(v)) for k, v in value.items()])
    return repr(value)


if __name__ == "__main__":
    common.run(target, "flags")
