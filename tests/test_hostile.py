"""Callbacks that fight back (see hostile_cases.py): at every point where the library runs
Python code, a hook that changes or empties what the call reads, calls the library again,
raises KeyboardInterrupt or an ordinary error. No crash, no SystemError, no swallowed
interrupt; ordinary errors mapped as documented."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# What a hook's damage may lead to: the call goes on, or fails with the library's error.
SURVIVED = {"ok", "SerializationError", "DeserializationError", "RecursionError",
            "DeserializationError<-BufferError"}

# point: (outcome of a hook raising KeyboardInterrupt, of one raising ValueError)
EXPECTED = {
    "enc_converter_list": ("KeyboardInterrupt", "SerializationError<-ValueError"),
    "enc_converter_rows": ("KeyboardInterrupt", "SerializationError<-ValueError"),
    "enc_converter_dict": ("KeyboardInterrupt", "SerializationError<-ValueError"),
    "enc_converter_any_key": ("KeyboardInterrupt", "SerializationError<-ValueError"),
    "enc_writer": ("KeyboardInterrupt", "ValueError"),
    "enc_isoformat": ("KeyboardInterrupt", "SerializationError<-ValueError"),
    # Python reports and drops what a finalizer raises.
    "enc_finalizer": ("ok", "ok"),
    "dec_converter": ("KeyboardInterrupt", "DeserializationError<-ValueError"),
    "dec_converted_key": ("KeyboardInterrupt", "DeserializationError"),
    "dec_identifier_eq": ("KeyboardInterrupt", "ValueError"),
    "dec_flag": ("KeyboardInterrupt", "ValueError"),
    "lazy_key_eq": ("KeyboardInterrupt", "DeserializationError"),
    # An int subclass as an index is read by value: none of its methods runs.
    "lazy_index": ("not reached", "not reached"),
    "lazy_converter": ("KeyboardInterrupt", "DeserializationError<-ValueError"),
    "lazy_flag": ("KeyboardInterrupt", "ValueError"),
}


@pytest.mark.parametrize("point", sorted(EXPECTED))
def test_hostile_callbacks(point):
    if point == "enc_finalizer" and sys.implementation.name != "cpython":
        pytest.skip("finalizers run when the collector gets to them, not when released")
    run = subprocess.run([sys.executable, str(HERE / "hostile_cases.py"), point],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    outcomes = json.loads(run.stdout.splitlines()[-1])
    assert (outcomes["interrupt"], outcomes["error"]) == EXPECTED[point]
    reached = EXPECTED[point][0] != "not reached"
    for action in ("mutate", "free", "reenter"):
        assert outcomes[action] in (SURVIVED if reached else {"not reached"}), (action, outcomes)
    if reached:
        assert outcomes["reenter"] == "ok"


class _Raises:
    """Truth test, str() or hash that raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __bool__(self):
        raise self.exc

    def __str__(self):
        raise self.exc

    def __hash__(self):
        raise self.exc


def _unknown_identifier(exc):
    from vezuvir import CustomType, dump_bytes, load_bytes

    class Box:
        pass

    # The identifier is itself a custom value, decoded to an object whose hash and str raise.
    data = dump_bytes(Box(), custom_types={Box: CustomType(Box, lambda o: 1),
                                           type: CustomType("t", lambda o: 0)})
    return lambda: load_bytes(data, custom_types={"t": lambda payload: _Raises(exc)})


def _calls():
    from vezuvir import (CustomType, bytes_check_if_contains, dump_bytes, lazy_load_bytes,
                         load_bytes)

    data = dump_bytes({"a": 1})
    unset = CustomType.__new__(CustomType)
    return [
        # A flag's truth test that raises fails the call (it was left set beside a result).
        ("include_falsy raises", lambda e: lambda: lazy_load_bytes(data, ["a"], include_falsy=_Raises(e))),
        ("contains include_falsy", lambda e: lambda: bytes_check_if_contains(data, ["a"], include_falsy=_Raises(e))),
        ("unknown identifier str", _unknown_identifier),
        ("unhashable map key", lambda e: lambda: load_bytes(data, custom_types={_Raises(e): int})),
        ("dump CustomType unset", lambda e: lambda: dump_bytes(1, custom_types={int: unset})),
    ]


@pytest.mark.parametrize("exc", [ValueError("x"), KeyboardInterrupt(), SystemExit(3)],
                         ids=["ValueError", "KeyboardInterrupt", "SystemExit"])
@pytest.mark.parametrize("index", range(5))
def test_errors_of_python_code_keep_their_identity(index, exc):
    name, make = _calls()[index]
    expected = AttributeError if name == "dump CustomType unset" else type(exc)
    with pytest.raises(expected) as caught:
        make(exc)()
    if expected is type(exc):
        assert caught.value is exc, name


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda v: v.lazy_load_bytes(v.dump_bytes({"a": 1}), ["\x00"]),
         "Key not found, key: `\x00` (type `<class 'str'>`)"),
        (lambda v: v.lazy_load_bytes(v.dump_bytes({"a": 1}), ["a\udc80\x00b"]),
         "Key not found, key: `a\udc80\x00b` (type `<class 'str'>`)"),
        (lambda v: v.load_bytes(b"<o>\x18\x12\x03a\x00b\x1f"),
         "Unknown custom type. please provide the correct mapping when deserializing. "
         "identifier: `a\x00b` (type: `<class 'str'>`)"),
        (lambda v: v.load_bytes(b"<o>\x1e", **{"\udc80": 1}),
         "load_bytes() got an unexpected keyword argument '\udc80'"),
        (lambda v: v.bytes_check_if_contains(b"<o>\x1e", [], **{"x\x00": 1}),
         "lazy_load_bytes() got an unexpected keyword argument 'x\x00'"),
    ],
)
def test_messages_keep_any_text(call, message):
    import vezuvir

    with pytest.raises((vezuvir.DeserializationError, TypeError)) as caught:
        call(vezuvir)
    assert str(caught.value) == message
