"""Bodies of a persistent queue are read back from the log file, also when the
log has grown since the last read, and oversized bodies never reach it."""

import random

import pytest

from conftest import LONG_LEASE_MS, drain, log_path, open_queue

pytestmark = pytest.mark.quick

MAX_RECORD_LEN = 536_870_912


def test_bodies_appended_after_earlier_reads_come_back_intact(tmp_path):
    rng = random.Random(5)
    q = open_queue(tmp_path, sync_interval_ms=60_000)
    pending = {}        # seq -> body, in id order
    for _ in range(400):
        if pending and rng.random() < 0.45:
            seq, body, deliveries, _ = q.dequeue(LONG_LEASE_MS)
            assert (seq, deliveries) == (min(pending), 1)
            assert body == pending.pop(seq)
            assert q.ack(seq) is True
        else:
            size = rng.choice([0, 1, rng.randrange(2, 300), rng.randrange(300, 9000), 65536])
            body = rng.randbytes(size)
            pending[q.enqueue(body)] = body
    # A batch reads bodies from all over the file after many appends.
    batch = q.dequeue_batch(5, LONG_LEASE_MS)
    assert [(d[0], d[1]) for d in batch] == list(pending.items())[:5]
    for seq, *_ in batch:
        q.nack(seq)
    del q
    _, ready, in_flight = drain(open_queue(tmp_path))
    assert in_flight == {}
    assert {seq: body for seq, (body, _, _) in ready.items()} == pending


@pytest.mark.parametrize("body", [b"", bytes(range(256)) * 256], ids=["empty", "64KiB"])
def test_edge_sized_bodies_round_trip_across_reopen(tmp_path, body):
    q = open_queue(tmp_path)
    assert q.enqueue(body) == 0
    assert q.enqueue(b"marker") == 1
    assert q.dequeue(LONG_LEASE_MS)[:2] == (0, body)
    assert q.nack(0) is True
    del q
    q = open_queue(tmp_path)
    assert q.dequeue(LONG_LEASE_MS)[:3] == (0, body, 2)
    assert q.dequeue(LONG_LEASE_MS)[:2] == (1, b"marker")


def test_oversized_body_is_refused_before_anything_is_written(tmp_path):
    q = open_queue(tmp_path)
    q.enqueue(b"before")
    size = log_path(tmp_path).stat().st_size
    # Tag, id, timestamp and length take 21 bytes of the record.
    body = bytes(MAX_RECORD_LEN - 21 + 1)
    with pytest.raises(ValueError) as info:
        q.enqueue(body)
    assert str(len(body)) in str(info.value) and str(MAX_RECORD_LEN) in str(info.value)
    with pytest.raises(ValueError):
        q.enqueue_batch([body, b"small"])
    del body
    assert log_path(tmp_path).stat().st_size == size
    assert q.enqueue(b"after") == 1
    assert q.stats()["enqueued_total"] == 2
