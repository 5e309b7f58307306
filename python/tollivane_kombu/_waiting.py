"""What a draining connection sleeps on when none of the queues it consumes
has a message to lease, or its channels may take no more (prefetch): the
queues' own change watches, the earliest moment a lease or a delay of theirs
runs out (which writes nothing a watch would see), and a wake-up pipe that
an acknowledgement writes to when it frees room in a full channel."""

from __future__ import annotations

import os
import select
from typing import Any, Mapping

# Lengths in seconds from the queues' milliseconds.
MS = 1000.0


class Waiter:
    """Keeps a watch per queue found empty and tells which queues are worth
    another look: one found empty stays idle until its watch fires, its
    earliest deadline passes, or its watch's recheck time (where changes
    cannot be watched) runs out."""

    def __init__(self) -> None:
        self._watches: dict[str, Any] = {}
        self._idle: set[str] = set()
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_read, False)
        os.set_blocking(self._wake_write, False)

    def is_idle(self, name: str) -> bool:
        return name in self._idle

    def arm(self, name: str, queue: Any) -> None:
        """Called when a look found `queue` empty, before the last look that
        may make it idle: what changes after this makes its watch readable."""
        watch = self._watches.get(name)
        if watch is None:
            watch = self._watches[name] = queue.watch_changes()
        watch.clear()

    def set_idle(self, name: str) -> None:
        self._idle.add(name)

    def wake(self) -> None:
        try:
            os.write(self._wake_write, b"!")
        except BlockingIOError:
            pass  # a wake-up is pending already

    def take_wakeups(self) -> None:
        try:
            while os.read(self._wake_read, 512):
                pass
        except BlockingIOError:
            pass

    def wait(self, queues: Mapping[str, Any], timeout_s: float | None) -> None:
        """Sleeps until one of the idle `queues` may have a message, a
        wake-up arrives, or `timeout_s` passes (None: no limit)."""
        idle = {name: queue for name, queue in queues.items() if name in self._idle}
        limits = [] if timeout_s is None else [timeout_s]
        readers = {self._wake_read: None}
        for name, queue in idle.items():
            watch = self._watches[name]
            readers[watch.fileno()] = name
            due_ms = queue.next_due_ms()
            if due_ms is not None:
                limits.append(due_ms / MS)
            if watch.recheck_ms is not None:
                limits.append(watch.recheck_ms / MS)
        timeout = max(0.0, min(limits)) if limits else None
        ready, _, _ = select.select(list(readers), [], [], timeout)
        if not ready:
            # A deadline or a recheck time came: every idle queue may have
            # a message now that nothing announced.
            self._idle.difference_update(idle)
        for fd in ready:
            self._idle.discard(readers[fd])

    def close(self) -> None:
        for watch in self._watches.values():
            watch.close()
        self._watches.clear()
        for fd in (self._wake_read, self._wake_write):
            os.close(fd)
