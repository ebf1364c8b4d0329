"""vezuvir as a kombu serializer, and so as a Celery task and result serializer.

Installing vezuvir registers a serializer named ``vezuvir`` through kombu's ``kombu.serializers``
entry point: ``task_serializer="vezuvir"``, ``result_serializer="vezuvir"`` and
``accept_content=["vezuvir"]`` work without importing anything. Messages carry the content type
``application/x-quelt`` with the content encoding ``binary``.

Dates are opt-in: ``register(datetimes=True)``, called in the module that defines the Celery app
(so that workers and clients both run it), makes the encoder write ``datetime.datetime``,
``datetime.date`` and ``datetime.time`` as tagged ISO texts. The decoder always reads those tags
back as date objects, so a consumer needs no option to read what such a producer sends.
"""

import datetime
from typing import Any, Callable, Tuple, Union

from vezuvir import _backend
from vezuvir._frames import readable
from vezuvir.serialize.settings import CustomType

__all__ = ["CONTENT_TYPE", "CONTENT_ENCODING", "encode", "encode_with_dates", "decode", "register"]

CONTENT_TYPE = "application/x-quelt"
# kombu hands "binary" payloads to the decoder untouched instead of decoding them as text.
CONTENT_ENCODING = "binary"

# datetime before date: a datetime is also a date, and the first subclass registration wins.
_DATE_TYPES = {
    datetime.datetime: CustomType("datetime", datetime.datetime.isoformat, include_subclasses=True),
    datetime.date: CustomType("date", datetime.date.isoformat, include_subclasses=True),
    datetime.time: CustomType("time", datetime.time.isoformat, include_subclasses=True),
}
_DATE_READERS = {
    "datetime": datetime.datetime.fromisoformat,
    "date": datetime.date.fromisoformat,
    "time": datetime.time.fromisoformat,
}


def encode(obj: Any) -> bytes:
    """The message body for ``obj``; dates raise ``SerializationError`` (see ``register``)."""
    _vezuvir = _backend.module()

    return _vezuvir.dump_bytes(obj)


def encode_with_dates(obj: Any) -> bytes:
    """Like ``encode``, but dates, datetimes and times are written as tagged ISO texts."""
    _vezuvir = _backend.module()

    return _vezuvir.dump_bytes(obj, custom_types=_DATE_TYPES)


def decode(body: Union[bytes, bytearray, memoryview]) -> Any:
    """The object a message body holds. The body is untrusted: the decoder's limits apply."""
    _vezuvir = _backend.module()

    return _vezuvir.load_bytes(readable(body), custom_types=_DATE_READERS)


# What kombu's entry point loader calls ``register(name, *REGISTRATION)`` with.
REGISTRATION: Tuple[Callable[[Any], bytes], Callable[[Any], Any], str, str] = (
    encode,
    decode,
    CONTENT_TYPE,
    CONTENT_ENCODING,
)


def register(name: str = "vezuvir", *, datetimes: bool = False) -> None:
    """Register (or register again) the vezuvir serializer with kombu under ``name``.

    With ``datetimes=True`` the encoder writes dates; without, a date in a message raises
    kombu's ``EncodeError``. Either way the content type is ``application/x-quelt``.
    """
    # Imported here: kombu loads this module from its own import, through the entry point.
    try:
        from kombu.serialization import register as kombu_register
    except ImportError as error:
        raise ImportError(
            "vezuvir.kombu.register needs kombu: from a clone of vezuvir, "
            "python -m pip install '.[celery]'"
        ) from error

    kombu_register(
        name,
        encode_with_dates if datetimes else encode,
        decode,
        content_type=CONTENT_TYPE,
        content_encoding=CONTENT_ENCODING,
    )
