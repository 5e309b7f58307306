"""Enqueue, delivery, settlement and the counters of an in-memory queue and
of a queue in PostgreSQL, with leases long enough that time plays no part."""

import time

import pytest

from conftest import LONG_LEASE_MS, check_storage_keys, counters

pytestmark = [pytest.mark.both_backends, pytest.mark.quick]

STATS_KEYS = ["ready", "in_flight", "total", "enqueued_total", "acked_total",
              "requeued_total", "dead_total", "next_seq", "live_bytes", "log_bytes",
              "generation", "persistent"]

EMPTY_STATS = {"ready": 0, "in_flight": 0, "total": 0, "enqueued_total": 0,
               "acked_total": 0, "requeued_total": 0, "dead_total": 0, "next_seq": 0,
               "live_bytes": 0, "log_bytes": 16, "generation": 0, "persistent": False}


def now_ms():
    return time.time_ns() // 1_000_000


# -- enqueue -----------------------------------------------------------------

def test_ids_start_at_zero_and_increase_by_one(queue):
    assert [queue.enqueue(b"m%d" % i) for i in range(3)] == [0, 1, 2]
    assert queue.enqueue_batch([b"a", b"b"]) == [3, 4]
    assert queue.enqueue(b"") == 5
    assert queue.stats()["next_seq"] == 6


def test_batch_shares_one_timestamp_taken_at_enqueue(queue):
    before = now_ms()
    assert queue.enqueue_batch([b"a", b"bb", b"ccc"]) == [0, 1, 2]
    after = now_ms()
    deliveries = queue.dequeue_batch(10)
    assert [(d[0], d[1]) for d in deliveries] == [(0, b"a"), (1, b"bb"), (2, b"ccc")]
    stamps = {d[3] for d in deliveries}
    assert len(stamps) == 1
    # Wall-clock milliseconds since the epoch; the slack only absorbs rounding.
    assert before - 2000 <= stamps.pop() <= after + 2000


def test_empty_batch_returns_empty_list_and_changes_nothing(queue):
    assert queue.enqueue_batch([]) == []
    assert queue.enqueue_batch(()) == []
    stats = queue.stats()
    assert list(stats) == STATS_KEYS
    assert counters(stats) == counters(EMPTY_STATS)
    check_storage_keys(queue, stats)


def test_empty_body_is_a_message(queue):
    seq = queue.enqueue(b"")
    assert queue.stats()["live_bytes"] == 33
    assert queue.dequeue()[:3] == (seq, b"", 1)


# -- delivery ----------------------------------------------------------------

def test_delivery_tuple_shape(queue):
    queue.enqueue(bytearray(b"payload"))
    delivery = queue.dequeue()
    assert type(delivery) is tuple and len(delivery) == 4
    seq, body, deliveries, enqueued_ts_ms = delivery
    assert (seq, body, deliveries) == (0, b"payload", 1)
    assert type(body) is bytes
    assert all(type(v) is int for v in (seq, deliveries, enqueued_ts_ms))


def test_dequeue_on_empty_queue_returns_none(queue):
    assert queue.dequeue() is None
    assert queue.dequeue_batch(10) == []
    queue.enqueue(b"only")
    queue.dequeue()
    assert queue.dequeue() is None


def test_dequeue_batch_is_ascending_and_bounded_by_max(queue):
    queue.enqueue_batch([b"a", b"b", b"c"])
    assert queue.dequeue()[0] == 0
    queue.nack(0)
    batch = queue.dequeue_batch(2)
    assert [(d[0], d[1], d[2]) for d in batch] == [(0, b"a", 2), (1, b"b", 1)]
    assert queue.available() == 1
    assert queue.in_flight() == 2
    assert [d[0] for d in queue.dequeue_batch(5)] == [2]


def test_dequeue_batch_of_zero_leases_nothing(queue):
    queue.enqueue(b"a")
    assert queue.dequeue_batch(0) == []
    assert (queue.available(), queue.in_flight()) == (1, 0)


# -- acknowledgement ---------------------------------------------------------

def test_ack_succeeds_once_whether_leased_or_ready(queue):
    queue.enqueue_batch([b"a", b"b", b"c"])
    seq = queue.dequeue()[0]
    assert queue.ack(seq) is True
    assert queue.ack(seq) is False
    assert queue.ack(1) is True
    stats = queue.stats()
    assert (stats["acked_total"], stats["total"], stats["in_flight"]) == (2, 1, 0)
    assert queue.dequeue()[0] == 2


def test_ack_batch_counts_only_live_distinct_ids(queue):
    assert queue.ack_batch([]) == 0
    queue.enqueue_batch([b"a", b"b"])
    queue.dequeue()
    assert queue.ack_batch([0, 0, 99]) == 1
    assert queue.ack_batch([7, 8]) == 0
    assert queue.ack_batch((1,)) == 1
    stats = queue.stats()
    assert (stats["acked_total"], stats["total"]) == (2, 0)


def test_nack_requeue_keeps_delivery_count(queue):
    queue.enqueue_batch([b"a", b"b"])
    seq, _, deliveries, _ = queue.dequeue(LONG_LEASE_MS)
    assert deliveries == 1
    assert queue.nack(seq) is True
    stats = queue.stats()
    assert (stats["ready"], stats["in_flight"], stats["requeued_total"]) == (2, 0, 1)
    # Back in id order ahead of the newer message; the requeue itself was not
    # a delivery, so the count only rises with the next lease.
    assert queue.dequeue()[:3] == (seq, b"a", 2)


def test_nack_requeue_of_ready_message_keeps_it_ready_once(queue):
    queue.enqueue(b"a")
    assert queue.nack(0, requeue=True) is True
    stats = queue.stats()
    assert (stats["ready"], stats["total"], stats["requeued_total"]) == (1, 1, 1)
    assert queue.dequeue()[2] == 1
    assert queue.dequeue() is None


def test_nack_without_requeue_drops_message_for_good(queue):
    queue.enqueue_batch([b"doomed", b"next"])
    seq = queue.dequeue()[0]
    assert queue.nack(seq, requeue=False) is True
    stats = queue.stats()
    assert (stats["dead_total"], stats["total"], stats["acked_total"]) == (1, 1, 0)
    assert stats["live_bytes"] == len(b"next") + 33
    assert queue.dequeue()[0] == 1
    assert queue.dequeue() is None
    assert queue.nack(seq, requeue=False) is False
    assert queue.ack(seq) is False


@pytest.mark.parametrize("call, expected", [
    (lambda q: q.ack(42), False),
    (lambda q: q.nack(42), False),
    (lambda q: q.nack(42, requeue=False), False),
    (lambda q: q.extend_lease(42), False),
    (lambda q: q.extend_lease(1, LONG_LEASE_MS), False),  # ready, not leased
    (lambda q: q.ack_batch([42, 43]), 0),
    (lambda q: q.retry(42, 0), False),
    (lambda q: q.retry(1, 0), False),  # ready, not leased
    (lambda q: q.bury(42), False),
    (lambda q: q.kick(1), False),  # ready, not buried
    (lambda q: q.kick_all(), 0),
    (lambda q: q.ack_delivery(0, 2), False),  # leased, but by another delivery
    (lambda q: q.extend_delivery(0, 0, LONG_LEASE_MS), False),
    (lambda q: q.retry(0, 0, deliveries=2**64 - 1), False),
    (lambda q: q.bury(0, deliveries=3), False),
], ids=["ack", "nack-requeue", "nack-drop", "extend-unknown", "extend-ready", "ack_batch", "retry-unknown",
        "retry-ready", "bury-unknown", "kick-ready", "kick_all", "ack-other-delivery", "extend-other-delivery",
        "retry-other-delivery", "bury-other-delivery"])
def test_settling_unknown_or_unleased_ids_changes_nothing(loaded_queue, call, expected):
    before = loaded_queue.stats()
    result = call(loaded_queue)
    assert type(result) is type(expected) and result == expected
    assert loaded_queue.stats() == before


# -- scheduled and buried messages ---------------------------------------------

def held_counts(queue):
    """(ready, in flight, scheduled, buried), checked to add up to the total."""
    stats = queue.stats()
    counts = (stats["ready"], stats["in_flight"], queue.scheduled(), queue.buried())
    assert sum(counts) == stats["total"] and queue.in_flight() == counts[1]
    return counts


def test_delayed_messages_wait_for_their_time_unless_handed_back(queue):
    assert queue.enqueue_delayed(b"later", LONG_LEASE_MS) == 0
    assert queue.enqueue_batch_delayed([b"later too", b"and this"], LONG_LEASE_MS) == [1, 2]
    assert queue.enqueue_delayed(b"now", 0) == 3  # a delay of 0 is a plain enqueue
    assert queue.enqueue_batch_delayed([], LONG_LEASE_MS) == []
    assert held_counts(queue) == (1, 0, 3, 0)
    assert queue.dequeue_batch(10, LONG_LEASE_MS)[0][:3] == (3, b"now", 1)
    assert queue.dequeue() is None
    # Waiting for its time is no lease of a delivery.
    assert queue.extend_lease(0, 0) is False and queue.retry(0, 0) is False
    assert queue.nack(1) is True  # ready now, never delivered
    assert queue.dequeue(LONG_LEASE_MS)[:3] == (1, b"later too", 1)
    assert queue.ack(2) is True
    assert held_counts(queue) == (0, 2, 1, 0)
    assert queue.stats()["live_bytes"] == len(b"later" + b"now" + b"later too") + 3 * 33


def test_buried_message_is_never_delivered_until_kicked(queue):
    queue.enqueue_batch([b"poison", b"also poison", b"healthy", b"doomed"])
    seq, _, deliveries, _ = queue.dequeue(LONG_LEASE_MS)
    assert queue.bury(seq, deliveries=deliveries) is True
    assert queue.bury(seq) is False  # buried already
    assert queue.bury(1) is True and queue.bury(3) is True  # ready messages too
    assert held_counts(queue) == (1, 0, 0, 3)
    assert [d[:3] for d in queue.dequeue_batch(10, 0)] == [(2, b"healthy", 1)]
    # Not a lease: no sweep returns it, and it cannot be renewed or retried.
    assert queue.available() == 1 and queue.dequeue(LONG_LEASE_MS)[0] == 2
    assert queue.extend_lease(0, 0) is False and queue.retry(0, 0) is False
    assert queue.nack(3, requeue=False) is True and queue.buried() == 2
    assert queue.kick(0) is True and queue.kick(0) is False
    assert queue.dequeue(LONG_LEASE_MS)[:3] == (0, b"poison", 2)  # its count kept
    assert queue.bury(2) is True and queue.kick_all() == 2
    assert held_counts(queue) == (2, 1, 0, 0)
    assert queue.bury(1) is True and queue.ack(1) is True
    stats = queue.stats()
    assert (stats["total"], stats["dead_total"], stats["acked_total"], stats["requeued_total"]) == (2, 1, 1, 4)


def test_a_guarded_settle_touches_only_its_own_delivery(queue):
    queue.enqueue(b"job")
    late = queue.dequeue(lease_ms=0)
    current = queue.dequeue(LONG_LEASE_MS)
    assert (late[2], current[2]) == (1, 2)
    # The worker whose lease ran out cannot settle the delivery that replaced it.
    assert queue.ack_delivery(0, late[2]) is False
    assert queue.extend_delivery(0, late[2], 0) is False
    assert queue.retry(0, 0, deliveries=late[2]) is False
    assert queue.bury(0, deliveries=late[2]) is False
    assert held_counts(queue) == (0, 1, 0, 0)
    assert queue.extend_delivery(0, current[2], LONG_LEASE_MS) is True
    assert queue.retry(0, LONG_LEASE_MS, deliveries=current[2]) is True
    # Until it falls due a retried message is in flight, and still this delivery.
    assert held_counts(queue) == (0, 1, 0, 0)
    assert queue.ack_delivery(0, current[2]) is True and queue.ack_delivery(0, current[2]) is False
    assert queue.stats()["acked_total"] == 1


# -- acknowledging and leasing in one call ---------------------------------------

def test_ack_and_dequeue_settles_each_delivery_and_leases_the_next_in_id_order(queue):
    queue.enqueue_batch([b"a", b"b", b"c"])
    delivery = queue.dequeue(LONG_LEASE_MS)
    seen = []
    while delivery is not None:
        seen.append(delivery[:3])
        acked, delivery = queue.ack_and_dequeue(delivery[0], lease_ms=LONG_LEASE_MS)
        assert acked is True
    assert seen == [(0, b"a", 1), (1, b"b", 1), (2, b"c", 1)]
    assert counters(queue.stats()) == {**counters(EMPTY_STATS), "enqueued_total": 3, "acked_total": 3,
                                       "next_seq": 3}
    # Nothing to settle and nothing to lease.
    assert queue.ack_and_dequeue(0) == (False, None)


def test_ack_and_dequeue_with_a_delivery_count_settles_only_that_delivery(queue):
    queue.enqueue_batch([b"a", b"b"])
    assert queue.dequeue(lease_ms=0)[:3] == (0, b"a", 1)
    # The lease ran out and another consumer holds the message now.
    assert queue.dequeue(LONG_LEASE_MS)[:3] == (0, b"a", 2)
    # The first consumer, late, settles nothing and gets the next message.
    acked, delivery = queue.ack_and_dequeue(0, deliveries=1, lease_ms=LONG_LEASE_MS)
    assert (acked, delivery[:3]) == (False, (1, b"b", 1))
    assert queue.ack_and_dequeue(0, deliveries=2) == (True, None)
    stats = queue.stats()
    assert (stats["acked_total"], stats["requeued_total"], stats["total"], stats["in_flight"]) == (1, 1, 1, 1)


def test_ack_and_dequeue_sweeps_expired_leases_and_leases_only_ready_messages(queue):
    assert queue.enqueue_delayed(b"later", LONG_LEASE_MS) == 0
    queue.enqueue_batch([b"poison", b"a", b"b", b"c"])
    assert queue.bury(1) is True
    assert [d[0] for d in queue.dequeue_batch(2, lease_ms=0)] == [2, 3]
    # Message 3 is acknowledged though its lease had run out; 2 comes back
    # before the newer 4, with its delivery counted again.
    acked, delivery = queue.ack_and_dequeue(3, lease_ms=LONG_LEASE_MS)
    assert (acked, delivery[:3]) == (True, (2, b"a", 2))
    assert queue.ack_and_dequeue(2, lease_ms=LONG_LEASE_MS)[1][:3] == (4, b"c", 1)
    # Neither the scheduled message nor the buried one is ever leased.
    assert queue.ack_and_dequeue(4) == (True, None)
    assert held_counts(queue) == (0, 0, 1, 1)
    assert queue.stats()["requeued_total"] == 1


# -- statistics --------------------------------------------------------------

def test_stats_track_every_counter(queue):
    queue.enqueue_batch([b"x" * 10, b"yy", b"", b"zzz"])
    queue.dequeue_batch(3, LONG_LEASE_MS)
    queue.ack(0)
    queue.nack(1)
    queue.nack(2, requeue=False)
    stats = queue.stats()
    assert list(stats) == STATS_KEYS
    assert counters(stats) == {
        "ready": 2, "in_flight": 0, "total": 2, "enqueued_total": 4, "acked_total": 1,
        "requeued_total": 1, "dead_total": 1, "next_seq": 4,
        "live_bytes": (2 + 33) + (3 + 33),
    }
    check_storage_keys(queue, stats)
    assert stats["ready"] + stats["in_flight"] == stats["total"]


def test_oldest_ready_is_the_enqueue_time_of_the_message_waiting_longest(queue):
    assert queue.oldest_ready_ts_ms() is None
    queue.enqueue(b"first")
    time.sleep(0.01)  # a later millisecond, on the server's clock too
    queue.enqueue(b"second")
    first, second = [d[3] for d in queue.dequeue_batch(2, LONG_LEASE_MS)]
    assert first < second and queue.oldest_ready_ts_ms() is None
    queue.nack(1)
    assert queue.oldest_ready_ts_ms() == second
    # A requeued message keeps its enqueue time and its place before later ones.
    queue.nack(0)
    assert queue.oldest_ready_ts_ms() == first
    # A lease that has run out counts as ready, as available() counts it.
    assert queue.dequeue(0)[0] == 0
    assert queue.oldest_ready_ts_ms() == first
    assert queue.available() == 2
    queue.ack_batch([0, 1])
    assert queue.oldest_ready_ts_ms() is None


# -- maintenance -------------------------------------------------------------

def test_flush_and_compact_return_none_and_change_nothing(loaded_queue):
    before = loaded_queue.stats()
    assert loaded_queue.flush() is None
    assert loaded_queue.compact() is None
    assert counters(loaded_queue.stats()) == counters(before)
    assert [d[1] for d in loaded_queue.dequeue_batch(5)] == [b"one", b"two"]


def test_purge_empties_queue_and_restarts_ids(loaded_queue):
    loaded_queue.ack(1)
    assert loaded_queue.bury(2) and loaded_queue.enqueue_delayed(b"later", LONG_LEASE_MS) == 3
    assert loaded_queue.purge() is None
    assert (loaded_queue.scheduled(), loaded_queue.buried()) == (0, 0)
    stats = loaded_queue.stats()
    assert counters(stats) == counters(EMPTY_STATS)
    check_storage_keys(loaded_queue, stats, purges=1)
    assert (loaded_queue.available(), loaded_queue.in_flight()) == (0, 0)
    # The id that was leased before the purge no longer names anything.
    assert loaded_queue.ack(0) is False
    assert loaded_queue.extend_lease(0, LONG_LEASE_MS) is False
    assert loaded_queue.dequeue() is None
    assert loaded_queue.enqueue(b"fresh") == 0
    assert loaded_queue.dequeue()[:3] == (0, b"fresh", 1)


def test_verify_integrity_reports_a_sound_queue(loaded_queue, backend):
    before = loaded_queue.stats()
    report = loaded_queue.verify_integrity()
    assert list(report) == ["ok", "records", "bytes", "message"]
    if backend == "core":
        assert report == {"ok": True, "records": 0, "bytes": 0,
                          "message": ":memory: queue has no on-disk log"}
    else:
        # Every stored message read back, and the size the tables take.
        assert report == {"ok": True, "records": 3, "bytes": before["log_bytes"], "message": "clean"}
    assert report["ok"] is True
    assert loaded_queue.stats() == before


def test_body_too_large_for_one_record_is_refused_with_nothing_enqueued(queue):
    largest_body = 536870912 - 21  # the record limit less the Enqueue header
    oversized = bytes(largest_body + 1)
    with pytest.raises(ValueError, match=f"{largest_body + 1} bytes is too large"):
        queue.enqueue_batch([b"fits", oversized])
    del oversized
    assert queue.stats()["total"] == 0
    assert queue.enqueue(b"next") == 0


# -- closing -----------------------------------------------------------------

def require(queue, method):
    """Skips a shared test on a backend that does not have `method` yet."""
    if not hasattr(queue, method):
        pytest.skip(f"{type(queue).__name__} has no {method}() yet")


CALLS_AFTER_CLOSE = [
    lambda q: q.enqueue(b"x"), lambda q: q.enqueue_batch([b"x"]), lambda q: q.dequeue(),
    lambda q: q.dequeue_batch(1), lambda q: q.ack(0), lambda q: q.ack_batch([0]), lambda q: q.nack(0),
    lambda q: q.extend_lease(0), lambda q: q.available(), lambda q: q.in_flight(), lambda q: q.stats(),
    lambda q: q.flush(), lambda q: q.compact(), lambda q: q.purge(), lambda q: q.verify_integrity(),
    lambda q: q.dequeue_wait(0), lambda q: q.dequeue_batch_wait(1, 0),
    lambda q: q.enqueue_delayed(b"x", 1), lambda q: q.enqueue_batch_delayed([b"x"], 1), lambda q: q.retry(0, 1),
    lambda q: q.bury(0), lambda q: q.kick(0), lambda q: q.kick_all(), lambda q: q.ack_delivery(0, 1),
    lambda q: q.extend_delivery(0, 1), lambda q: q.scheduled(), lambda q: q.buried(), lambda q: q.ack_and_dequeue(0),
]


def test_close_is_idempotent_and_later_calls_raise_value_error(fresh_queue):
    require(fresh_queue(), "close")
    with fresh_queue() as queue:
        assert queue.enqueue(b"kept") == 0
    assert queue.close() is None
    for call in CALLS_AFTER_CLOSE:
        with pytest.raises(ValueError):
            call(queue)
