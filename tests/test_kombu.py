"""vezuvir as kombu's and Celery's serializer, against a real Redis broker and a real worker.

The broker is Debian's redis-server on a free loopback port; the worker is a separate
`celery worker` process running tests/celery_app.py. Both are skipped when missing, unless
VEZUVIR_REQUIRE_ENGINES=1 (.ci/run) turns the skips into failures.
"""

import datetime
import gc
import json
import uuid
from pathlib import Path

import pytest

import servers
import vezuvir.kombu
from vezuvir import dump_bytes
from conftest import BENCH_DATA, require_engine, require_program

TESTS = Path(__file__).resolve().parent


def test_entry_point_registers_without_an_import(isolated):
    require_engine("kombu")
    # A fresh interpreter that imports kombu only: the entry point alone must register it.
    result = isolated(
        """
        import datetime
        from kombu.exceptions import EncodeError
        from kombu.serialization import dumps, loads, prepare_accept_content

        value = {"a": [1, b"\\x00", 2**80, {1: None}]}
        ctype, encoding, body = dumps(value, serializer="vezuvir")
        assert (ctype, encoding) == ("application/x-quelt", "binary"), (ctype, encoding)
        assert body.startswith(b"<o>"), body
        accept = prepare_accept_content(["vezuvir"])
        assert accept == {"application/x-quelt"}, accept
        for received in (body, bytearray(body), memoryview(body)):
            assert loads(received, ctype, encoding, accept=accept) == value
        try:
            dumps({"at": datetime.datetime(2024, 1, 2)}, serializer="vezuvir")
        except EncodeError:
            pass
        else:
            raise AssertionError("dates are written only when asked for")
        """
    )
    assert result.returncode == 0, result.stderr


ENCODED = dump_bytes({"k": [1, b"\x00"]})


@pytest.mark.parametrize(
    "body",
    [
        ENCODED,
        bytearray(ENCODED),
        memoryview(ENCODED),
        memoryview(bytes(b for byte in ENCODED for b in (byte, 0)))[::2],  # strided: copied
        memoryview(ENCODED).cast("c"),
    ],
    ids=["bytes", "bytearray", "memoryview", "strided", "char-format"],
)
def test_decode_takes_any_byte_buffer(body):
    assert vezuvir.kombu.decode(body) == {"k": [1, b"\x00"]}


@pytest.fixture(scope="module")
def redis_url(tmp_path_factory):
    # Checked before the server starts: without them it would serve no test.
    require_engine("celery")
    require_engine("redis")
    program = require_program("redis-server")
    with servers.redis_server(program, tmp_path_factory.mktemp("redis")) as url:
        yield url


@pytest.fixture(scope="module")
def worker(redis_url, tmp_path_factory):
    """The tests' Celery app, with a worker process serving it; yields (app module, log path)."""
    log = tmp_path_factory.mktemp("celery") / "worker.log"
    env = {"VEZUVIR_TEST_BROKER_URL": redis_url}
    args = ["--hostname", "vezuvir-test@localhost"]
    with servers.celery_worker("celery_app", TESTS, log, env, args) as process:
        import celery_app

        celery_app.app.conf.update(broker_url=redis_url, result_backend=redis_url)
        try:
            servers.wait_for(celery_app.echo.delay("ready"), process, log)
            yield celery_app, log
        finally:
            # Results dropped by the tests unsubscribe when finalised: that must happen while
            # the broker is up, not in a later test, where each would retry a dead connection.
            gc.collect()
            celery_app.app.close()


TWITTER = BENCH_DATA / "twitter.json"


def _twitter():
    return json.loads(TWITTER.read_text(encoding="utf-8")) if TWITTER.is_file() else None


UTC_PLUS_2 = datetime.timezone(datetime.timedelta(hours=2))


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(b"\x00\xffbinary", None, id="bytes"),
        pytest.param([2**200, -(2**100), 2**64 - 1], None, id="big-ints"),
        pytest.param({1: "a", None: [1.5], b"k": True, 2.5: {}}, None, id="non-str-keys"),
        pytest.param((1, ("a", b"b")), [1, ["a", b"b"]], id="tuples-arrive-as-lists"),
        pytest.param(datetime.datetime(2024, 1, 2, 3, 4, 5, 6), None, id="naive-datetime"),
        pytest.param(datetime.datetime(2024, 1, 2, 3, 4, tzinfo=UTC_PLUS_2), None, id="aware"),
        pytest.param({"d": datetime.date(2024, 2, 29), "t": datetime.time(23, 59)}, None,
                     id="date-and-time"),
        pytest.param(_twitter(), None, id="twitter",
                     marks=pytest.mark.skipif(not TWITTER.is_file(), reason="no bench data")),
    ],
)
def test_task_arguments_and_results_round_trip(worker, value, expected):
    app_module, _ = worker
    expected = value if expected is None else expected
    received, seen_by_worker = app_module.echo.delay(value).get(timeout=30)
    assert received == expected
    assert type(received) is type(expected)
    assert seen_by_worker == repr(expected)


def test_a_failed_task_reports_its_exception(worker):
    app_module, _ = worker
    # The worker stores the exception's type, module and arguments through the serializer.
    with pytest.raises(ValueError) as raised:
        app_module.fail.delay(b"\x00", 2**70).get(timeout=30)
    assert raised.value.args == (b"\x00", 2**70)


def _publish_raw(app_module, body, content_type, encoding):
    with app_module.app.producer_or_acquire() as producer:
        producer.publish(
            body, routing_key="celery", exchange="", content_type=content_type,
            content_encoding=encoding,
            headers={"task": "celery_app.echo", "id": str(uuid.uuid4()), "lang": "py"},
        )


@pytest.mark.parametrize(
    "send, logged",
    [
        pytest.param(lambda app: app.echo.apply_async([1], serializer="pickle"),
                     "Refusing to deserialize untrusted content of type pickle", id="pickle"),
        pytest.param(lambda app: app.echo.apply_async([1], serializer="json"),
                     "Refusing to deserialize untrusted content of type json", id="json"),
        pytest.param(lambda app: _publish_raw(app, b"<o>\r\xff", "application/x-quelt", "binary"),
                     "DecodeError(DeserializationError('Unexpected end of input'))",
                     id="truncated-quelt"),
        # Three million Nones in a few bytes: past the decoder's default budget.
        pytest.param(lambda app: _publish_raw(app, dump_bytes([None] * 3_000_000),
                                              "application/x-quelt", "binary"),
                     "max_free_elements", id="over-budget"),
    ],
)
def test_worker_refuses_what_it_must_not_read(worker, send, logged):
    app_module, log = worker
    send(app_module)
    # Messages are handled in order: once a later task has run, the refusal has been logged.
    assert app_module.echo.delay("after").get(timeout=30)[0] == "after"
    assert logged in log.read_text(errors="replace")
