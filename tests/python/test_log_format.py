"""The bytes of queue.log, read back by the independent reader in conftest, and
logs written by hand that the queue must replay."""

import os
import random
import re
import time

import pytest

from conftest import (ENQUEUE_OVERHEAD, LONG_LEASE_MS, decode, enqueue_payload,
                      file_header, frame, lease_payload, log_path, open_queue,
                      read_frames)


def now_ms():
    return time.time_ns() // 1_000_000


def test_every_operation_appends_its_record_byte_for_byte(tmp_path):
    q = open_queue(tmp_path)
    path = log_path(tmp_path)
    expected = []   # decoded records; deadlines checked separately against bounds
    deadlines = []

    def leased(seq, lease_ms, deliveries, call):
        start = now_ms()
        call()
        deadlines.append((start + lease_ms, now_ms() + lease_ms))
        expected.append(("lease", seq, None, deliveries))

    t0 = now_ms()
    q.enqueue_batch([b"abc", b"", b"xyz"])
    t1 = now_ms()
    ts = decode(read_frames(path.read_bytes())[0][1])[2]
    assert t0 <= ts <= t1
    expected += [("enqueue", 0, ts, b"abc"), ("enqueue", 1, ts, b""), ("enqueue", 2, ts, b"xyz")]
    leased(0, LONG_LEASE_MS, 1, lambda: q.dequeue(LONG_LEASE_MS))
    leased(0, 2 * LONG_LEASE_MS, 1, lambda: q.extend_lease(0, 2 * LONG_LEASE_MS))
    q.nack(0)
    expected.append(("requeue", 0, 1))
    q.nack(1, requeue=False)
    expected.append(("dead", 1))
    q.ack(2)
    expected.append(("ack", 2))
    leased(0, 0, 2, lambda: q.dequeue(lease_ms=0))
    q.available()                     # the sweep writes the expiry
    expected.append(("requeue", 0, 2))
    # Settling what is gone writes nothing.
    assert q.ack(2) is False and q.nack(1) is False and q.extend_lease(0) is False

    data = path.read_bytes()
    frames = read_frames(data)
    records = [decode(payload) for _, payload in frames]
    bounds = iter(deadlines)
    for i, record in enumerate(records):
        if record[0] == "lease":
            low, high = next(bounds)
            assert low <= record[2] <= high
            records[i] = record[:2] + (None,) + record[3:]
    assert records == expected
    stats = q.stats()
    assert stats["log_bytes"] == len(data) == os.path.getsize(path)
    assert stats["live_bytes"] == 3 + ENQUEUE_OVERHEAD       # only seq 0 lives


def test_random_bodies_land_at_frame_start_plus_33_with_zlib_crc(tmp_path):
    rng = random.Random(1234)
    sizes = [rng.randrange(0, 3000) for _ in range(300)]
    sizes += [0, 8192 - 34, 8192 - 33, 8192 - 32, 8192, 65536]
    bodies = [rng.randbytes(n) for n in sizes]
    q = open_queue(tmp_path, sync_interval_ms=60_000)
    ids = q.enqueue_batch(bodies[:150])
    ids += [q.enqueue(body) for body in bodies[150:]]
    assert ids == list(range(len(bodies)))

    data = log_path(tmp_path).read_bytes()
    frames = read_frames(data)           # checks every CRC against zlib.crc32
    assert len(frames) == len(bodies)
    for seq, ((offset, payload), body) in enumerate(zip(frames, bodies)):
        assert decode(payload)[:2] == ("enqueue", seq)
        assert data[offset + ENQUEUE_OVERHEAD:offset + ENQUEUE_OVERHEAD + len(body)] == body
    stats = q.stats()
    assert stats["log_bytes"] == len(data)
    assert stats["live_bytes"] == sum(len(b) + ENQUEUE_OVERHEAD for b in bodies)

    for seq, body in enumerate(bodies[:20]):
        q.ack(seq)
    assert q.stats()["live_bytes"] == sum(len(b) + ENQUEUE_OVERHEAD for b in bodies[20:])


def test_hand_written_log_is_replayed(tmp_path):
    # Written by the test alone: an unusual generation, ids out of order, a
    # lease for an unknown id and a trailing byte after an Ack's field.
    far = now_ms() + LONG_LEASE_MS
    log = file_header(generation=5)
    log += frame(enqueue_payload(10, 111, b"ten"))
    log += frame(enqueue_payload(3, 222, b"three"))
    log += frame(enqueue_payload(4, 333, b"four"))
    log += frame(lease_payload(10, far, 7))
    log += frame(lease_payload(99, far, 1))
    log += frame(bytes([2]) + (4).to_bytes(8, "little") + b"\xee")
    tail_frame_start = len(log)
    log += frame(enqueue_payload(11, 444, b"closes the file"))
    log_path(tmp_path).write_bytes(log)

    q = open_queue(tmp_path)
    stats = q.stats()
    assert (stats["generation"], stats["next_seq"], stats["log_bytes"]) == (5, 12, len(log))
    assert (stats["ready"], stats["in_flight"], stats["acked_total"]) == (2, 1, 1)
    assert stats["live_bytes"] == 3 + 5 + 15 + 3 * ENQUEUE_OVERHEAD
    assert q.dequeue(LONG_LEASE_MS) == (3, b"three", 1, 222)
    # This body ends exactly where the file ended when the queue was opened.
    assert tail_frame_start + ENQUEUE_OVERHEAD + 15 == len(log)
    assert q.dequeue(LONG_LEASE_MS) == (11, b"closes the file", 1, 444)
    assert q.nack(10) is True
    assert q.dequeue(LONG_LEASE_MS) == (10, b"ten", 8, 111)
    assert q.enqueue(b"x") == 12
    # Appends go after the hand-written frames and keep the header as it was.
    data = log_path(tmp_path).read_bytes()
    assert data[:len(log)] == log


@pytest.mark.parametrize("version", [0, 2, 7])
def test_log_of_another_format_version_is_refused_and_left_byte_for_byte(tmp_path, capfd, version):
    # Its frames may mean something else: replaying them, or cutting at the
    # first one this build cannot read, would destroy another build's log.
    foreign = file_header(generation=5, version=version) + frame(enqueue_payload(0, 1, b"kept")) + frame(b"\x09later")
    refused = (f"Tollivane I/O error: queue.log has format version {version}, "
               "which this build cannot read (it reads version 1)")
    refused_pattern = re.escape(refused)
    log_path(tmp_path).write_bytes(foreign)
    with pytest.raises(OSError) as info:
        open_queue(tmp_path)
    assert str(info.value) == refused

    # An open object meets it when such a log is renamed into place, and when
    # its own log's header is rewritten to it and frames appended.
    log_path(tmp_path).unlink()
    q = open_queue(tmp_path)
    replaced = tmp_path / "replacement"
    replaced.write_bytes(foreign)
    os.rename(replaced, log_path(tmp_path))
    with pytest.raises(OSError, match=refused_pattern):
        q.available()
    assert log_path(tmp_path).read_bytes() == foreign
    log_path(tmp_path).unlink()
    q = open_queue(tmp_path)
    q.enqueue(b"mine")
    with open(log_path(tmp_path), "r+b") as log:
        log.write(file_header(generation=0, version=version))
        log.seek(0, os.SEEK_END)
        log.write(frame(b"\x09later"))
    in_place = log_path(tmp_path).read_bytes()
    for call in (q.dequeue, lambda: q.enqueue(b"x")):
        with pytest.raises(OSError, match=refused_pattern):
            call()
    assert log_path(tmp_path).read_bytes() == in_place
    assert sorted(p.name for p in tmp_path.iterdir()) == [".proc_hints", ".proc_lock", "queue.log"]
    assert capfd.readouterr().err == ""
