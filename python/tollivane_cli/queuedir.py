"""Finding a queue directory, taking its process lock without waiting long,
and looking at its log as one consistent snapshot: the extension's
read-only scan (TollivaneCore.scan_log), which reads the log as the queue
does and changes nothing."""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import time
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional

if TYPE_CHECKING:
    import tollivane
    from tollivane import LogScan

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
        os.close(open_regular(log))
    except FileNotFoundError:
        return
    scan = scan_log(directory)
    if scan.end is not None and scan.end["reason"] == "bad file magic":
        raise CliError(f"{log}: not a tollivane queue log (it starts with {scan.read(0, 4)!r})")


def scan_log(directory: Path, body_prefix: int = 0) -> "LogScan":
    import tollivane

    return tollivane.TollivaneCore.scan_log(str(directory), body_prefix)


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
def log_snapshot(directory: Path, wait: float, lock: bool = True, body_prefix: int = 0) -> Iterator["LogScan"]:
    """A scan of the log, opened (and its length taken) under the process
    lock, which is released again before the caller reads. That is still a
    consistent snapshot: frames are only ever appended whole under the lock,
    a compaction or purge renames a new file over the path (the scan keeps
    the old one), and only bytes from the first bad frame on are ever cut.
    So the bytes up to the first bad frame never change, and a long read
    does not hold up the processes that use the queue."""
    with process_lock(directory, wait) if lock else _nothing():
        # Refuses what is no regular file before anything could wait on it.
        os.close(open_regular(directory / LOG_NAME))
        scan = scan_log(directory, body_prefix)
    yield scan


@contextmanager
def _nothing() -> Iterator[None]:
    yield


def read_to_end(scan: "LogScan", progress: Optional[Callable[[int], None]] = None) -> None:
    """Reads every valid frame, so that the scan's state is the whole log's."""
    for _ in scan:
        if progress is not None:
            progress(scan.position)


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


def stats_of(scan: "LogScan", now: int) -> dict[str, Any]:
    """The twelve statistics the queue's stats() reports, then its
    scheduled() and buried() counts, with its lease sweep done on the scan's
    copy only, so looking writes nothing to the log."""
    scan.sweep(now)
    return {**scan.stats(), "scheduled": scan.scheduled, "buried": scan.buried}


def body_pieces(scan: "LogScan", offset: int, length: int, piece_len: int) -> Iterator[bytes]:
    """The `length` bytes at `offset` of the log, `piece_len` at a time. They
    lie before the first bad frame, which no process ever changes, so they
    are read without the lock."""
    end = offset + length
    while offset < end:
        want = min(piece_len, end - offset)
        yield scan.read(offset, want)
        offset += want
