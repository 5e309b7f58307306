"""A persistent queue rebuilt from its directory by a fresh object holds what
the previous object held: messages, leases, delivery counts, counters and
lease deadlines."""

import os
import random
import time

import pytest

from conftest import ENQUEUE_OVERHEAD, LONG_LEASE_MS, drain, log_path, open_queue


def now_ms():
    return time.time_ns() // 1_000_000


@pytest.mark.parametrize("sync_interval_ms", [0, 3_600_000])
def test_reopen_restores_messages_leases_and_counters(tmp_path, sync_interval_ms):
    rng = random.Random(7)
    # Sizes around the 8192-byte writer buffer, so frames both fit it and bypass it.
    bodies = [rng.randbytes(n) for n in (0, 1, 100, 8192 - ENQUEUE_OVERHEAD, 9000, 70000)]
    q = open_queue(tmp_path, sync_interval_ms=sync_interval_ms)
    before_batch = now_ms()
    assert q.enqueue_batch(bodies[:4]) == [0, 1, 2, 3]
    assert q.enqueue(bodies[4]) == 4
    assert q.enqueue(bodies[5]) == 5
    after_enqueue = now_ms()

    first = q.dequeue(LONG_LEASE_MS)
    assert first[:3] == (0, bodies[0], 1)
    assert q.dequeue(LONG_LEASE_MS)[:3] == (1, bodies[1], 1)
    assert q.nack(1) is True                          # back to ready, count kept
    assert q.dequeue(LONG_LEASE_MS)[:3] == (1, bodies[1], 2)
    assert q.dequeue(LONG_LEASE_MS)[0] == 2
    assert q.nack(2, requeue=False) is True           # dead
    assert q.dequeue(LONG_LEASE_MS)[0] == 3
    assert q.ack(3) is True
    assert q.dequeue(1_000)[0] == 4
    assert q.extend_lease(4, LONG_LEASE_MS) is True   # no sweep runs in between
    before = q.stats()
    assert before == {
        "ready": 1, "in_flight": 3, "total": 4, "enqueued_total": 6, "acked_total": 1,
        "requeued_total": 1, "dead_total": 1, "next_seq": 6,
        "live_bytes": sum(len(bodies[i]) + ENQUEUE_OVERHEAD for i in (0, 1, 4, 5)),
        "log_bytes": os.path.getsize(log_path(tmp_path)), "generation": 0, "persistent": True}
    del q

    q = open_queue(tmp_path, sync_interval_ms=sync_interval_ms)
    assert q.stats() == before
    assert q.in_flight() == 3
    stats, ready, in_flight = drain(q)
    batch_ts = first[3]
    assert before_batch <= batch_ts <= after_enqueue
    assert ready == {5: (bodies[5], 0, ready[5][2])}
    assert batch_ts <= ready[5][2] <= after_enqueue
    assert in_flight == {0: (bodies[0], 1, batch_ts), 1: (bodies[1], 2, batch_ts),
                         4: (bodies[4], 1, in_flight[4][2])}
    assert batch_ts <= in_flight[4][2] <= ready[5][2]
    assert q.enqueue(b"next") == 6


def test_lease_deadlines_survive_reopen(tmp_path):
    short_ms = 1_000
    q = open_queue(tmp_path)
    q.enqueue_batch([b"short", b"long", b"shortened", b"lengthened"])
    leased_at = time.monotonic()
    assert q.dequeue(short_ms)[0] == 0
    assert q.dequeue(LONG_LEASE_MS)[0] == 1
    assert q.dequeue(LONG_LEASE_MS)[0] == 2
    assert q.extend_lease(2, short_ms) is True
    assert q.dequeue(short_ms)[0] == 3
    assert q.extend_lease(3, LONG_LEASE_MS) is True
    del q

    q = open_queue(tmp_path)
    # in_flight() never sweeps, so this holds however slowly the test runs.
    assert q.in_flight() == 4
    time.sleep(max(0.0, leased_at + 2.5 * short_ms / 1000 - time.monotonic()))
    assert q.available() == 2
    assert q.in_flight() == 2
    # Expiry keeps the delivery count; the next lease raises it.
    assert [d[:3] for d in q.dequeue_batch(10, LONG_LEASE_MS)] == [
        (0, b"short", 2), (2, b"shortened", 2)]
    assert q.stats()["requeued_total"] == 2


def test_zero_lease_taken_before_close_is_redelivered_after_reopen(tmp_path):
    q = open_queue(tmp_path)
    q.enqueue(b"job")
    assert q.dequeue(lease_ms=0)[:3] == (0, b"job", 1)
    del q
    q = open_queue(tmp_path)
    assert q.dequeue(LONG_LEASE_MS)[:3] == (0, b"job", 2)
    del q
    assert open_queue(tmp_path).stats()["requeued_total"] == 1

