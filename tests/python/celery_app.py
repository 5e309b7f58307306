"""A Celery application on tollivane for the end-to-end tests: workers start
with `celery -A celery_app worker` in this directory. Everything it needs
comes from the environment the test sets: the broker URL, the lease, the
queue's name, where results and the tasks' marks go."""

import os
import time

from celery import Celery
from celery.exceptions import Reject

import tollivane_kombu  # noqa: F401  (registers tollivane://)

app = Celery("celery_app", broker=os.environ["TEST_BROKER_URL"], backend=f"file://{os.environ['TEST_RESULTS']}")
app.conf.broker_transport_options = {"lease_ms": int(os.environ["TEST_LEASE_MS"])}
app.conf.task_default_queue = os.environ["TEST_QUEUE"]
app.conf.task_acks_late = True
MARKS = os.environ["TEST_MARKS"]


def mark(name, what):
    """Appends a line to the task's marks file: which process did what."""
    with open(os.path.join(MARKS, name), "a") as marks:
        marks.write(f"{what} {os.getpid()}\n")


def marks(name):
    try:
        with open(os.path.join(MARKS, name)) as lines:
            return [line.split()[0] for line in lines]
    except FileNotFoundError:
        return []


@app.task
def add(x, y):
    return x + y


@app.task(bind=True)
def hang_first_time(self, name):
    """Hangs on its first run (the test kills that worker), returns on the
    next one, which comes from another worker."""
    first = not marks(name)
    mark(name, "start")
    if first:
        time.sleep(600)
    return self.request.delivery_info.get("redelivered")


@app.task
def work(name, seconds):
    mark(name, "start")
    time.sleep(seconds)
    return marks(name).count("start")


@app.task
def now():
    return time.time()


@app.task(bind=True)
def retried(self, countdown):
    mark("retried", "run")
    if self.request.retries == 0:
        raise self.retry(countdown=countdown)
    return time.time()


@app.task
def refused():
    raise Reject("refused for good", requeue=False)
