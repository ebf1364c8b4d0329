"""The package in isolated subinterpreters, each with a lock of its own, several at once."""

import importlib.util
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("concurrent.interpreters") is None,
    reason="needs concurrent.interpreters (CPython 3.14 or newer)",
)

# Run inside each subinterpreter: every function, with what each must find of that
# interpreter's own (its exception classes, CustomType, Idx, datetime and stats keys).
# Any assertion that fails there fails the exec() that ran it.
ROUND_TRIP = """
import datetime
import vezuvir
from vezuvir import CustomType, DeserializationError, Idx, SerializationError

class Point:
    def __init__(self, x):
        self.x = x

def explode(point):
    raise KeyError("no")

value = {"id": 7, "tags": ["a", "", "b", "a"], "raw": b"", "empty": [], "n": 10 ** 30}
data = vezuvir.dump_bytes(value)
assert vezuvir.load_bytes(data) == value
assert vezuvir.load_bytes(data, use_tuples=True)["empty"] == ()
assert vezuvir.lazy_load_bytes(data, ["tags", Idx(2)]) == "b"
assert vezuvir.bytes_check_if_contains(data, ["tags", Idx(0)])
assert not vezuvir.bytes_check_if_contains(data, ["missing"])
assert vezuvir.load_record(data + data, len(data)) == (value, 2 * len(data))
assert vezuvir.skip_record(data) == len(data)
assert vezuvir.encoding_stats(data + data)["records"] == 2

when = datetime.datetime(2026, 12, 1, 8, 30)
assert vezuvir.load_bytes(vezuvir.dump_bytes([when], serialize_dates=True)) == [when.isoformat()]
custom = {Point: CustomType("pt", lambda p: p.x)}
encoded = vezuvir.dump_bytes([Point(3)], custom_types=custom)
assert vezuvir.load_bytes(encoded, custom_types={"pt": lambda x: x * 2}) == [6]

cases = [
    (lambda: vezuvir.dump_bytes(Point(1), custom_types={Point: CustomType("pt", explode)}),
     SerializationError),
    (lambda: vezuvir.dump_bytes(when), SerializationError),
    (lambda: vezuvir.load_bytes(data[:-1]), DeserializationError),
    (lambda: vezuvir.lazy_load_bytes(data, ["missing"]), DeserializationError),
]
for call, expected in cases:
    try:
        call()
    except BaseException as error:
        assert type(error) is expected, (type(error), expected)
    else:
        raise AssertionError("no error")
"""

# Strings enough for the encoder's string table to outgrow its inline slots and share its
# kept block between calls, which interpreters running at once must not trip over.
MANY = """
import vezuvir
value = [{"key%d" % i: "value%d" % (i % 3000), "n": i} for i in range(4000)]
data = vezuvir.dump_bytes(value)
for _ in range(ROUNDS):
    assert vezuvir.dump_bytes(value) == data
    assert vezuvir.load_bytes(data) == value
    assert vezuvir.lazy_load_bytes(data, [vezuvir.Idx(3999), "n"]) == 3999
    assert vezuvir.encoding_stats(data)["records"] == 1
"""

CASES = {
    # Each in a new interpreter, closed again; the main one imports first, uses it after.
    "round trip in each of three": f"""
        import vezuvir
        vezuvir.encoding_stats(vezuvir.dump_bytes([1]))
        for _ in range(3):
            interp = interpreters.create()
            interp.exec({ROUND_TRIP!r})
            interp.close()
        exec({ROUND_TRIP!r})
    """,
    # Three subinterpreters on threads and the main one on its own, all at once.
    "several at once": f"""
        import threading
        code = {MANY!r}.replace("ROUNDS", "15")
        subs = [interpreters.create() for _ in range(3)]
        failures = []
        def run(interp):
            try:
                interp.exec(code)
            except BaseException as error:
                failures.append(error)
        threads = [threading.Thread(target=run, args=(interp,)) for interp in subs]
        for thread in threads:
            thread.start()
        exec(code)
        for thread in threads:
            thread.join()
        assert not failures, failures
        for interp in subs:
            interp.close()
    """,
    # A converter of the main interpreter runs a call in another on the same thread: the
    # main call's errors are the main interpreter's classes again afterwards.
    "nested on one thread": """
        import vezuvir
        interp = interpreters.create()
        interp.exec("import vezuvir")
        def convert(value):
            interp.exec("import vezuvir\\ntry:\\n    vezuvir.load_bytes(b'<o>')\\n"
                        "except vezuvir.DeserializationError:\\n    pass\\n"
                        "else:\\n    raise AssertionError")
            raise ValueError("bad")
        class Thing:
            pass
        custom = {Thing: vezuvir.CustomType("t", convert)}
        try:
            vezuvir.dump_bytes([Thing()], custom_types=custom)
        except vezuvir.SerializationError as error:
            assert isinstance(error.__cause__, ValueError)
        else:
            raise AssertionError("no error")
        try:
            vezuvir.load_bytes(b"<o>")
        except vezuvir.DeserializationError:
            pass
        interp.close()
    """,
}


@pytest.mark.parametrize("code", CASES.values(), ids=CASES.keys())
def test_subinterpreters(isolated, code):
    code = "from concurrent import interpreters\n" + textwrap.dedent(code) + "print('ok')\n"
    result = isolated(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok", result.stderr
