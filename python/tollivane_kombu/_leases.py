"""The background renewal of the leases a worker holds: while the process
lives, every delivered message it has not settled gets its lease extended
well before the lease runs out, so a task may run for hours on a lease of
seconds, and the tasks of a worker that died come back within one lease."""

from __future__ import annotations

import threading
from typing import Any, Callable, Iterable


class LeaseRenewal:
    """A daemon thread that calls `renew()` on every channel of a connection
    every `every_s` seconds, from the first delivery until the connection
    closes."""

    def __init__(self, channels: Callable[[], Iterable[Any]], every_s: float) -> None:
        self._channels = channels
        self.every_s = every_s
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()

    def start(self) -> None:
        # A forked child (a pool process) inherits the object but not the
        # thread: is_alive() is false there, and a child that consumes gets
        # a thread of its own.
        if self._thread is not None and self._thread.is_alive():
            return
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._stop.clear()
                self._thread = threading.Thread(target=self._run, name="tollivane-kombu-leases", daemon=True)
                self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(self.every_s):
            for channel in list(self._channels()):
                channel.renew_leases()

    def stop(self) -> None:
        self._stop.set()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        self._thread = None
