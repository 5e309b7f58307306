"""A reader of queue.log written in plain Python, and the queue state its
records add up to.

It never writes to the log and never cuts a damaged tail: it reports where
the log stops being valid and why, with the same reason texts the extension
prints when it repairs a log. It streams: payloads are read in bounded
chunks and only their first bytes are kept, so memory does not grow with
the size of the log or of a body.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import BinaryIO, Callable, Dict, Iterator, List, NamedTuple, Optional, Set, Union

FILE_MAGIC = b"TLFL"
FRAME_MAGIC = b"TLR1"
FILE_HEADER_LEN = 16
FRAME_HEADER_LEN = 12
MAX_RECORD_LEN = 0x20000000
# Frame header plus the tag, seq, timestamp and body length of an Enqueue:
# the log bytes a message costs besides its body, and where the body starts.
ENQUEUE_OVERHEAD = 33
ENQUEUE_PAYLOAD_HEAD = 21
# The largest body whose Enqueue record a reader still accepts.
MAX_BODY_LEN = MAX_RECORD_LEN - ENQUEUE_PAYLOAD_HEAD

_FILE_HEADER = struct.Struct("<4sIQ")
_FRAME_HEADER = struct.Struct("<4sII")
_CHUNK = 1 << 20

KINDS = {1: "Enqueue", 2: "Ack", 3: "Lease", 4: "Requeue", 5: "DeadLetter"}


@dataclass(frozen=True)
class Header:
    magic: bytes
    version: int
    generation: int


class Record(NamedTuple):
    kind: str
    seq: int
    enqueued_ts_ms: int = 0
    body_len: int = 0
    deadline_ms: int = 0
    deliveries: int = 0


class Frame(NamedTuple):
    offset: int
    length: int  # frame header plus payload
    record: Record
    head: bytes  # the first bytes of the payload (for an Enqueue: header and start of the body)

    @property
    def body_preview(self) -> bytes:
        return self.head[ENQUEUE_PAYLOAD_HEAD:ENQUEUE_PAYLOAD_HEAD + self.record.body_len]


@dataclass(frozen=True)
class Damage:
    """Where the valid log ends and why. `undecodable` marks a frame that is
    intact (its CRC matches) but holds no record the queue understands; the
    queue cuts the log there all the same."""

    offset: int
    reason: str
    undecodable: bool = False


def read_header(file: BinaryIO, end: int) -> Union[Header, Damage]:
    file.seek(0)
    raw = file.read(min(end, FILE_HEADER_LEN))
    if len(raw) < FILE_HEADER_LEN:
        return Damage(0, "truncated file header")
    header = Header(*_FILE_HEADER.unpack(raw))
    if header.magic != FILE_MAGIC:
        return Damage(0, "bad file magic")
    return header


def decode(head: bytes, size: int) -> Union[Record, str]:
    """The record in a payload of `size` bytes whose first bytes are `head`
    (at least 21 of them when the payload has that many), or the reason it
    does not decode. Bytes after a record's last field are ignored."""
    if size == 0:
        return "empty record"
    tag = head[0]
    if tag not in KINDS:
        return f"unknown record type {tag}"
    kind = KINDS[tag]
    if tag in (1, 3):
        if size <= 16:
            return "short u64 field"
        if size <= 20:
            return "short u32 field"
        seq, value, count = struct.unpack_from("<QQI", head, 1)
        if tag == 3:
            return Record(kind, seq, deadline_ms=value, deliveries=count)
        if size < ENQUEUE_PAYLOAD_HEAD + count:
            return "short body"
        return Record(kind, seq, enqueued_ts_ms=value, body_len=count)
    if size <= 8:
        return "short u64 field"
    seq = struct.unpack_from("<Q", head, 1)[0]
    if tag == 4:
        if size <= 12:
            return "short u32 field"
        return Record(kind, seq, deliveries=struct.unpack_from("<I", head, 9)[0])
    return Record(kind, seq)


class FrameScan:
    """Iterates over the frames of `file` from the first one up to `end` (the
    length the file had when it was looked at under the process lock) and
    stops at the first frame that is not valid, recording it in `damage`.
    `keep` is how many body bytes of each Enqueue are kept for previews."""

    def __init__(self, file: BinaryIO, end: int, keep: int = 0,
                 progress: Optional[Callable[[int], None]] = None) -> None:
        self.file = file
        self.end = end
        self.keep = ENQUEUE_PAYLOAD_HEAD + keep
        self.progress = progress
        self.position = FILE_HEADER_LEN
        self.frames = 0
        self.damage: Optional[Damage] = None
        # Bytes read ahead in blocks: the unread ones are _buffer[_used:],
        # and _unread counts those still in the file up to `end`.
        self._buffer = b""
        self._used = 0
        self._unread = 0

    def __iter__(self) -> Iterator[Frame]:
        self.file.seek(self.position)
        self._unread = self.end - self.position
        while self.position < self.end:
            frame = self._read_frame()
            if isinstance(frame, Damage):
                self.damage = frame
                return
            yield frame
            self.frames += 1
            self.position += frame.length
            if self.progress is not None:
                self.progress(self.position)

    def _take(self, n: int) -> bytes:
        """The next n bytes, fewer when the file (or `end`) comes first."""
        start = self._used
        if len(self._buffer) - start < n and self._unread:
            more = self.file.read(min(self._unread, max(n, _CHUNK)))
            self._unread = self._unread - len(more) if more else 0  # the file shrank under us
            self._buffer = self._buffer[start:] + more
            start = 0
        data = self._buffer[start:start + n]
        self._used = start + len(data)
        return data

    def _read_frame(self) -> Union[Frame, Damage]:
        at = self.position
        raw = self._take(FRAME_HEADER_LEN)
        if len(raw) < FRAME_HEADER_LEN:
            return Damage(at, "truncated record header")
        magic, size, crc = _FRAME_HEADER.unpack(raw)
        if magic != FRAME_MAGIC:
            return Damage(at, "bad record magic")
        if size > MAX_RECORD_LEN:
            return Damage(at, f"record length {size} exceeds max {MAX_RECORD_LEN}")
        # Checked before reading, so a damaged length never makes us read
        # (or hold) more than the file has.
        if size > self.end - at - FRAME_HEADER_LEN:
            return Damage(at, "truncated record payload")
        if size <= _CHUNK:
            head = self._take(size)
            if len(head) < size:
                return Damage(at, "truncated record payload")
            running = zlib.crc32(head)
            head = head[:self.keep]
        else:  # a large body: checked piece by piece, only its start kept
            head, running, remaining = b"", 0, size
            while remaining:
                piece = self._take(min(remaining, _CHUNK))
                if not piece:
                    return Damage(at, "truncated record payload")
                running = zlib.crc32(piece, running)
                if len(head) < self.keep:
                    head += piece[:self.keep - len(head)]
                remaining -= len(piece)
        if running != crc:
            return Damage(at, "record CRC mismatch (silent corruption)")
        record = decode(head, size)
        if isinstance(record, str):
            return Damage(at, record, undecodable=True)
        return Frame(at, FRAME_HEADER_LEN + size, record, head)


class Message:
    __slots__ = ("seq", "enqueued_ts_ms", "body_offset", "body_len", "deliveries")

    def __init__(self, seq: int, enqueued_ts_ms: int, body_offset: int, body_len: int) -> None:
        self.seq = seq
        self.enqueued_ts_ms = enqueued_ts_ms
        self.body_offset = body_offset
        self.body_len = body_len
        self.deliveries = 0


class QueueState:
    """Messages and counters as the queue derives them from its records, so
    that every process that applied the same log agrees on them."""

    def __init__(self) -> None:
        self.messages: Dict[int, Message] = {}
        self.ready: Set[int] = set()
        self.in_flight: Dict[int, int] = {}
        self.next_seq = 0
        self.live_bytes = 0
        self.enqueued_total = 0
        self.acked_total = 0
        self.requeued_total = 0
        self.dead_total = 0

    def apply(self, record: Record, frame_offset: int) -> None:
        seq = record.seq
        if record.kind == "Enqueue":
            self.next_seq = max(self.next_seq, seq + 1)
            self.live_bytes += record.body_len + ENQUEUE_OVERHEAD
            self.ready.add(seq)
            self.messages[seq] = Message(seq, record.enqueued_ts_ms,
                                         frame_offset + ENQUEUE_OVERHEAD, record.body_len)
            self.enqueued_total += 1
            return
        message = self.messages.get(seq)
        if message is None:  # settled or never enqueued: changes nothing
            return
        if record.kind == "Lease":
            message.deliveries = record.deliveries
            self.ready.discard(seq)
            self.in_flight[seq] = record.deadline_ms
        elif record.kind == "Requeue":
            message.deliveries = record.deliveries
            self.in_flight.pop(seq, None)
            self.ready.add(seq)
            self.requeued_total += 1
        else:
            del self.messages[seq]
            self.live_bytes = max(0, self.live_bytes - message.body_len - ENQUEUE_OVERHEAD)
            self.ready.discard(seq)
            self.in_flight.pop(seq, None)
            if record.kind == "Ack":
                self.acked_total += 1
            else:
                self.dead_total += 1

    def expire_leases(self, now_ms: int) -> Dict[int, int]:
        """Returns to the ready set every lease whose deadline has passed, as
        the next dequeue, available() or stats() of any process would (there
        it is a Requeue record; here it only changes this copy). Returns the
        expired deadlines by seq."""
        expired = {seq: deadline for seq, deadline in self.in_flight.items() if deadline <= now_ms}
        for seq in sorted(expired):
            self.apply(Record("Requeue", seq, deliveries=self.messages[seq].deliveries), 0)
        return expired

    def ready_messages(self) -> List[Message]:
        return [self.messages[seq] for seq in sorted(self.ready)]

    def leased_messages(self) -> List[Message]:
        leased = sorted((deadline, seq) for seq, deadline in self.in_flight.items())
        return [self.messages[seq] for _, seq in leased]
