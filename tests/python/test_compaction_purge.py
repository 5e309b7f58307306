"""Compaction and purge replace queue.log under a new generation while other
objects and processes still hold handles and maps of the old file."""

import errno
import os
import subprocess
import threading
import time

import pytest

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS
from conftest import HEADER_LEN, read_log
from sharing_support import RemoteQueue

pytestmark = pytest.mark.quick

SHARED_STATE_KEYS = ["ready", "in_flight", "total", "next_seq", "live_bytes", "log_bytes", "generation"]


@pytest.fixture
def spawn_queue(tmp_path):
    opened = []

    def open_remote(**options):
        opened.append(RemoteQueue(tmp_path, **options))
        return opened[-1]

    yield open_remote
    for remote in opened:
        remote.close()


@pytest.fixture(params=["object", "process"])
def other(request, tmp_path, spawn_queue):
    """A second user of the directory, in this process or in another."""
    return TollivaneCore(str(tmp_path)) if request.param == "object" else spawn_queue()


def body(i):
    # Distinct content and length per message, so a body read at another
    # message's offset, or from the old file's map, cannot pass.
    return f"message {i}|".encode() * (i + 3)


def deliveries(batch):
    return [(seq, data, count) for seq, data, count, _ in batch]


def test_holder_of_old_handles_reloads_after_compaction_and_purge(tmp_path, other):
    log = tmp_path / "queue.log"
    holder = TollivaneCore(str(tmp_path))
    holder.enqueue_batch([body(i) for i in range(10)])
    assert holder.ack_batch([0, 1, 2, 3]) == 4
    # The holder reads bodies, so it has a map of the old file.
    assert [holder.dequeue(LONG_LEASE_MS)[:3] for _ in range(3)] == [(i, body(i), 1) for i in (4, 5, 6)]
    assert holder.nack(5) is True
    _, old_records = read_log(log)
    enqueued = {r[1]: r for _, r in old_records if r[0] == "enqueue"}
    leased = {r[1]: r for _, r in old_records if r[0] == "lease"}

    other.compact()

    generation, records = read_log(log)
    assert generation == 1
    assert [record for _, record in records] == [
        enqueued[4], ("requeue", 4, 1), leased[4],
        enqueued[5], ("requeue", 5, 1),
        enqueued[6], ("requeue", 6, 1), leased[6],
        enqueued[7], enqueued[8], enqueued[9],
    ]  # fmt: skip
    # Verification reads the file now at the path, not the holder's handles.
    assert holder.verify_integrity() == {"ok": True, "records": 11, "bytes": log.stat().st_size, "message": "clean"}

    assert holder.stats()["generation"] == 1
    assert holder.in_flight() == 2
    assert deliveries(holder.dequeue_batch(10, LONG_LEASE_MS)) == [(5, body(5), 2)] + [(i, body(i), 1) for i in (7, 8, 9)]
    assert holder.extend_lease(6, LONG_LEASE_MS) is True
    assert holder.ack(4) is True
    mine, theirs = holder.stats(), other.stats()
    assert [mine[key] for key in SHARED_STATE_KEYS] == [theirs[key] for key in SHARED_STATE_KEYS]

    other.purge()

    assert log.stat().st_size == HEADER_LEN
    assert holder.available() == 0 and holder.in_flight() == 0
    assert holder.ack(6) is False and holder.extend_lease(6) is False
    after_purge = holder.stats()
    assert after_purge["generation"] == 2 and after_purge["log_bytes"] == HEADER_LEN
    assert after_purge["next_seq"] == 0 and after_purge["enqueued_total"] == 0
    # Ids restart at 0 after a purge, and the holder reads the new body, not
    # what its old map holds at that offset.
    assert other.enqueue(b"after purge") == 0
    assert holder.dequeue(LONG_LEASE_MS)[:3] == (0, b"after purge", 1)


@pytest.mark.parametrize("replace", ["compact", "purge"])
def test_a_waiting_consumer_follows_the_log_into_its_replacement(tmp_path, other, replace):
    waiter = TollivaneCore(str(tmp_path))
    waiter.enqueue(body(0))
    waiter.ack(0)

    def replace_then_enqueue():
        time.sleep(0.3)
        getattr(other, replace)()
        time.sleep(0.3)  # the waiter has looked at the new log and sleeps again
        other.enqueue(b"into the new log")

    replacer = threading.Thread(target=replace_then_enqueue)
    replacer.start()
    started = time.monotonic()
    assert waiter.dequeue_wait(60_000, LONG_LEASE_MS)[1] == b"into the new log"
    assert time.monotonic() - started < 30, "the wait ran to its time-out"
    replacer.join()
    assert waiter.stats()["generation"] == 1


@pytest.mark.parametrize("acked", [[3, 4], [0, 1, 2, 3, 4]], ids=["newest-acked", "all-acked"])
def test_ids_are_never_handed_out_again_after_compaction(tmp_path, spawn_queue, acked):
    path = str(tmp_path)
    compactor = TollivaneCore(path)
    assert compactor.enqueue_batch([body(i) for i in range(5)]) == [0, 1, 2, 3, 4]
    peer = spawn_queue()
    assert peer.available() == 5
    assert compactor.ack_batch(acked) == len(acked)

    compactor.compact()

    reopened = TollivaneCore(path)
    assert reopened.stats()["next_seq"] == 5
    assert peer.enqueue(b"from peer") == 5
    assert reopened.enqueue(b"from reopened") == 6
    assert compactor.enqueue(b"from compactor") == 7
    # A consumer acknowledging an old id late must not remove a new message.
    assert peer.ack(4) is False and peer.ack(3) is False
    assert deliveries(reopened.dequeue_batch(10, LONG_LEASE_MS))[-3:] == [
        (5, b"from peer", 1),
        (6, b"from reopened", 1),
        (7, b"from compactor", 1),
    ]
    assert TollivaneCore(path).stats()["next_seq"] == 8


SETTLEMENTS = {
    "ack": lambda queue: queue.ack(35),
    "ack_batch": lambda queue: queue.ack_batch([35, 36]),
    "dropping-nack": lambda queue: queue.nack(35, requeue=False),
    "requeuing-nack": lambda queue: queue.nack(35),
}


@pytest.mark.parametrize(
    ("auto_compact_bytes", "acked_before", "settlement", "compacts"),
    [
        (4096, 30, "ack", True),
        (4096, 30, "ack_batch", True),
        (4096, 30, "dropping-nack", True),
        (4096, 30, "requeuing-nack", False),
        (4096, 5, "ack", False),  # large log, but most of it still live
        (0, 30, "ack", False),
        (0, 30, "dropping-nack", False),
    ],
)
def test_automatic_compaction_after_settlement(tmp_path, auto_compact_bytes, acked_before, settlement, compacts):
    path = str(tmp_path)
    log = tmp_path / "queue.log"
    # Filled by an object that never compacts by itself: 40 frames of 133
    # bytes make a log of more than 4096 bytes.
    filler = TollivaneCore(path, auto_compact_bytes=0)
    filler.enqueue_batch([bytes([i]) * 100 for i in range(40)])
    assert filler.ack_batch(list(range(acked_before))) == acked_before
    queue = TollivaneCore(path, auto_compact_bytes=auto_compact_bytes)
    size_before = log.stat().st_size

    assert SETTLEMENTS[settlement](queue)

    stats = queue.stats()
    if compacts:
        assert stats["generation"] == 1
        assert log.stat().st_size == stats["log_bytes"] == HEADER_LEN + stats["live_bytes"] < size_before
        assert filler.stats()["generation"] == 1
        assert deliveries(filler.dequeue_batch(1, LONG_LEASE_MS)) == [(acked_before, bytes([acked_before]) * 100, 1)]
    else:
        assert stats["generation"] == 0
        assert log.stat().st_size == stats["log_bytes"] > size_before


HOLDS = {
    "leased": lambda queue: len(queue.dequeue_batch(300, LONG_LEASE_MS)) == 300,
    "scheduled": lambda queue: queue.ack_batch(range(300)) == 300 and len(
        queue.enqueue_batch_delayed([b"%08d" % i for i in range(300)], LONG_LEASE_MS)) == 300,
    "buried": lambda queue: len(queue.dequeue_batch(300, LONG_LEASE_MS)) == 300 and all(
        queue.bury(seq) for seq in range(300)),
}


@pytest.mark.parametrize("hold", HOLDS)
def test_acks_after_a_compaction_of_held_small_messages_do_not_rewrite_the_log_each_time(tmp_path, spawn_queue, hold):
    # A compacted log carries a Lease frame per leased, scheduled or buried
    # message (and a Requeue per delivered one), which with 8-byte bodies
    # makes it more than twice live_bytes.
    queue = TollivaneCore(str(tmp_path), auto_compact_bytes=4096)
    peer = spawn_queue(auto_compact_bytes=4096)
    queue.enqueue_batch([b"%08d" % i for i in range(300)])
    assert HOLDS[hold](queue)
    first = 300 if hold == "scheduled" else 0
    generations = []
    for seq in range(first, first + 300):
        settler = queue if seq % 2 else peer  # the peer reloads each log the other one compacts
        assert settler.ack(seq) is True
        generations.append(settler.stats()["generation"])
    assert 1 <= generations[-1] <= 5, generations
    assert queue.verify_integrity()["message"] == "clean"


def test_compaction_keeps_scheduled_and_buried_messages_for_every_reader(tmp_path, other):
    log = tmp_path / "queue.log"
    holder = TollivaneCore(str(tmp_path))
    holder.enqueue_batch([body(i) for i in range(3)])
    due = holder.enqueue_delayed(body(3), LONG_LEASE_MS)
    holder.dequeue(LONG_LEASE_MS)
    assert holder.bury(0) and holder.bury(1)
    _, old_records = read_log(log)
    scheduled_lease = next(r for _, r in old_records if r[0] == "lease" and r[1] == due)
    assert scheduled_lease[3] == 0
    # Another object or process derives the same from the records it catches up with.
    assert (other.scheduled(), other.buried(), other.in_flight(), other.available()) == (1, 2, 0, 1)

    other.compact()

    generation, records = read_log(log)
    enqueued = {r[1]: r for _, r in old_records if r[0] == "enqueue"}
    buried = 2**64 - 1
    assert generation == 1 and [record for _, record in records] == [
        enqueued[0], ("requeue", 0, 1), ("lease", 0, buried, 1),
        enqueued[1], ("lease", 1, buried, 0),
        enqueued[2],
        enqueued[3], scheduled_lease,
    ]  # fmt: skip
    # The holder reloads the compacted log, a new object reads it afresh.
    for reader in (holder, TollivaneCore(str(tmp_path))):
        assert (reader.scheduled(), reader.buried(), reader.in_flight(), reader.available()) == (1, 2, 0, 1)
    assert holder.kick(0) and deliveries(holder.dequeue_batch(5, LONG_LEASE_MS)) == [(0, body(0), 2), (2, body(2), 1)]

    other.purge()
    assert (holder.scheduled(), holder.buried(), holder.stats()["total"]) == (0, 0, 0)


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 1 MiB (a tmpfs), where a test can run out of space."""
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=True)


def fill_leaving(disk, free):
    """Fills the file system up, then gives `free` bytes back."""
    filler = disk / "filler"
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    try:
        while True:
            os.write(fd, bytes(65536))
    except OSError as exc:
        assert exc.errno == errno.ENOSPC
    finally:
        os.close(fd)
    os.truncate(filler, filler.stat().st_size - free)


def test_compaction_that_runs_out_of_space_leaves_that_space_to_the_queue(small_disk):
    path = small_disk / "q"
    writer = TollivaneCore(str(path), auto_compact_bytes=0)
    writer.enqueue_batch([bytes([i]) * 1000 for i in range(200)])
    assert writer.ack_batch(list(range(120))) == 120
    queue = TollivaneCore(str(path), auto_compact_bytes=65536)
    # The 80 live messages make a compacted log larger than what is left.
    fill_leaving(small_disk, 64 * 1024)

    with pytest.raises(OSError, match="No space left on device"):
        queue.ack(120)

    assert not (path / "queue.compact.tmp").exists()
    assert queue.ack(120) is False and writer.stats()["acked_total"] == 121
    assert [queue.enqueue(bytes(1000)) for _ in range(20)] == list(range(200, 220))
    assert queue.dequeue(LONG_LEASE_MS)[:2] == (121, bytes([121]) * 1000)
    (small_disk / "filler").unlink()
    queue.compact()
    assert queue.verify_integrity()["message"] == "clean"
    assert TollivaneCore(str(path)).stats()["total"] == 99
