"""Damage in the middle of the log: before recovery or catch-up cuts it off,
together with the intact records behind it, the bytes cut are saved beside
the log as queue.log.damaged-<offset>. A torn tail is cut without a copy,
and verify_integrity() still only reports."""

import pytest

from conftest import LONG_LEASE_MS, drain, flip_byte, frame, log_path, open_queue, read_frames

CRC_MISMATCH = "record CRC mismatch (silent corruption)"


def copies(directory):
    return sorted(p.name for p in directory.iterdir() if ".damaged-" in p.name)


def build_log(directory, count=5):
    q = open_queue(directory)
    for n in range(count):
        q.enqueue(b"message %d" % n)
    return q


def write_log(directory, count=5):
    build_log(directory, count)


def flip_payload_byte(directory, frame_start):
    flip_byte(log_path(directory), frame_start + 20)


def ready_ids(q):
    return sorted(drain(q)[1])


@pytest.mark.parametrize("damaged_frame", [0, 3])
def test_corruption_inside_the_log_is_saved_before_the_cut_at_open(tmp_path, capfd, damaged_frame):
    write_log(tmp_path)
    data = log_path(tmp_path).read_bytes()
    start = read_frames(data)[damaged_frame][0]
    flip_payload_byte(tmp_path, start)
    damaged = log_path(tmp_path).read_bytes()

    q = open_queue(tmp_path)
    assert capfd.readouterr().err == f"Tollivane: truncating corrupt log tail at byte {start} ({CRC_MISMATCH})\n"
    assert log_path(tmp_path).read_bytes() == data[:start]
    assert copies(tmp_path) == [f"queue.log.damaged-{start}"]
    assert (tmp_path / f"queue.log.damaged-{start}").read_bytes() == damaged[start:]
    assert ready_ids(q) == list(range(damaged_frame))
    del q
    # Cut once: the next open finds a sound log and saves nothing more.
    open_queue(tmp_path)
    assert capfd.readouterr().err == "" and len(copies(tmp_path)) == 1


@pytest.mark.parametrize("tail", [
    lambda data, last: data[:-1],                      # torn payload
    lambda data, last: data[:last + 5],                # torn header
    lambda data, last: data + b"\x00" * 100,           # zeros after a crash
    lambda data, last: data + frame(b"\x02" + bytes(8))[:15],  # a torn next frame
], ids=["payload", "header", "zeros", "next-frame"])
def test_torn_tail_is_cut_without_a_copy(tmp_path, capfd, tail):
    write_log(tmp_path)
    data = log_path(tmp_path).read_bytes()
    log_path(tmp_path).write_bytes(tail(data, read_frames(data)[-1][0]))
    open_queue(tmp_path)
    assert "truncating corrupt log tail" in capfd.readouterr().err
    assert copies(tmp_path) == []


def test_undecodable_frame_is_saved_even_at_the_tail(tmp_path, capfd):
    # Its CRC holds, so it is a whole record the writer meant to write (one
    # this version cannot read), not a torn append: worth keeping.
    write_log(tmp_path, 2)
    data = log_path(tmp_path).read_bytes()
    strange = frame(b"\x09" + bytes(8))
    log_path(tmp_path).write_bytes(data + strange)
    open_queue(tmp_path)
    assert capfd.readouterr().err == (
        f"Tollivane: truncating undecodable log tail at byte {len(data)} (unknown record type 9)\n")
    assert (tmp_path / f"queue.log.damaged-{len(data)}").read_bytes() == strange


def test_catch_up_saves_what_it_cuts_only_when_intact_frames_follow(tmp_path, capfd):
    writer = build_log(tmp_path, 1)
    reader = open_queue(tmp_path)
    assert reader.available() == 1
    for n in range(1, 5):
        writer.enqueue(b"message %d" % n)
    data = log_path(tmp_path).read_bytes()
    starts = [offset for offset, _ in read_frames(data)]
    flip_payload_byte(tmp_path, starts[2])
    damaged = log_path(tmp_path).read_bytes()

    assert reader.available() == 2
    assert capfd.readouterr().err == f"Tollivane: truncated corrupt log tail at byte {starts[2]}\n"
    assert log_path(tmp_path).read_bytes() == data[:starts[2]]
    assert copies(tmp_path) == [f"queue.log.damaged-{starts[2]}"]
    assert (tmp_path / f"queue.log.damaged-{starts[2]}").read_bytes() == damaged[starts[2]:]

    # The queue goes on from the cut: the writer reloads, new ids follow the kept ones.
    assert writer.enqueue(b"after") == 2
    assert reader.dequeue(LONG_LEASE_MS)[:2] == (0, b"message 0")

    # A torn tail at catch-up: cut, no second copy.
    writer.enqueue(b"torn")
    with open(log_path(tmp_path), "r+b") as log:
        log.truncate(log_path(tmp_path).stat().st_size - 1)
    assert reader.available() == 2
    assert capfd.readouterr().err.startswith("Tollivane: truncated corrupt log tail at byte")
    assert len(copies(tmp_path)) == 1


def test_verify_integrity_reports_without_cutting_or_copying(tmp_path):
    q = build_log(tmp_path)
    start = read_frames(log_path(tmp_path).read_bytes())[2][0]
    flip_payload_byte(tmp_path, start)
    damaged = log_path(tmp_path).read_bytes()
    for _ in range(2):
        assert q.verify_integrity() == {"ok": False, "records": 2, "bytes": start,
                                        "message": f"corrupt tail at byte {start}: {CRC_MISMATCH}"}
    assert log_path(tmp_path).read_bytes() == damaged
    assert copies(tmp_path) == []
