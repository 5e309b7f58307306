"""Lease expiry, the sweep that reclaims expired leases, and lease extension.

A lease of 0 ms is already over at the next call, which makes expiry
deterministic without sleeping. Where a real wait is needed, the margins are
wide: leases of a fraction of a second against waits several times longer,
and "still leased" checks against leases of an hour."""

import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import LONG_LEASE_MS, push_out_postgres_recheck
from test_operations import require

pytestmark = pytest.mark.both_backends

U64_MAX = 2**64 - 1


def test_expired_lease_is_redelivered_with_higher_count(queue):
    queue.enqueue(b"work")
    assert queue.dequeue(lease_ms=0)[:3] == (0, b"work", 1)
    assert queue.dequeue(lease_ms=0)[:3] == (0, b"work", 2)
    assert queue.dequeue(lease_ms=LONG_LEASE_MS)[:3] == (0, b"work", 3)
    assert queue.stats()["requeued_total"] == 2
    assert queue.dequeue() is None


def test_short_lease_runs_out_in_real_time(queue):
    queue.enqueue(b"work")
    queue.dequeue(lease_ms=50)
    time.sleep(0.5)
    assert queue.dequeue(LONG_LEASE_MS)[:3] == (0, b"work", 2)


def test_expired_message_is_delivered_before_newer_ones(queue):
    queue.enqueue_batch([b"old", b"new"])
    queue.dequeue(lease_ms=0)
    assert queue.dequeue()[:3] == (0, b"old", 2)
    assert queue.dequeue()[:3] == (1, b"new", 1)


@pytest.mark.parametrize("sweep", [
    lambda q: q.available(),
    lambda q: q.stats(),
    lambda q: q.dequeue_batch(0),
], ids=["available", "stats", "dequeue_batch-0"])
def test_in_flight_counts_expired_leases_until_a_sweep(queue, sweep):
    queue.enqueue(b"a")
    queue.dequeue(lease_ms=0)
    # in_flight() never sweeps, however often it is asked.
    assert queue.in_flight() == 1
    assert queue.in_flight() == 1
    sweep(queue)
    assert queue.in_flight() == 0
    stats = queue.stats()
    assert (stats["ready"], stats["in_flight"], stats["requeued_total"]) == (1, 0, 1)


def test_dequeue_batch_sweeps_and_shares_the_lease(queue):
    queue.enqueue_batch([b"a", b"b", b"c"])
    assert [d[0] for d in queue.dequeue_batch(2, lease_ms=0)] == [0, 1]
    redelivered = queue.dequeue_batch(3, lease_ms=LONG_LEASE_MS)
    assert [(d[0], d[2]) for d in redelivered] == [(0, 2), (1, 2), (2, 1)]


def test_acked_message_is_not_requeued_when_its_old_lease_expires(queue):
    queue.enqueue(b"a")
    seq = queue.dequeue(lease_ms=0)[0]
    # Settlement does not sweep, so the expired lease can still be acked.
    assert queue.ack(seq) is True
    assert queue.available() == 0
    stats = queue.stats()
    assert (stats["requeued_total"], stats["total"], stats["acked_total"]) == (0, 0, 1)


def test_extend_lease_prevents_redelivery_until_new_deadline(queue):
    queue.enqueue(b"a")
    seq = queue.dequeue(lease_ms=200)[0]
    assert queue.extend_lease(seq, 60_000) is True
    time.sleep(0.6)
    # The original deadline has passed, but only the new one counts.
    assert queue.available() == 0
    assert queue.dequeue() is None
    assert queue.in_flight() == 1
    assert queue.stats()["requeued_total"] == 0


def test_extend_lease_rescues_expired_but_unswept_lease(queue):
    queue.enqueue(b"a")
    seq = queue.dequeue(lease_ms=0)[0]
    assert queue.extend_lease(seq, LONG_LEASE_MS) is True
    assert queue.dequeue() is None
    assert queue.in_flight() == 1


def test_extend_lease_is_false_once_the_sweep_requeued_it(queue):
    queue.enqueue(b"a")
    seq = queue.dequeue(lease_ms=0)[0]
    assert queue.available() == 1
    assert queue.extend_lease(seq, LONG_LEASE_MS) is False


def test_extend_lease_to_zero_expires_at_next_sweep_without_counting(queue):
    queue.enqueue(b"a")
    seq = queue.dequeue(LONG_LEASE_MS)[0]
    assert queue.extend_lease(seq, LONG_LEASE_MS) is True
    assert queue.extend_lease(seq, LONG_LEASE_MS) is True
    # The new deadline replaces the old one even when it is earlier.
    assert queue.extend_lease(seq, 0) is True
    assert queue.available() == 1
    assert queue.stats()["requeued_total"] == 1
    # Extensions are not deliveries: this is only the second one.
    assert queue.dequeue()[:3] == (seq, b"a", 2)


@pytest.mark.parametrize("lease", [U64_MAX, 2**64 - 1000])
def test_huge_lease_wraps_to_a_past_deadline(queue, lease):
    # A delay wraps the same way: the message is due at once.
    queue.enqueue_delayed(b"due", lease)
    assert queue.available() == 1 and queue.scheduled() == 0
    assert queue.ack(0) is True
    queue.enqueue_batch([b"a", b"b"])
    queue.dequeue(lease_ms=lease)
    assert queue.available() == 2
    queue.dequeue_batch(1, lease_ms=lease)
    assert queue.in_flight() == 1
    assert queue.available() == 2
    seq = queue.dequeue(LONG_LEASE_MS)[0]
    assert queue.extend_lease(seq, lease) is True
    assert queue.available() == 2
    assert queue.stats()["requeued_total"] == 4


def test_default_lease_applies_when_lease_is_omitted_or_none(fresh_queue):
    short = fresh_queue(default_lease_ms=0)
    short.enqueue_batch([b"a", b"b"])
    assert short.dequeue()[2] == 1
    assert short.dequeue(lease_ms=None)[:3] == (0, b"a", 2)
    assert [(d[0], d[2]) for d in short.dequeue_batch(5)] == [(0, 3), (1, 1)]

    # An explicit lease overrides the default; extend_lease without one falls
    # back to it, here ending the lease at once.
    seq = short.dequeue(lease_ms=LONG_LEASE_MS)[0]
    assert short.dequeue(lease_ms=LONG_LEASE_MS)[0] != seq
    assert short.extend_lease(seq) is True
    assert short.available() == 1


def test_default_lease_of_thirty_seconds_keeps_message_leased(queue):
    queue.enqueue(b"a")
    seq, _, _, _ = queue.dequeue()
    time.sleep(0.2)
    assert queue.dequeue() is None
    assert queue.extend_lease(seq, lease_ms=None) is True
    assert queue.dequeue_batch(1) == []
    assert queue.in_flight() == 1


# -- waiting dequeues ----------------------------------------------------------

# Long enough that a waiting call ends only because it was woken.
WAIT_MS = 60_000


@pytest.fixture
def waiting_queue(queue, backend, monkeypatch):
    """A queue with the waiting dequeues, whose waits end only on a wake-up
    or at their time-out: PostgreSQL's periodic second look is pushed out."""
    require(queue, "dequeue_wait")
    if backend == "postgres":
        push_out_postgres_recheck(monkeypatch)
    return queue


def woken(wait):
    """The result of a wait that must end by a wake-up, long before its time-out."""
    started = time.monotonic()
    result = wait()
    assert time.monotonic() - started < WAIT_MS / 2000, "the wait ran to its time-out"
    return result


def later(action, delay_s=0.2):
    """Runs `action` in another thread after `delay_s`."""
    timer = threading.Timer(delay_s, action)
    timer.start()
    return timer


def test_waiting_dequeue_returns_empty_handed_at_the_time_out(waiting_queue):
    assert waiting_queue.dequeue_wait(0) is None
    assert waiting_queue.dequeue_batch_wait(5, 0) == []
    started = time.monotonic()
    assert waiting_queue.dequeue_wait(150) is None
    assert waiting_queue.dequeue_batch_wait(5, 150, lease_ms=10) == []
    assert time.monotonic() - started >= 0.3
    # A time-out of 0 is a plain dequeue.
    waiting_queue.enqueue_batch([b"a", b"b", b"c", b"d"])
    assert waiting_queue.dequeue_wait(0, LONG_LEASE_MS)[:3] == (0, b"a", 1)
    assert [d[0] for d in waiting_queue.dequeue_batch_wait(2, 0)] == [1, 2]
    # Nor does the longest time-out wait when a message is ready.
    assert waiting_queue.dequeue_wait(U64_MAX, LONG_LEASE_MS)[:3] == (3, b"d", 1)


def test_waiting_dequeue_wakes_for_an_enqueue_by_another_thread(waiting_queue):
    timer = later(lambda: waiting_queue.enqueue(b"late"))
    assert woken(lambda: waiting_queue.dequeue_wait(WAIT_MS, LONG_LEASE_MS))[:3] == (0, b"late", 1)
    timer.join()
    # A batch wait returns what could be leased at once, up to max.
    later(lambda: waiting_queue.enqueue_batch([b"x", b"y", b"z"]))
    assert [d[1] for d in woken(lambda: waiting_queue.dequeue_batch_wait(2, WAIT_MS))] == [b"x", b"y"]


def test_waiting_dequeue_wakes_for_a_requeue_and_an_expiring_lease(waiting_queue):
    waiting_queue.enqueue_batch([b"first", b"second"])
    waiting_queue.dequeue(LONG_LEASE_MS)
    waiting_queue.dequeue(lease_ms=300)
    timer = later(lambda: waiting_queue.nack(0))
    assert woken(lambda: waiting_queue.dequeue_wait(WAIT_MS))[:3] == (0, b"first", 2)
    timer.join()
    # Nothing else happens: the lease of 300 ms running out wakes the wait.
    assert [d[:3] for d in woken(lambda: waiting_queue.dequeue_batch_wait(5, WAIT_MS))] == [(1, b"second", 2)]
    # Nor does anything happen while a delayed message and a retried one fall due.
    waiting_queue.enqueue_delayed(b"third", 300)
    assert woken(lambda: waiting_queue.dequeue_wait(WAIT_MS, LONG_LEASE_MS))[:3] == (2, b"third", 1)
    assert waiting_queue.retry(2, 300) is True
    assert woken(lambda: waiting_queue.dequeue_wait(WAIT_MS, LONG_LEASE_MS))[:3] == (2, b"third", 2)


def test_close_from_another_thread_ends_a_waiting_dequeue(waiting_queue):
    timer = later(waiting_queue.close)
    with pytest.raises(ValueError, match="closed queue"):
        woken(lambda: waiting_queue.dequeue_wait(WAIT_MS))
    timer.join()


def test_a_waiting_dequeue_uses_no_cpu_while_nothing_happens(waiting_queue):
    # A buried message never falls due: the wait must not time itself by it.
    waiting_queue.enqueue(b"dead")
    waiting_queue.dequeue(0)
    assert waiting_queue.bury(0) is True
    used = time.process_time()
    assert waiting_queue.dequeue_batch_wait(5, 1500) == []
    # Looking even 200 times a second would use far more than this.
    assert time.process_time() - used < 0.3


CTRL_C_SCRIPT = """
import sys
{open_queue}
print("waiting", flush=True)
try:
    queue.dequeue_wait(60_000)
except KeyboardInterrupt:
    queue.enqueue(b"after")
    print("interrupted", queue.dequeue_wait(0)[1], flush=True)
"""


def test_ctrl_c_ends_a_waiting_dequeue_and_the_queue_stays_usable(request, backend, queue):
    require(queue, "dequeue_wait")
    if backend == "postgres":
        conninfo = request.getfixturevalue("postgres_server").conninfo
        name = request.getfixturevalue("postgres_queues").new_name()
        open_queue = f"from tollivane_postgres import PostgresQueue\nqueue = PostgresQueue({conninfo!r}, {name!r})"
    else:
        open_queue = "from tollivane import TollivaneCore\nqueue = TollivaneCore(':memory:')"
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT.format(open_queue=open_queue)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # into the wait
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
    assert (out, child.returncode) == ("interrupted b'after'\n", 0), err
