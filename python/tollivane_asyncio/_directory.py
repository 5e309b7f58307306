"""`AsyncQueue`: `tollivane.TollivaneCore` for asyncio."""

from __future__ import annotations

import asyncio
import os
from typing import Any, SupportsIndex

import tollivane

from tollivane_asyncio._face import AsyncFace


def _in_memory(path: object) -> bool:
    # As the queue tells: the exact text ":memory:", given or from __fspath__.
    return isinstance(path, (str, os.PathLike)) and os.fspath(path) == ":memory:"


class AsyncQueue(AsyncFace):
    """A queue directory (or ":memory:") with awaitable methods.

    A call of a queue directory may wait for the directory's lock, which
    another process may hold, and for an fsync: each runs on the object's
    worker thread, except that the quick calls (enqueue, dequeue, ack, nack,
    extend_lease and the counters) are first tried on the loop thread as
    calls that may not wait, which with a positive `sync_interval_ms` they
    usually need not. A ":memory:" queue never waits for either: its calls
    all run on the loop thread, where they take a microsecond."""

    def __init__(self, path: str | os.PathLike[str], sync_interval_ms: SupportsIndex | None = None,
                 default_lease_ms: SupportsIndex | None = None,
                 auto_compact_bytes: SupportsIndex | None = None) -> None:
        self._watch: Any = None
        self._reading: asyncio.AbstractEventLoop | None = None
        super().__init__(lambda: tollivane.TollivaneCore(path, sync_interval_ms, default_lease_ms,
                                                         auto_compact_bytes),
                         inline=_in_memory(path))

    def _now_open(self, queue: Any) -> None:
        self._nowait = queue._nowait

    async def _start_source(self) -> None:
        # Made by a call (it takes the object's mutex), then only read: its
        # descriptor and clear() touch neither the queue nor a lock.
        self._watch = await self._run(self._queue.watch_changes)
        recheck_ms = self._watch.recheck_ms
        self._recheck_s = None if recheck_ms is None else recheck_ms / 1000

    def _listen(self) -> None:
        if self._reading is None and self._watch is not None:
            # What arrived while nobody waited is old news to the attempt
            # that follows.
            self._watch.clear()
            self._reading = asyncio.get_running_loop()
            self._reading.add_reader(self._watch.fileno(), self._readable)

    def _readable(self) -> None:
        if self._watch.clear():
            self._feed.changed()

    def _stop_listening(self) -> None:
        if self._reading is not None:
            if not self._reading.is_closed():
                self._reading.remove_reader(self._watch.fileno())
            self._reading = None

    def _close_source(self) -> None:
        self._stop_listening()
        if self._watch is not None:
            self._watch.close()
            self._watch = None
