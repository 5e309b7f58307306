"""Opening a damaged log: a torn, corrupt or undecodable tail is cut off with
one line on standard error, and the queue holds exactly what the intact
prefix held. A foreign file is refused and left alone."""

import struct

import pytest

from conftest import (FRAME_HEADER, LONG_LEASE_MS, drain, enqueue_payload, file_header, frame, frame_length,
                      log_path, open_queue, read_frames, set_frame_length)

pytestmark = pytest.mark.quick

# The small log every test damages: one record per step, and the queue's
# contents after each step as (ready, in_flight), seq -> (body, deliveries).
STEPS = [
    (lambda q: q.enqueue(b"alpha"), ({0: (b"alpha", 0)}, {})),
    (lambda q: q.enqueue(b""), ({0: (b"alpha", 0), 1: (b"", 0)}, {})),
    (lambda q: q.dequeue(LONG_LEASE_MS), ({1: (b"", 0)}, {0: (b"alpha", 1)})),
    (lambda q: q.nack(0), ({0: (b"alpha", 1), 1: (b"", 0)}, {})),
    (lambda q: q.nack(1, requeue=False), ({0: (b"alpha", 1)}, {})),
    (lambda q: q.dequeue(LONG_LEASE_MS), ({}, {0: (b"alpha", 2)})),
    (lambda q: q.extend_lease(0, 2 * LONG_LEASE_MS), ({}, {0: (b"alpha", 2)})),
    (lambda q: q.ack(0), ({}, {})),
    (lambda q: q.enqueue(b"omega"), ({2: (b"omega", 0)}, {})),
]


@pytest.fixture(scope="module")
def small_log(tmp_path_factory):
    """The log bytes, its frame offsets and the stats after each step."""
    directory = tmp_path_factory.mktemp("small")
    q = open_queue(directory)
    stats = [q.stats()]
    for step, _ in STEPS:
        step(q)
        stats.append(q.stats())
    del q
    data = log_path(directory).read_bytes()
    offsets = [offset for offset, _ in read_frames(data)]
    assert len(offsets) == len(STEPS)
    return data, offsets, stats


def write_log(directory, data):
    directory.mkdir()
    log_path(directory).write_bytes(data)
    return directory


def assert_state(q, expected_stats, step_index):
    stats, ready, in_flight = drain(q)
    assert stats == expected_stats
    expected_ready, expected_in_flight = STEPS[step_index - 1][1] if step_index else ({}, {})
    assert {seq: v[:2] for seq, v in ready.items()} == expected_ready
    assert {seq: v[:2] for seq, v in in_flight.items()} == expected_in_flight


def test_cut_at_every_byte_reopens_to_the_intact_prefix(tmp_path, small_log, capfd):
    data, offsets, stats = small_log
    boundaries = offsets + [len(data)]
    for cut in range(len(data) + 1):
        directory = write_log(tmp_path / f"cut{cut}", data[:cut])
        q = open_queue(directory)
        err = capfd.readouterr().err
        if cut < 16:
            # A torn header means the log never held a frame: start afresh, silently.
            assert (err, log_path(directory).read_bytes()) == ("", file_header()), cut
            assert_state(q, stats[0], 0)
            continue
        # The last frame that starts at or before the cut.
        index = max(i for i, start in enumerate(boundaries) if start <= cut)
        start = boundaries[index]
        if cut == start:
            assert err == "", cut
        else:
            reason = ("truncated record header" if cut - start < FRAME_HEADER.size
                      else "truncated record payload")
            assert err == f"Tollivane: truncating corrupt log tail at byte {start} ({reason})\n"
        assert log_path(directory).read_bytes() == data[:start], cut
        assert_state(q, stats[index], index)


def set_length(value):
    def damage(log, start):
        set_frame_length(log, start, value)
    return damage


def add_to_length(delta):
    def damage(log, start):
        set_frame_length(log, start, frame_length(log, start) + delta)
    return damage


def flip(offset_in_frame):
    def damage(log, start):
        index = start + offset_in_frame if offset_in_frame >= 0 else len(log) + offset_in_frame
        log[index] ^= 0x5A
    return damage


CRC_MISMATCH = "record CRC mismatch (silent corruption)"


@pytest.mark.parametrize("frame_index, damage, reason", [
    (-1, flip(0), "bad record magic"),
    (-1, set_length(0x20000001), "record length 536870913 exceeds max 536870912"),
    # Up to the limit but past the end of the file: refused without reading.
    (-1, set_length(0x20000000), "truncated record payload"),
    (-1, add_to_length(1), "truncated record payload"),
    (-1, add_to_length(-1), CRC_MISMATCH),
    (-1, flip(11), CRC_MISMATCH),
    (-1, flip(-1), CRC_MISMATCH),
    # Intact frames after a damaged one go with it.
    (3, flip(12), CRC_MISMATCH),
], ids=["magic", "length-over-limit", "length-at-limit", "length-plus-one",
        "length-minus-one", "crc", "payload", "middle-frame"])
def test_damaged_frame_is_cut_with_its_successors(tmp_path, small_log, capfd,
                                                  frame_index, damage, reason):
    data, offsets, stats = small_log
    start = offsets[frame_index]
    damaged = bytearray(data)
    damage(damaged, start)
    directory = write_log(tmp_path / "q", bytes(damaged))
    q = open_queue(directory)
    assert capfd.readouterr().err == (
        f"Tollivane: truncating corrupt log tail at byte {start} ({reason})\n")
    assert log_path(directory).read_bytes() == data[:start]
    kept = offsets.index(start)
    assert_state(q, stats[kept], kept)
    del q
    # Once cut, the log is sound: the next open says nothing.
    q = open_queue(directory)
    assert capfd.readouterr().err == ""
    assert q.stats()["next_seq"] == stats[kept]["next_seq"]


@pytest.mark.parametrize("payload, reason", [
    (b"\x09" + bytes(8), "unknown record type 9"),
    (b"", "empty record"),
    (b"\x02" + bytes(4), "short u64 field"),
    (b"\x03" + bytes(16), "short u32 field"),
    (b"\x04" + bytes(8), "short u32 field"),
    (struct.pack("<BQQI", 1, 7, 0, 0xFFFFFFFF) + b"abc", "short body"),
], ids=["tag-9", "empty", "ack-short", "lease-short", "requeue-short", "enqueue-short-body"])
def test_frame_with_valid_crc_but_undecodable_payload_is_cut(tmp_path, small_log, capfd,
                                                             payload, reason):
    data, offsets, stats = small_log
    # An intact Enqueue after the bad frame must not be replayed either.
    log = data + frame(payload) + frame(enqueue_payload(3, 1, b"after"))
    directory = write_log(tmp_path / "q", log)
    q = open_queue(directory)
    assert capfd.readouterr().err == (
        f"Tollivane: truncating undecodable log tail at byte {len(data)} ({reason})\n")
    assert log_path(directory).read_bytes() == data
    assert_state(q, stats[-1], len(STEPS))


@pytest.mark.parametrize("content", [b"x", b"garbage!!!", b"\xff" * 15])
def test_short_file_becomes_a_fresh_log_silently(tmp_path, capfd, content):
    directory = write_log(tmp_path / "q", content)
    assert open_queue(directory).stats()["log_bytes"] == 16
    assert log_path(directory).read_bytes() == file_header()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("make", [
    lambda log: b"XXXX" + bytes(12),
    lambda log: b"TLR1" + log[4:],
    lambda log: b"\x00" + log[1:],
], ids=["16-bytes", "frame-magic", "first-byte"])
def test_foreign_magic_is_refused_and_left_untouched(tmp_path, small_log, capfd, make):
    content = make(small_log[0])
    directory = write_log(tmp_path / "q", content)
    with pytest.raises(OSError) as info:
        open_queue(directory)
    assert type(info.value) is OSError
    assert info.value.args == (
        "Tollivane I/O error: queue.log has bad magic (not a Tollivane log)",)
    assert log_path(directory).read_bytes() == content
    assert capfd.readouterr().err == ""

