"""Calls, successful or refused, must not keep references or memory behind."""

import gc
import sys
import tracemalloc

import pytest

import tollivane


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _exercise_every_method(queue, body, bodies, seqs):
    seq = queue.enqueue(body)
    queue.enqueue_batch(bodies)
    queue.dequeue(lease_ms=Index(0))
    queue.dequeue_batch(Index(3), lease_ms=0)
    queue.extend_lease(seq, 1)
    queue.nack(seq, requeue=True)
    queue.nack(seq, requeue=False)
    queue.ack(Index(seq + 1))
    queue.ack_batch(seqs)
    queue.available()
    queue.in_flight()
    queue.stats()
    queue.flush()
    queue.compact()
    queue.verify_integrity()


BAD_CALLS = [
    lambda q: q.enqueue("text"),
    lambda q: q.enqueue([1, 2, 256]),
    lambda q: q.enqueue([1, "x"]),
    lambda q: q.enqueue_batch([b"ok", 5]),
    lambda q: q.ack(-1),
    lambda q: q.ack(2**64),
    lambda q: q.ack_batch([1, None]),
    lambda q: q.nack(0, requeue=1),
    lambda q: q.dequeue(lease_ms=1.5),
    lambda q: q.dequeue_batch(-1),
    lambda q: q.extend_lease(0, lease_ms="x"),
    lambda q: q.stats(1),
    lambda q: q.ack(seq=1, extra=2),
]


def test_arguments_are_not_kept_alive_by_successful_or_refused_calls():
    queue = tollivane.TollivaneCore(":memory:")
    body = bytes(range(50))
    bodies = [b"first", bytearray(b"second"), [1, 2, 3]]
    seqs = [0, 1, 2, 10**6]
    tracked = [body, bodies, seqs, *bodies]
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(50):
        _exercise_every_method(queue, body, bodies, seqs)
        for call in BAD_CALLS:
            with pytest.raises((TypeError, OverflowError)):
                call(queue)
    assert [sys.getrefcount(obj) for obj in tracked] == before


def test_memory_stays_flat_over_many_calls_and_errors():
    queue = tollivane.TollivaneCore(":memory:")
    body = b"x" * 200
    bodies = [b"a" * 100] * 4

    def run(rounds):
        for _ in range(rounds):
            _exercise_every_method(queue, body, bodies, [0, 1, 2, 3])
            for call in BAD_CALLS:
                try:
                    call(queue)
                except (TypeError, OverflowError):
                    pass
            queue.purge()

    run(200)  # warm caches and free lists
    gc.collect()
    tracemalloc.start()
    try:
        baseline, _ = tracemalloc.get_traced_memory()
        run(2000)
        gc.collect()
        grown, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak of one result or exception object per call would be hundreds of
    # kilobytes here; allow only allocator noise.
    assert grown - baseline < 64 * 1024
