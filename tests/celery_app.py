"""The Celery app of tests/test_kombu.py, run by a real worker process and by the tests.

vezuvir is the only content type accepted for tasks and results; dates are on (the option the
README documents), so this module registers the serializer again, as a user's app module would.
"""

import os

from celery import Celery

import vezuvir.kombu

vezuvir.kombu.register(datetimes=True)

# The worker gets the broker's URL from its environment; the tests set it on the app.
BROKER_URL = os.environ.get("VEZUVIR_TEST_BROKER_URL", "redis://127.0.0.1:1/0")

app = Celery("celery_app", broker=BROKER_URL, backend=BROKER_URL)
app.conf.update(
    task_serializer="vezuvir",
    result_serializer="vezuvir",
    accept_content=["vezuvir"],
    result_accept_content=["vezuvir"],
    broker_connection_retry_on_startup=True,
    worker_prefetch_multiplier=1,
)


@app.task
def echo(value):
    # The repr shows what the worker received, so a fault that cancels out on the way back
    # (bytes read as str and written back as bytes) still shows.
    return [value, repr(value)]


@app.task
def fail(*args):
    raise ValueError(*args)
