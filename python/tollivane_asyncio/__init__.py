"""The tollivane queues for asyncio: `AsyncQueue` for a queue directory (or
":memory:") and `AsyncPostgresQueue` for a queue in PostgreSQL (which needs
the `postgres` extra). Every method of the queue is awaitable, with the same
arguments, results and exceptions; waiting calls hold no thread and no lock
while they sleep, and cancel cleanly."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from tollivane_asyncio._directory import AsyncQueue

if TYPE_CHECKING:
    from tollivane_asyncio._postgres import AsyncPostgresQueue

__all__ = ["AsyncPostgresQueue", "AsyncQueue"]


def __getattr__(name: str) -> Any:
    # Only a PostgreSQL queue needs psycopg.
    if name == "AsyncPostgresQueue":
        from tollivane_asyncio._postgres import AsyncPostgresQueue

        return AsyncPostgresQueue
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
