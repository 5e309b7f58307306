"""Finding a queue directory, taking its process lock without waiting long,
and looking at its log as one consistent snapshot."""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, Iterator, Optional, Union

from .logfile import FILE_HEADER_LEN, FILE_MAGIC, Damage, FrameScan, Header, QueueState, read_header

if TYPE_CHECKING:
    import tollivane

LOG_NAME = "queue.log"
LOCK_NAME = ".proc_lock"


class CliError(Exception):
    """A failure reported to the operator as one line."""


_FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
               (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"))


def refuse_unless_regular(path: Path, mode: int) -> None:
    if stat.S_ISREG(mode):
        return
    kind = next((name for test, name in _FILE_KINDS if test(mode)), "another kind")
    raise CliError(f"{path}: not a regular file ({kind}); refusing to use it")


def queue_dir(path: str, need_log: bool = True) -> Path:
    """The directory, checked to exist and to hold a queue log. It is never
    created: a typing error in a path must not make a new empty queue."""
    directory = Path(path)
    if not directory.exists():
        raise CliError(f"{path}: no such directory")
    if not directory.is_dir():
        raise CliError(f"{path}: not a directory")
    log = directory / LOG_NAME
    # What sits at the path is checked when it is opened (open_regular).
    if need_log and not log.exists():
        raise CliError(f"{path}: not a queue directory (no {LOG_NAME})")
    return directory


def open_regular(path: Path) -> int:
    """A read-only descriptor of the regular file at `path`, or a one-line
    refusal. A plain open of a FIFO waits for a writer, forever if none
    comes; opening without blocking and then checking what was opened
    cannot hang, whatever sits at the path, and leaves no gap between the
    check and the use."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        if error.errno == errno.ENXIO:  # what opening a socket reports
            refuse_unless_regular(path, stat.S_IFSOCK)
        raise
    try:
        refuse_unless_regular(path, os.fstat(fd).st_mode)
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    except BaseException:
        os.close(fd)
        raise
    return fd


def check_not_foreign(directory: Path) -> None:
    """Refuses a log that is not ours. A file shorter than a header is not
    refused: the queue treats it as a torn header and starts it afresh."""
    log = directory / LOG_NAME
    try:
        fd = open_regular(log)
    except FileNotFoundError:
        return
    with open(fd, "rb") as file:
        start = file.read(FILE_HEADER_LEN)
    if len(start) == FILE_HEADER_LEN and start[:4] != FILE_MAGIC:
        raise CliError(f"{log}: not a tollivane queue log (it starts with {start[:4]!r})")


@contextmanager
def process_lock(directory: Path, wait: float) -> Iterator[None]:
    """Holds the queue's process lock. The queue itself polls for up to 30
    seconds; an operator is better served by hearing at once that a live
    process holds it, so this polls for `wait` seconds only. Without a lock
    file no process has opened the queue yet, so there is nobody to exclude."""
    try:
        fd = open_regular(directory / LOCK_NAME)
    except FileNotFoundError:
        yield
        return
    try:
        give_up = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= give_up:
                    raise CliError(f"{directory}: queue is busy: its lock stayed held by another process "
                               f"for {wait:g} s (retry, or raise --wait)") from None
                # Normal calls hold the lock for a few milliseconds at most.
                time.sleep(0.0005)
        try:
            yield
        finally:
            fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)


@contextmanager
def log_snapshot(directory: Path, wait: float, lock: bool = True) -> Iterator[tuple[BinaryIO, int]]:
    """The log file and its length, both taken under the process lock, which
    is released again before the caller reads. That is still a consistent
    snapshot: frames are only ever appended whole under the lock, a compaction
    or purge renames a new file over the path (this handle keeps the old one),
    and only bytes from the first bad frame on are ever cut. So the bytes up
    to the first bad frame never change, and a long read does not hold up the
    processes that use the queue."""
    with process_lock(directory, wait) if lock else _nothing():
        file = open(open_regular(directory / LOG_NAME), "rb")
        length = os.fstat(file.fileno()).st_size
    try:
        yield file, length
    finally:
        file.close()


@contextmanager
def _nothing() -> Iterator[None]:
    yield


@dataclass
class Snapshot:
    header: Header
    state: QueueState
    end: int  # just past the last valid frame
    damage: Optional[Damage]


def replay(file: BinaryIO, length: int,
           progress: Optional[Callable[[int], None]] = None) -> Union[Snapshot, Damage]:
    """The queue state of the valid prefix of the log, or the header damage
    that leaves no log to replay."""
    header = read_header(file, length)
    if isinstance(header, Damage):
        return header
    state = QueueState()
    scan = FrameScan(file, length, progress=progress)
    for frame in scan:
        state.apply(frame.record, frame.offset)
    return Snapshot(header, state, scan.position, scan.damage)


def open_queue(directory: Path, wait: float) -> "tollivane.TollivaneCore":
    """A queue object for the directory, opened only once the lock was seen
    free, so that a held lock is reported instead of waited for. The lock is
    released before opening: the queue takes it through its own descriptor."""
    import tollivane

    check_not_foreign(directory)
    with process_lock(directory, wait):
        pass
    return tollivane.TollivaneCore(str(directory))


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def stats_of(snapshot: Snapshot, now: int) -> dict[str, Any]:
    """The twelve statistics the queue's stats() reports, with its lease
    sweep done on this copy only, so looking writes nothing to the log."""
    state = snapshot.state
    state.expire_leases(now)
    return {
        "ready": len(state.ready),
        "in_flight": len(state.in_flight),
        "total": len(state.messages),
        "enqueued_total": state.enqueued_total,
        "acked_total": state.acked_total,
        "requeued_total": state.requeued_total,
        "dead_total": state.dead_total,
        "next_seq": state.next_seq,
        "live_bytes": state.live_bytes,
        "log_bytes": snapshot.end,
        "generation": snapshot.header.generation,
        "persistent": True,
    }


def body_pieces(file: BinaryIO, offset: int, length: int, piece_len: int) -> Iterator[bytes]:
    """The `length` bytes at `offset` of the log, `piece_len` at a time. They
    lie before the first bad frame, which no process ever changes, so they
    are read without the lock."""
    end = offset + length
    while offset < end:
        want = min(piece_len, end - offset)
        piece = os.pread(file.fileno(), want, offset)
        if len(piece) != want:
            raise CliError(f"{LOG_NAME} became shorter while it was being read")
        yield piece
        offset += want
