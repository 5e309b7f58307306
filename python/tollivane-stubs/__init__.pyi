"""A durable, file-backed message queue with leases.

Type information for the extension module `tollivane`. Sequence ids, lease
lengths and times are unsigned 64-bit integers; times are milliseconds since
the Unix epoch. Any object with `__index__` is accepted where an integer is
expected; a negative value or one above 2**64 - 1 raises `OverflowError`.
"""

import os
from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import Any, NoReturn, SupportsIndex, TypedDict, TypeVar, final, type_check_only

from typing_extensions import NotRequired, TypeAlias

__version__: str

_T = TypeVar("_T")

Body: TypeAlias = bytes | bytearray | memoryview | Sequence[int]
"""A message body: bytes, or any sequence (not a `str`) of integers 0..255."""

Delivery: TypeAlias = tuple[int, bytes, int, int]
"""A leased message: `(seq, body, deliveries, enqueued_ts_ms)`. `deliveries`
counts this delivery too, so a value above 1 marks a redelivery."""

@type_check_only
class Stats(TypedDict):
    """The counters `stats()` returns, in this key order."""

    ready: int
    in_flight: int
    total: int
    enqueued_total: int
    acked_total: int
    requeued_total: int
    dead_total: int
    next_seq: int
    live_bytes: int
    log_bytes: int
    generation: int
    persistent: bool

@type_check_only
class IntegrityReport(TypedDict):
    """What `verify_integrity()` found. `bytes` is the offset just past the
    last valid frame; `message` is "clean" or says where and why the log
    stops being valid: at a torn or damaged frame, or at an intact one whose
    record does not decode, where the next open of the queue cuts it."""

    ok: bool
    records: int
    bytes: int
    message: str

@type_check_only
class ScannedFrame(TypedDict):
    """One valid frame of a log, as `LogScan` yields it. `length` counts the
    12-byte frame header too. The other keys depend on `kind`: an "Enqueue"
    has `enqueued_ts_ms`, `body_offset` (where its body lies in the log),
    `body_len` and `body` (its first bytes, as many as the scan was asked
    for); a "Lease" has `deadline_ms` and `deliveries`; a "Requeue" has
    `deliveries`; "Ack" and "DeadLetter" have none."""

    offset: int
    length: int
    kind: str
    seq: int
    enqueued_ts_ms: NotRequired[int]
    body_offset: NotRequired[int]
    body_len: NotRequired[int]
    body: NotRequired[bytes]
    deadline_ms: NotRequired[int]
    deliveries: NotRequired[int]

@type_check_only
class LogEnd(TypedDict):
    """Where and why the valid part of a log ends. Not `clean`: the frame at
    `offset` is torn or damaged, or (`undecodable`) intact but holding no
    record; a queue opening the log cuts it there. A damaged file header
    ends it at offset 0 ("truncated file header" or "bad file magic")."""

    clean: bool
    offset: int
    reason: str | None
    undecodable: bool

@type_check_only
class ScannedMessage(TypedDict):
    """A live message of the state a scan adds up; `lease_deadline_ms` is
    None for a ready one."""

    seq: int
    deliveries: int
    enqueued_ts_ms: int
    body_offset: int
    body_len: int
    lease_deadline_ms: int | None

@final
@type_check_only
class LogScan(Iterator[ScannedFrame]):
    """What `TollivaneCore.scan_log` returns: an iterator over the valid
    frames of a log, which applies each to a queue state of its own."""

    @property
    def length(self) -> int:
        """The log's length when the scan was opened; frames are read up to it."""
    @property
    def version(self) -> int | None:
        """The header's format version; None when the header is damaged."""
    @property
    def generation(self) -> int | None:
        """The header's generation; None when the header is damaged."""
    @property
    def frames(self) -> int:
        """Valid frames read so far."""
    @property
    def position(self) -> int:
        """The offset just past the last valid frame read so far."""
    @property
    def scheduled(self) -> int:
        """Messages of the frames read so far that wait for their time."""
    @property
    def buried(self) -> int:
        """Buried messages of the frames read so far."""
    @property
    def end(self) -> LogEnd | None:
        """Where and why the valid log ends, once the iteration has stopped
        (at once for a damaged header); None before."""
    def __iter__(self) -> LogScan: ...
    def __next__(self) -> ScannedFrame: ...
    def sweep(self, now_ms: SupportsIndex, /) -> dict[int, int]:
        """Return the leases expired at `now_ms` to the ready set of this
        copy, as the queue's next sweep would, without writing anything.
        Returns the expired deadlines by seq."""
    def stats(self) -> Stats:
        """The counters of the frames read so far, as `TollivaneCore.stats`
        reports them; `log_bytes` is where the valid log ends."""
    def oldest_ready_ts_ms(self) -> int | None:
        """The enqueue time of the ready message of the frames read so far
        that has waited longest, as `TollivaneCore.oldest_ready_ts_ms`
        reports it; None when none is ready."""
    def integrity_report(self) -> IntegrityReport:
        """Read the rest of the log and return what
        `TollivaneCore.verify_integrity` reports for it."""
    def messages(self, in_flight: bool = False, scheduled: bool = False, buried: bool = False) -> list[ScannedMessage]:
        """The ready messages in delivery order; with `in_flight=True` or
        `scheduled=True` those in flight or waiting for their time, earliest
        deadline first; with `buried=True` the buried ones, in seq order.
        `ValueError` when more than one is asked for."""
    def read(self, offset: SupportsIndex, length: SupportsIndex) -> bytes:
        """The `length` bytes at `offset` of the log this scan reads."""

@final
@type_check_only
class ChangeWatch:
    """What `TollivaneCore.watch_changes` returns: a watch on the queue for a
    consumer that waits in an event loop. None of its methods waits or
    touches the queue. `tollivane_postgres.ChangeWatch` is its twin."""

    @property
    def recheck_ms(self) -> int | None:
        """How often a waiter must look again whatever `fileno()` says:
        None while inotify watches the directory, 50 where it is not
        available."""
    def fileno(self) -> int:
        """A descriptor that becomes readable when the queue may have
        changed, and stays readable until `clear()`."""
    def clear(self) -> bool:
        """Forget the changes seen so far, without waiting; whether any of
        them may have made a message ready. Call it before the dequeue it is
        followed by."""
    def close(self) -> None:
        """Close the watch's descriptors (stop watching `fileno()` first)."""
    def __enter__(self) -> ChangeWatch: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

@final
class TollivaneCore:
    """A queue: in this object's memory for the path ":memory:", otherwise in
    a directory that any number of processes may open at once. Closing it
    (`close()`, or the end of a `with` block) releases its files at once."""

    def __new__(
        cls,
        path: str | os.PathLike[str],
        sync_interval_ms: SupportsIndex | None = None,
        default_lease_ms: SupportsIndex | None = None,
        auto_compact_bytes: SupportsIndex | None = None,
    ) -> TollivaneCore:
        """Open (creating when missing) the queue at `path`, a str or a
        path-like object giving one (`Path(":memory:")` is in memory too).

        `sync_interval_ms`: 0 (default) fsyncs every change; n fsyncs at most
        once per n ms. `default_lease_ms`: lease length when a call gives none
        (default 30000). `auto_compact_bytes`: log size from which
        acknowledgements may compact the log; 0 disables (default 64 MiB).
        Raises `TimeoutError` when the directory's lock stays held for 30 s,
        `OSError` for a file that is not a queue log or a failed file call.
        """

    def enqueue(self, body: Body) -> int:
        """Append a message; returns its sequence id (the ack/nack handle).
        Raises `ValueError` for a body over 536870891 bytes."""

    def enqueue_batch(self, bodies: Sequence[Body]) -> list[int]:
        """Append many messages with one lock and one fsync; returns their
        sequence ids in order. Nothing is enqueued if any body is refused."""

    def dequeue(self, lease_ms: SupportsIndex | None = None) -> Delivery | None:
        """Lease the ready message with the smallest id for `lease_ms` (or the
        queue default); `None` when nothing is ready. Expired leases are
        returned to the ready set first."""

    def dequeue_batch(self, max: SupportsIndex, lease_ms: SupportsIndex | None = None) -> list[Delivery]:
        """Lease up to `max` ready messages at once, in ascending `seq`, with
        one deadline and one fsync."""

    def ack(self, seq: SupportsIndex) -> bool:
        """Remove a message for good, leased or not. Returns whether it existed."""

    def ack_batch(self, seqs: Sequence[SupportsIndex]) -> int:
        """Acknowledge many messages with one fsync; returns how many existed.
        Unknown and repeated ids are skipped."""

    def nack(self, seq: SupportsIndex, requeue: bool = True) -> bool:
        """Hand a message back to the ready set now (its delivery count is
        kept), or with `requeue=False` drop it as dead. Returns whether it
        existed."""

    def extend_lease(self, seq: SupportsIndex, lease_ms: SupportsIndex | None = None) -> bool:
        """Renew a leased message's lease to now + `lease_ms` (or the queue
        default) without a new delivery. Returns whether a lease was renewed."""

    def available(self) -> int:
        """Number of messages ready for delivery, after returning expired
        leases to the ready set."""

    def in_flight(self) -> int:
        """Number of leased messages, counting expired leases not yet swept."""

    def stats(self) -> Stats:
        """All counters, after returning expired leases to the ready set."""

    def flush(self) -> None:
        """Write out and fsync the log now."""

    def compact(self) -> None:
        """Rewrite the log keeping only live messages, reclaiming the space of
        settled ones. Sequence ids are kept."""

    def purge(self) -> None:
        """Remove every message; sequence ids start again at 0. Other
        processes see the empty queue at their next call."""

    def verify_integrity(self) -> IntegrityReport:
        """Re-read the whole log, CRC-checking every frame and decoding every
        record, without changing the log or this object."""

    def close(self) -> None:
        """Fsync what this object wrote, then release its files, map and lock.
        Every later call but `close()` raises `ValueError`; a ":memory:"
        queue's messages are gone. Raises `OSError` if that last fsync
        failed (the object is closed all the same)."""

    def __enter__(self) -> TollivaneCore:
        """The queue itself; `ValueError` once it is closed."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Close the queue; an exception from the block is not suppressed."""

    def dequeue_wait(self, timeout_ms: SupportsIndex, lease_ms: SupportsIndex | None = None) -> Delivery | None:
        """As `dequeue`, but wait up to `timeout_ms` for a message to become
        ready (an enqueue or requeue by any object or process, or a lease
        running out); `None` once that time has passed. Holds no lock while
        it waits; Ctrl-C ends the wait with `KeyboardInterrupt`, a `close()`
        from another thread with `ValueError`."""

    def dequeue_batch_wait(
        self, max: SupportsIndex, timeout_ms: SupportsIndex, lease_ms: SupportsIndex | None = None
    ) -> list[Delivery]:
        """As `dequeue_batch`, but wait up to `timeout_ms` until at least one
        message could be leased, then lease up to `max`; `[]` once that time
        has passed (at once for a `max` of 0)."""

    def watch_changes(self) -> ChangeWatch:
        """A watch whose `fileno()` becomes readable when the queue may have
        changed (an enqueue or requeue by any object or process), for a
        consumer that waits in an event loop instead of in `dequeue_wait`:
        `clear()` it, then dequeue; wait again for the descriptor, or for
        `next_due_ms()`, if nothing was ready."""

    def next_due_ms(self) -> int | None:
        """Milliseconds until the earliest lease runs out (0 once it has),
        which writes nothing a watch could see; None while no message is
        leased."""

    def _nowait(self, method: Callable[..., _T], /, *args: Any, **kwargs: Any) -> _T:
        """Call `method`, a method of this object, so that it never waits:
        `BlockingIOError`, having done nothing, where it would wait for the
        object, the directory's lock or the disk."""

    @staticmethod
    def scan_log(path: str | os.PathLike[str], body_prefix: SupportsIndex = 0) -> LogScan:
        """Read the log of the queue directory `path` as a queue would, but
        change nothing: no lock is taken, no damaged tail cut, no lease
        sweep written. The scan yields the valid frames (each Enqueue with
        the first `body_prefix` bytes of its body) and holds the queue state
        they add up to. To see one consistent log, hold the directory's
        process lock while the scan is opened; it reads up to the length
        the log had then."""

    def oldest_ready_ts_ms(self) -> int | None:
        """The enqueue time (ms since the epoch, the `enqueued_ts_ms` of its
        delivery) of the ready message that has waited longest, after
        returning expired leases to the ready set; `None` when none is
        ready. That is the ready message with the smallest id: ids follow
        the order of arrival, and a requeue keeps both id and enqueue time.
        Costs no more than `available()`, however long the queue."""

    def enqueue_delayed(self, body: Body, delay_ms: SupportsIndex) -> int:
        """Append a message that becomes ready `delay_ms` from now (0: at once,
        as `enqueue`); returns its sequence id. Until then it counts in
        `scheduled()` and no dequeue hands it out."""

    def enqueue_batch_delayed(self, bodies: Sequence[Body], delay_ms: SupportsIndex) -> list[int]:
        """As `enqueue_batch`, every message becoming ready `delay_ms` from now."""

    def retry(self, seq: SupportsIndex, delay_ms: SupportsIndex, deliveries: SupportsIndex | None = None) -> bool:
        """Hand a leased message back to the ready set `delay_ms` from now, its
        delivery count kept: a delayed `nack`. It counts as in flight until
        then. `False` if it is not leased, or if `deliveries` is given and is
        not its delivery count."""

    def bury(self, seq: SupportsIndex, deliveries: SupportsIndex | None = None) -> bool:
        """Keep a message aside as dead: never delivered nor expired, kept by
        compaction, until `kick`ed, acknowledged or dropped. `False` if there
        is no such message, it is buried already, or `deliveries` is given
        and is not its delivery count."""

    def kick(self, seq: SupportsIndex) -> bool:
        """Return a buried message to the ready set, its delivery count kept.
        Returns whether it was buried."""

    def kick_all(self) -> int:
        """Return every buried message to the ready set; returns how many."""

    def ack_delivery(self, seq: SupportsIndex, deliveries: SupportsIndex) -> bool:
        """`ack`, only if the message's delivery count is still `deliveries`
        (the count of the caller's delivery tuple): a consumer whose lease
        ran out cannot remove a message another consumer now holds."""

    def extend_delivery(
        self, seq: SupportsIndex, deliveries: SupportsIndex, lease_ms: SupportsIndex | None = None
    ) -> bool:
        """`extend_lease`, only if the message's delivery count is still
        `deliveries`."""

    def scheduled(self) -> int:
        """Number of messages enqueued with a delay that wait for their time;
        like `in_flight()` it sweeps nothing, so one due but not yet swept
        still counts."""

    def buried(self) -> int:
        """Number of buried messages."""

    def ack_and_dequeue(
        self, seq: SupportsIndex, deliveries: SupportsIndex | None = None, lease_ms: SupportsIndex | None = None
    ) -> tuple[bool, Delivery | None]:
        """Acknowledge `seq` as `ack` does and lease the next ready message as
        `dequeue` does (expired leases are swept first), under one lock and
        with one sync: a durable consumer's steady loop pays one fsync per
        message.
        With `deliveries`, the message is acknowledged only while its delivery
        count is still that one, that is only the caller's own delivery.
        Returns `(acked, delivery)`: what `ack` would return, and the delivery
        tuple or `None`."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Always raises `TypeError`: an open queue cannot be handed to
        another process (a `multiprocessing` worker started by spawn or
        forkserver, say). Give it the queue's path and open it there."""
