"""The kombu transport (tollivane_kombu) on both backends: kombu's own
calls, and real Celery workers on a real application (celery_app.py)."""

import os
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

kombu = pytest.importorskip("kombu")
pytest.importorskip("celery")

import tollivane_kombu  # noqa: E402,F401
from tollivane_kombu._delays import delay_ms  # noqa: E402
from tollivane_kombu._queues import directory_name  # noqa: E402

HERE = Path(__file__).parent
HOUR_AHEAD = "2999-01-01T00:00:00+00:00"


class Broker:
    """A broker URL of the test's backend, and the queues behind it opened
    directly, as an operator's tools see them."""

    def __init__(self, backend, tmp_path, request):
        if backend == "postgres":
            from tollivane_kombu._queues import postgres_name
            from tollivane_postgres import PostgresQueue

            server = request.getfixturevalue("postgres_server")
            self.url = f"tollivane+postgresql:///postgres?host={server.base_dir}&user=postgres"
            self._open = lambda name: PostgresQueue(server.conninfo, postgres_name(name))
        else:
            from tollivane import TollivaneCore

            self.url = f"tollivane://{tmp_path}/broker"
            self._open = lambda name: TollivaneCore(str(tmp_path / "broker" / directory_name(name)))
        self.opened = []

    def queue(self, name):
        self.opened.append(self._open(name))
        return self.opened[-1]

    def connection(self, **options):
        return kombu.Connection(self.url, transport_options=options)


@pytest.fixture
def broker(backend, tmp_path, request):
    broker = Broker(backend, tmp_path, request)
    yield broker
    for queue in broker.opened:
        queue.close()


def new_queue_name():
    return f"k{uuid.uuid4().hex[:12]}"


def publish(connection, name, body, **headers):
    kombu.Producer(connection.default_channel).publish(body, routing_key=name, headers=headers,
                                                        declare=[kombu.Queue(name)])


@pytest.mark.both_backends
def test_settles_only_its_own_delivery_and_buries_rejects(broker):
    name = new_queue_name()
    with broker.connection() as first, broker.connection() as second:
        publish(first, name, "task")
        publish(first, name, "poison")
        lost = first.default_channel.basic_get(name)
        assert lost.delivery_info["deliveries"] == 1 and not lost.delivery_info["redelivered"]
        # Its lease is lost (as when a worker stalls past it): the message is
        # delivered again, to another consumer.
        queue = broker.queue(name)
        assert queue.nack(0)
        again = second.default_channel.basic_get(name)
        assert (again.payload, again.delivery_info["deliveries"], again.delivery_info["redelivered"]) == (
            "task", 2, True)
        lost.ack()
        lost_reject = first.default_channel.basic_get(name)
        assert queue.stats()["in_flight"] == 2, "the stale ack removed the other consumer's delivery"
        again.ack()
        lost_reject.reject(requeue=False)
        assert (queue.stats()["total"], queue.buried()) == (1, 1)
        queue.enqueue(b"enqueued by hand, not a kombu message")
        assert first.default_channel.basic_get(name) is None and queue.buried() == 2


@pytest.mark.both_backends
def test_eta_waits_in_the_queue_and_size_and_purge_are_exact(broker):
    name = new_queue_name()
    with broker.connection() as connection:
        publish(connection, name, "later", eta=HOUR_AHEAD)
        publish(connection, name, "due", eta="2000-01-01T00:00:00+00:00")
        publish(connection, name, "now")
        channel = connection.default_channel
        queue = broker.queue(name)
        assert (queue.scheduled(), queue.available()) == (1, 2)
        assert channel.queue_declare(name, passive=True).message_count == 3
        held = channel.basic_get(name)
        assert channel.queue_declare(name, passive=True).message_count == 2
        assert channel.queue_purge(name) == 1
        held.reject(requeue=True)
        assert channel.queue_purge(name) == 1
        assert channel.queue_declare(name, passive=True).message_count == 1
        assert channel.basic_get(name) is None


@pytest.mark.both_backends
def test_a_drain_sleeps_until_any_queue_has_a_message_and_prefetch_has_room(broker):
    names = [new_queue_name(), new_queue_name()]
    got = []
    with broker.connection() as connection, broker.connection() as producer:
        channel = connection.channel()
        channel.basic_qos(prefetch_count=1)
        consumer = kombu.Consumer(channel, [kombu.Queue(name) for name in names], callbacks=[
            lambda body, message: got.append((body, message))])
        with consumer:
            # Published while the drain sleeps on both queues' watches.
            threading.Timer(0.2, publish, (producer, names[1], "second queue")).start()
            connection.drain_events(timeout=60)
            assert [body for body, _ in got] == ["second queue"]
            # Prefetch is full until the first is acknowledged; the ack from
            # another thread ends the drain's sleep.
            publish(producer, names[0], "first queue")
            threading.Timer(0.2, got[0][1].ack).start()
            connection.drain_events(timeout=60)
            assert [body for body, _ in got] == ["second queue", "first queue"]
            got[1][1].ack()


@pytest.mark.both_backends
def test_closing_hands_unacknowledged_messages_back_at_once(broker):
    name = new_queue_name()
    with broker.connection(lease_ms=3_600_000) as connection:
        publish(connection, name, "prefetched")
        assert connection.default_channel.basic_get(name) is not None
    queue = broker.queue(name)
    assert queue.available() == 1
    assert queue.dequeue()[2] == 2


def test_refuses_what_would_lose_a_message(broker):
    with broker.connection() as connection:
        producer = kombu.Producer(connection.default_channel)
        with pytest.raises(kombu.exceptions.ChannelError, match="not sent"):
            producer.publish("lost", exchange=kombu.Exchange("nowhere", type="topic"), routing_key="x")
    assert [directory_name(n) for n in ("celery", "a/b", "..", "w@h.x")] == ["celery", "a%2Fb", "%2E.", "w@h.x"]
    assert delay_ms({"headers": {"eta": "2000-01-01T00:00:10+00:00"}}, now_s=946684800.5) == 9500
    assert delay_ms({"headers": {"eta": "2000-01-01T00:00:10"}}) == 0


# -- real Celery workers -----------------------------------------------------------

LEASE_MS = 800


class Workers:
    """Celery worker processes of celery_app.py, each in a session of its
    own, so that a kill takes its pool processes with it."""

    def __init__(self, broker, tmp_path):
        self.environment = dict(os.environ, TEST_BROKER_URL=broker.url, TEST_LEASE_MS=str(LEASE_MS),
                                TEST_QUEUE=new_queue_name(), TEST_RESULTS=str(tmp_path / "results"),
                                TEST_MARKS=str(tmp_path / "marks"), PYTHONPATH=str(HERE))
        for directory in ("results", "marks"):
            (tmp_path / directory).mkdir()
        self.logs = tmp_path
        self.processes = []

    def start(self):
        number = len(self.processes)
        log = open(self.logs / f"worker{number}.log", "w")
        self.processes.append(subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", "celery_app", "worker", "-c", "2", "-n", f"w{number}@%h",
             "--loglevel=INFO"], cwd=HERE, env=self.environment, stdout=log, stderr=subprocess.STDOUT,
            start_new_session=True))
        log.close()
        return self.processes[-1]

    def kill(self, process):
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()  # a warm shutdown, as an operator stops a worker
        for process in self.processes:
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)

    def log_text(self):
        return "\n".join(path.read_text()[-3000:] for path in sorted(self.logs.glob("worker*.log")))


def wait_for(condition, what, limit_s=60):
    give_up = time.monotonic() + limit_s
    while not condition():
        assert time.monotonic() < give_up, f"still waiting for {what}"
        time.sleep(0.05)


@pytest.fixture
def workers(broker, tmp_path, monkeypatch):
    workers = Workers(broker, tmp_path)
    for key in ("TEST_BROKER_URL", "TEST_LEASE_MS", "TEST_QUEUE", "TEST_RESULTS", "TEST_MARKS"):
        monkeypatch.setenv(key, workers.environment[key])
    monkeypatch.syspath_prepend(str(HERE))
    sys.modules.pop("celery_app", None)
    import celery_app

    workers.app = celery_app
    yield workers
    workers.stop_all()
    print(workers.log_text())


@pytest.mark.both_backends
def test_celery_workers_lose_no_task_run_long_tasks_once_and_keep_delays_in_the_queue(broker, workers):
    app = workers.app
    doomed = workers.start()
    assert app.add.delay(2, 3).get(timeout=60) == 5
    hung = app.hang_first_time.delay("hung")
    wait_for(lambda: app.marks("hung") == ["start"], "the first run of the hanging task")
    workers.kill(doomed)
    workers.start()
    workers.start()
    # Two live workers: a lease that ran out would hand the long task to
    # the other one, which would run it a second time.
    long_task = app.work.delay("long", 10 * LEASE_MS / 1000 + 1)
    assert hung.get(timeout=60) is True and app.marks("hung") == ["start", "start"]

    queue = broker.queue(workers.environment["TEST_QUEUE"])
    # The retry and the countdown task wait in the queue, not in a worker.
    # The retry is published after the task's first run has begun, at a
    # moment the test cannot see but in the queue, so it is awaited before
    # the countdown task is sent.
    sent = time.time()
    retried = app.retried.delay(2)
    wait_for(lambda: queue.scheduled() == 1, "the retry to wait in the queue")
    assert app.marks("retried") == ["run"]
    later_sent = time.time()
    later = app.now.apply_async(countdown=2)
    assert queue.scheduled() == 2
    refused = app.refused.delay()
    results = [app.add.delay(i, i) for i in range(20)]
    assert [result.get(timeout=60) for result in results] == [2 * i for i in range(20)]
    assert later.get(timeout=60) >= later_sent + 2
    assert retried.get(timeout=60) >= sent + 2 and app.marks("retried") == ["run", "run"]
    assert long_task.get(timeout=60) == 1 and app.marks("long") == ["start"]
    wait_for(lambda: refused.state == "FAILURE" or queue.buried() == 1, "the refused task")
    wait_for(lambda: queue.buried() == 1, "the refused task to be buried")
    assert queue.stats()["total"] == 1
