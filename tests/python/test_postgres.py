"""What only the queue in PostgreSQL has: names that become table names,
several processes creating one queue at once, a server that crashes and
comes back, lock time-outs, connections that close() gives back, and
waiting consumers that share one object."""

import threading
import time

import pytest

psycopg = pytest.importorskip("psycopg")

from tollivane_postgres import PostgresQueue  # noqa: E402

from conftest import LONG_LEASE_MS, push_out_postgres_recheck  # noqa: E402
from sharing_support import SPAWN, open_at_once, produce_until_failure  # noqa: E402

UNREACHABLE = "host=/nonexistent dbname=none connect_timeout=1"


@pytest.mark.parametrize("arguments, error, text", [
    ({"name": ""}, ValueError, "must not be empty"),
    ({"name": "q" * 45}, ValueError, "longer than 44"),
    ({"name": "Jobs"}, ValueError, "lower-case"),
    ({"name": 'jobs"; DROP TABLE jobs; --'}, ValueError, "lower-case"),
    ({"name": "jöbs"}, ValueError, "lower-case"),
    ({"name": 5}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ({"conninfo": None}, TypeError, "argument 'conninfo': "),
    ({"sync_interval_ms": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"default_lease_ms": "x"}, TypeError, "argument 'default_lease_ms': "),
])
def test_unusable_arguments_are_refused_before_connecting(arguments, error, text):
    # The server named here does not exist: refusing must not need it.
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        PostgresQueue(**{"conninfo": UNREACHABLE, **arguments})


def test_unreachable_server_raises_os_error():
    with pytest.raises(OSError, match="^Tollivane I/O error: "):
        PostgresQueue(UNREACHABLE)


def test_names_select_independent_queues(postgres_queues):
    longest, other = "q" * 44, "q" * 43
    assert postgres_queues.open(longest).enqueue(b"in longest") == 0
    assert postgres_queues.open(other).enqueue_batch([b"in other", b"again"]) == [0, 1]
    assert postgres_queues.open(longest).dequeue()[1] == b"in longest"
    assert postgres_queues.open(other).available() == 2


def test_processes_creating_one_queue_at_once_share_it(postgres_server, postgres_queues):
    where = (postgres_server.conninfo, postgres_queues.new_name())
    barrier, results = SPAWN.Barrier(4), SPAWN.Queue()
    processes = [SPAWN.Process(target=open_at_once, args=(where, barrier, results), daemon=True) for _ in range(4)]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=60) for _ in processes]
    for process in processes:
        process.join(30)
    assert sorted(outcomes) == [("enqueued", seq) for seq in range(4)]


def test_server_crash_keeps_every_enqueue_that_returned(postgres_server, postgres_queues):
    name = postgres_queues.new_name()
    watcher = postgres_queues.open(name)
    # Commits that did not wait for the server's flush are made durable by flush().
    relaxed = postgres_queues.open(name, sync_interval_ms=1000)
    flushed = relaxed.enqueue_batch([b"relaxed"] * 3)
    relaxed.flush()
    receiver, sender = SPAWN.Pipe(duplex=False)
    producer = SPAWN.Process(target=produce_until_failure, args=((postgres_server.conninfo, name), sender), daemon=True)
    producer.start()
    returned = [receiver.recv() for _ in range(50)]
    try:
        postgres_server.stop("immediate")
        while not isinstance(returned[-1], tuple):
            assert receiver.poll(30)
            returned.append(receiver.recv())
        with pytest.raises(OSError, match="^Tollivane I/O error: "):
            watcher.stats()
        assert relaxed.close() is None  # without a server to talk to
    finally:
        postgres_server.start()
    producer.join(30)
    failure = returned.pop()
    assert failure[0] == "failed", failure

    # The same object connects again, and finds every message whose enqueue returned.
    kept = {seq: body for seq, body, _, _ in watcher.dequeue_batch(1 << 20, LONG_LEASE_MS)}
    assert all(kept.get(seq) == b"relaxed" for seq in flushed)
    assert all(kept.get(seq) == b"before the crash" for seq in returned)
    # Ids go on above every id handed out before the crash.
    assert watcher.enqueue(b"after") > max(kept)


def test_lock_held_too_long_raises_timeout_error_and_queue_stays_usable(postgres_server, postgres_queues,
                                                                        monkeypatch):
    monkeypatch.setattr("tollivane_postgres.queue.LOCK_TIMEOUT", "200ms")
    name = postgres_queues.new_name()
    queue = postgres_queues.open(name)
    queue.enqueue(b"waiting")
    with psycopg.connect(postgres_server.conninfo) as holder:
        holder.execute(f"LOCK TABLE tollivane_{name}_messages IN ACCESS EXCLUSIVE MODE")
        with pytest.raises(TimeoutError, match="lock timeout"):
            queue.dequeue()
        with pytest.raises(OSError):  # TimeoutError is an OSError too
            queue.ack(0)
    assert queue.dequeue(LONG_LEASE_MS)[:3] == (0, b"waiting", 1)


def test_close_gives_back_the_server_connections(postgres_server, postgres_queues):
    with psycopg.connect(postgres_server.conninfo, autocommit=True) as observer:
        def sessions():
            query = "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'"
            return observer.execute(query).fetchone()[0]

        before = sessions()
        queue = postgres_queues.open()
        assert queue.dequeue_wait(50) is None  # opens the connection that waits
        assert sessions() == before + 2
        queue.close()
        give_up = time.monotonic() + 10
        while sessions() > before and time.monotonic() < give_up:
            time.sleep(0.05)
        assert sessions() == before


def test_threads_waiting_on_one_object_are_all_woken(postgres_queues, monkeypatch):
    push_out_postgres_recheck(monkeypatch)
    name = postgres_queues.new_name()
    shared, producer = postgres_queues.open(name), postgres_queues.open(name)
    delivered = []
    waiters = [threading.Thread(target=lambda: delivered.append(shared.dequeue_wait(60_000, LONG_LEASE_MS)),
                                daemon=True) for _ in range(3)]
    for waiter in waiters:
        waiter.start()
    for body in (b"a", b"b", b"c"):
        time.sleep(0.2)  # the waiters are asleep again
        producer.enqueue(body)
    # Well before their time-out: each was woken by a notification.
    give_up = time.monotonic() + 20
    for waiter in waiters:
        waiter.join(max(0.0, give_up - time.monotonic()))
    assert sorted(d[:3] for d in delivered) == [(0, b"a", 1), (1, b"b", 1), (2, b"c", 1)]
