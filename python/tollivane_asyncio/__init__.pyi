"""Type information for `tollivane_asyncio`: the methods of the queue, each
awaitable, with the arguments and results of `tollivane.TollivaneCore` (and
`tollivane_postgres.PostgresQueue`). The methods are made at run time from
the table in `_methods.py`; a method added there is added here too."""

import os
from collections.abc import Sequence
from types import TracebackType
from typing import SupportsIndex, TypeVar

from tollivane import Body, Delivery, IntegrityReport, Stats

_Face = TypeVar("_Face", bound="_AsyncFace")

class _AsyncFace:
    """The awaitable methods both queues share. Use an object from one event loop."""

    async def enqueue(self, body: Body) -> int: ...
    async def enqueue_batch(self, bodies: Sequence[Body]) -> list[int]: ...
    async def dequeue(self, lease_ms: SupportsIndex | None = None) -> Delivery | None: ...
    async def dequeue_batch(self, max: SupportsIndex, lease_ms: SupportsIndex | None = None) -> list[Delivery]: ...
    async def ack(self, seq: SupportsIndex) -> bool: ...
    async def ack_batch(self, seqs: Sequence[SupportsIndex]) -> int: ...
    async def nack(self, seq: SupportsIndex, requeue: bool = True) -> bool: ...
    async def extend_lease(self, seq: SupportsIndex, lease_ms: SupportsIndex | None = None) -> bool: ...
    async def available(self) -> int: ...
    async def in_flight(self) -> int: ...
    async def stats(self) -> Stats: ...
    async def flush(self) -> None: ...
    async def compact(self) -> None: ...
    async def purge(self) -> None: ...
    async def verify_integrity(self) -> IntegrityReport: ...
    async def dequeue_wait(self, timeout_ms: SupportsIndex, lease_ms: SupportsIndex | None = None) -> Delivery | None:
        """As `dequeue`, but waits up to `timeout_ms` for a message, holding no
        thread and no lock while it sleeps. Cancelled while it sleeps, it has
        leased nothing; cancelled after it leased, it hands the message back."""
    async def dequeue_batch_wait(
        self, max: SupportsIndex, timeout_ms: SupportsIndex, lease_ms: SupportsIndex | None = None
    ) -> list[Delivery]: ...
    async def oldest_ready_ts_ms(self) -> int | None: ...
    async def next_due_ms(self) -> int | None: ...
    async def close(self) -> None:
        """Close the queue after every call made before; waiting calls end
        with `ValueError`. Closing again does nothing."""
    async def __aenter__(self: _Face) -> _Face: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

class AsyncQueue(_AsyncFace):
    """`tollivane.TollivaneCore` for asyncio: a queue directory, or ":memory:"."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        sync_interval_ms: SupportsIndex | None = None,
        default_lease_ms: SupportsIndex | None = None,
        auto_compact_bytes: SupportsIndex | None = None,
    ) -> None: ...

class AsyncPostgresQueue(_AsyncFace):
    """`tollivane_postgres.PostgresQueue` for asyncio (needs the `postgres` extra)."""

    def __init__(
        self,
        conninfo: str,
        name: str = "default",
        sync_interval_ms: SupportsIndex | None = None,
        default_lease_ms: SupportsIndex | None = None,
    ) -> None: ...

__all__ = ["AsyncPostgresQueue", "AsyncQueue"]
