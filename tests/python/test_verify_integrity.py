"""Damaged logs: verify_integrity reports damage without repairing anything,
and a torn tail left by a killed writer is cut by another object's next
call."""

import pytest

from tollivane import TollivaneCore

from conftest import FRAME_HEADER_LEN, HEADER_LEN, LONG_LEASE_MS, cut_at, enqueue_payload, flip_byte, frame, read_log

pytestmark = pytest.mark.quick


@pytest.fixture
def three_frames(tmp_path):
    """An open queue whose log holds three enqueue frames, and their
    offsets. The object is opened before any damage is done, since opening
    would cut a damaged tail."""
    queue = TollivaneCore(str(tmp_path))
    queue.enqueue_batch([b"first" * 4, b"second" * 5, b"third" * 6])
    offsets = [offset for offset, _ in read_log(tmp_path / "queue.log")[1]]
    return queue, tmp_path / "queue.log", offsets


def damage_and_expected(log, offsets, damage):
    size = log.stat().st_size
    if damage == "none":
        return {"ok": True, "records": 3, "bytes": size, "message": "clean"}
    if damage == "torn-header":
        cut_at(log, offsets[2] + 5)
        return {"ok": False, "records": 2, "bytes": offsets[2], "message": f"corrupt tail at byte {offsets[2]}: truncated record header"}
    if damage == "torn-payload":
        cut_at(log, offsets[2] + FRAME_HEADER_LEN + 4)
        return {"ok": False, "records": 2, "bytes": offsets[2], "message": f"corrupt tail at byte {offsets[2]}: truncated record payload"}
    if damage == "flipped-payload-byte":
        # In the middle frame: the intact frame after it must not be counted.
        flip_byte(log, offsets[1] + FRAME_HEADER_LEN + 25, 0x01)
        reason = "record CRC mismatch (silent corruption)"
        return {"ok": False, "records": 1, "bytes": offsets[1], "message": f"corrupt tail at byte {offsets[1]}: {reason}"}
    if damage == "undecodable-record":
        # An intact frame (its CRC holds) whose record has no known kind: the
        # next open or catch-up cuts it, so it is damage here too.
        with open(log, "ab") as f:
            f.write(frame(bytes([9]) + b"no such kind"))
        return {"ok": False, "records": 3, "bytes": size, "message": f"corrupt tail at byte {size}: unknown record type 9"}
    assert damage == "foreign-magic"
    with open(log, "r+b") as f:
        f.write(b"NOPE")
    return {"ok": False, "records": 0, "bytes": HEADER_LEN, "message": "bad file magic"}


@pytest.mark.parametrize("damage", ["none", "torn-header", "torn-payload", "flipped-payload-byte", "undecodable-record",
                                    "foreign-magic"])
def test_verify_integrity_reports_damage_and_changes_nothing(three_frames, damage):
    queue, log, offsets = three_frames
    expected = damage_and_expected(log, offsets, damage)
    before = log.read_bytes()

    first = queue.verify_integrity()

    assert first == expected
    assert list(first) == ["ok", "records", "bytes", "message"]
    assert queue.verify_integrity() == expected
    assert log.read_bytes() == before


# The read-only scan reads the same frames and stops at the same place, with
# the same reason, and adds them up to the queue's own state.
@pytest.mark.parametrize("damage", ["none", "torn-header", "flipped-payload-byte", "undecodable-record", "foreign-magic"])
def test_scan_log_stops_where_verify_integrity_does_and_changes_nothing(three_frames, damage):
    queue, log, offsets = three_frames
    expected = damage_and_expected(log, offsets, damage)
    before = log.read_bytes()

    scan = TollivaneCore.scan_log(log.parent, body_prefix=5)  # a path-like, as the constructor takes
    frames = list(scan)

    assert [(f["offset"], f["kind"], f["body"]) for f in frames] == [
        (offset, "Enqueue", body) for offset, body in zip(offsets, [b"first", b"secon", b"third"])][:len(frames)]
    assert scan.end["clean"] == (damage == "none")
    if damage == "foreign-magic":
        assert (scan.version, scan.end["reason"], frames) == (None, "bad file magic", [])
    else:
        assert (scan.frames, scan.position) == (expected["records"], expected["bytes"])
        assert expected["message"].endswith(scan.end["reason"] or "clean")
        stats = scan.stats()
        assert (stats["next_seq"], stats["ready"], stats["log_bytes"]) == (len(frames), len(frames), scan.position)
    assert scan.integrity_report() == expected
    assert log.read_bytes() == before
    if damage == "none":
        assert scan.stats() == queue.stats()
    if damage in ("torn-header", "undecodable-record"):
        # Damage past what the queue has read: its next call cuts the log
        # exactly where the report says the valid log ends.
        queue.available()
        assert log.stat().st_size == expected["bytes"]


def test_verify_integrity_raises_for_log_shorter_than_its_header(three_frames):
    queue, log, _ = three_frames
    cut_at(log, 10)
    with pytest.raises(OSError) as raised:
        queue.verify_integrity()
    assert str(raised.value) == "Tollivane I/O error: failed to fill whole buffer"
    assert log.stat().st_size == 10


def test_verify_integrity_counts_records_appended_by_others(three_frames):
    queue, log, _ = three_frames
    TollivaneCore(str(log.parent)).enqueue(b"from another object")
    assert queue.verify_integrity() == {"ok": True, "records": 4, "bytes": log.stat().st_size, "message": "clean"}


def tear_header(log, _writer):
    with open(log, "ab") as f:
        f.write(frame(enqueue_payload(2, 0, b"never finished"))[:7])


def tear_payload(log, _writer):
    with open(log, "ab") as f:
        f.write(frame(enqueue_payload(2, 0, b"never finished"))[:40])


def cut_last_frame(log, writer):
    # A real frame from another object, of which only part reached the disk.
    writer.enqueue(b"x" * 100)
    cut_at(log, log.stat().st_size - 30)


@pytest.mark.parametrize("tear", [tear_header, tear_payload, cut_last_frame])
def test_torn_tail_is_cut_by_the_next_call_of_another_object(tmp_path, capfd, tear):
    path = str(tmp_path)
    log = tmp_path / "queue.log"
    survivor, killed = TollivaneCore(path), TollivaneCore(path)
    survivor.enqueue_batch([b"kept 0", b"kept 1"])
    assert killed.available() == 2
    intact_end = log.stat().st_size
    tear(log, killed)
    del killed
    capfd.readouterr()

    assert survivor.enqueue(b"after the cut") == 2

    assert capfd.readouterr().err == f"Tollivane: truncated corrupt log tail at byte {intact_end}\n"
    assert survivor.verify_integrity()["message"] == "clean"
    assert [record[:2] for _, record in read_log(log)[1]] == [("enqueue", 0), ("enqueue", 1), ("enqueue", 2)]
    reopened = TollivaneCore(path)
    assert [d[:3] for d in reopened.dequeue_batch(5, LONG_LEASE_MS)] == [
        (0, b"kept 0", 1),
        (1, b"kept 1", 1),
        (2, b"after the cut", 1),
    ]
    assert capfd.readouterr().err == ""


def test_header_overwritten_in_place_is_refused_once_new_frames_are_read_under_it(tmp_path):
    # A call that finds the log at the length it left it skips the header (no
    # writer of ours rewrites a header in place), but frames appended by
    # others are read only under a header that still names this log: an
    # object that meets a foreign header then refuses to append on, rather
    # than bury more messages in a log that no reopen accepts.
    path = str(tmp_path)
    log = tmp_path / "queue.log"
    writer, other = TollivaneCore(path), TollivaneCore(path)
    writer.enqueue(b"before")
    assert other.available() == 1
    with open(log, "r+b") as f:
        f.write(b"NOPE")
    writer.enqueue(b"after")
    size = log.stat().st_size

    with pytest.raises(OSError) as raised:
        other.enqueue(b"refused")

    assert str(raised.value) == "Tollivane I/O error: queue.log has bad magic (not a Tollivane log)"
    assert log.stat().st_size == size
