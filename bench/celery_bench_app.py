"""The Celery application bench_celery.py runs: one task that appends a
byte to a counter file, so the bench sees how many tasks are done whatever
the broker. Configured by the environment the bench sets."""

import json
import os

from celery import Celery

import tollivane_kombu  # noqa: F401  (registers tollivane://)

app = Celery("celery_bench_app", broker=os.environ["BENCH_BROKER_URL"])
app.conf.broker_transport_options = json.loads(os.environ.get("BENCH_TRANSPORT_OPTIONS", "{}"))
# At least once on every broker: a task is acknowledged after it ran.
app.conf.task_acks_late = True
app.conf.task_ignore_result = True
app.conf.worker_hijack_root_logger = False
COUNTER = os.environ["BENCH_COUNTER"]


@app.task
def tick():
    fd = os.open(COUNTER, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, b".")
    finally:
        os.close(fd)
