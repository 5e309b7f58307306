"""`AsyncPostgresQueue`: `tollivane_postgres.PostgresQueue` for asyncio."""

from __future__ import annotations

import asyncio
from typing import SupportsIndex

import psycopg
from psycopg import sql
from psycopg.rows import TupleRow

from tollivane_postgres import PostgresQueue
from tollivane_postgres import queue as sync_queue
from tollivane_postgres._statements import QueueStatements

from tollivane_asyncio._face import AsyncFace


class AsyncPostgresQueue(AsyncFace):
    """A queue in PostgreSQL with awaitable methods.

    Calls are those of a `PostgresQueue` run on the object's worker thread,
    one round trip each. Waiting calls sleep on the loop, woken by the
    queue's notifications, which an asynchronous connection of the object
    listens for while it is open."""

    def __init__(self, conninfo: str, name: str = "default", sync_interval_ms: SupportsIndex | None = None,
                 default_lease_ms: SupportsIndex | None = None) -> None:
        self._conninfo = conninfo
        self._channel = name
        self._listener: asyncio.Task[None] | None = None
        super().__init__(lambda: PostgresQueue(conninfo, name, sync_interval_ms, default_lease_ms), inline=False)
        # Leases notify nobody: a waiter looks again at least this often
        # for one taken after it last looked.
        self._recheck_s = sync_queue.RECHECK_S

    async def _start_source(self) -> None:
        channel = QueueStatements(self._channel).channel  # the queue is open: the name is good
        connection = await psycopg.AsyncConnection.connect(self._conninfo, autocommit=True)
        try:
            await connection.execute(sql.SQL("LISTEN {}").format(sql.Identifier(channel)))
        except BaseException:
            await connection.close()
            raise
        self._listener = asyncio.ensure_future(self._read_notifications(connection))

    async def _read_notifications(self, connection: psycopg.AsyncConnection[TupleRow]) -> None:
        try:
            async for _ in connection.notifies():
                self._feed.changed()
        except psycopg.Error:
            # Lost with the server: what was notified meanwhile went unheard.
            if not self._closed:
                self._source_lost()
        finally:
            await connection.close()

    def _close_source(self) -> None:
        if self._listener is not None:
            self._listener.cancel()
            self._listener = None
