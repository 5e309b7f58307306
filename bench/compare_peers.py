"""The peers of bench/compare.py: one adapter per queue library, each used
through its public API only, and the configurations they are measured in.

Every adapter offers the same five operations (enqueue, enqueue_batch,
dequeue_ack, dequeue_ack_batch, close); each dequeue returns the ids it
delivered, so that deliveries of one message to two consumers can be counted.
"""

from __future__ import annotations

import os
import sqlite3
import time
from dataclasses import dataclass
from typing import Callable, Optional

RELAXED_INTERVAL_MS = 10**9
LMDB_MAP_SIZE = 64 << 30  # address space only; pages are used as written


class TollivaneAdapter:
    text = False

    def __init__(self, directory: str, interval_ms: int) -> None:
        import tollivane

        # No automatic compaction, as in bench_single_process.py: a figure
        # should not depend on when an ack happens to cross the threshold.
        # The peers do not clean up during a measurement either.
        self.q = tollivane.TollivaneCore(
            directory, sync_interval_ms=interval_ms, auto_compact_bytes=0
        )

    def enqueue(self, body) -> None:
        self.q.enqueue(body)

    def enqueue_batch(self, bodies, deadline=None) -> int:
        return len(self.q.enqueue_batch(bodies))

    def dequeue_ack(self):
        d = self.q.dequeue()
        if d is None:
            return None
        self.q.ack(d[0])
        return d[0]

    def dequeue_ack_batch(self, n: int, deadline=None) -> list:
        ids = [d[0] for d in self.q.dequeue_batch(n)]
        if ids:
            self.q.ack_batch(ids)
        return ids

    def close(self) -> None:
        self.q.flush()
        del self.q


class PutLoopAdapter:
    """A peer whose put() takes one body and that has no batch call: a batch
    is a loop of puts."""

    def enqueue(self, body) -> None:
        self.q.put(body)

    def enqueue_batch(self, bodies, deadline=None) -> int:
        return loop_batch(self.q.put, bodies, deadline)


class PersistQueueAdapter(PutLoopAdapter):
    """persist-queue's SQLiteAckQueue, default settings. It has no batch
    call, and it refuses auto_commit=False ("not supported in ack queue"),
    so its batches are loops of single calls."""

    text = False

    def __init__(self, directory: str) -> None:
        import persistqueue

        self.empty = persistqueue.Empty
        self.q = persistqueue.SQLiteAckQueue(os.path.join(directory, "pq"), timeout=60)


    def dequeue_ack(self):
        try:
            item = self.q.get(block=False, raw=True)
        except self.empty:
            return None
        # Ack by id: acking by item would have to find the item by value,
        # and every body in this benchmark is the same.
        self.q.ack(id=item["pqid"])
        return item["pqid"]

    def dequeue_ack_batch(self, n: int, deadline=None) -> list:
        items = []
        for _ in range(n):
            try:
                items.append(self.q.get(block=False, raw=True)["pqid"])
            except self.empty:
                break
            if deadline is not None and time.perf_counter() >= deadline:
                break
        for pqid in items:
            self.q.ack(id=pqid)
        return items

    def close(self) -> None:
        self.q.close()


class LmdbQueueAdapter(PutLoopAdapter):
    """lmdb-queue (module equeue). No batch call: batches are loops."""

    text = False

    def __init__(self, directory: str, sync: bool) -> None:
        import equeue

        self.empty = equeue.QueueEmpty
        self.q = equeue.Queue(os.path.join(directory, "eq"), sync=sync, map_size=LMDB_MAP_SIZE)


    def dequeue_ack(self):
        try:
            # timeout=0 gives up before it looks; 1 ms is the shortest wait
            # that finds a ready job, and is only paid when the queue is empty.
            record = self.q.get(timeout=0.001)
        except self.empty:
            return None
        record.ack()
        return record.job_id

    def dequeue_ack_batch(self, n: int, deadline=None) -> list:
        ids = []
        for _ in range(n):
            got = self.dequeue_ack()
            if got is None:
                break
            ids.append(got)
            if deadline is not None and time.perf_counter() >= deadline:
                break
        return ids

    def close(self) -> None:
        self.q.close()


class LiteQueueAdapter:
    """litequeue. Messages are str. A batch of puts runs inside one
    `transaction()`; `pop` opens a transaction of its own and cannot be
    nested in one, so a batch dequeue is a loop of pops followed by the
    `done` calls in one transaction. `synchronous` is set on the queue's
    connection after construction, since construction sets its own."""

    text = True

    def __init__(self, directory: str, synchronous: Optional[str]) -> None:
        import litequeue

        self.q = litequeue.LiteQueue(os.path.join(directory, "lq.db"), timeout=60)
        if synchronous is not None:
            self.q.conn.execute(f"PRAGMA synchronous={synchronous}")

    def enqueue(self, body) -> None:
        self.q.put(body)

    def enqueue_batch(self, bodies, deadline=None) -> int:
        with self.q.transaction():
            return loop_batch(self.q.put, bodies, deadline)

    def dequeue_ack(self):
        m = self.q.pop()
        if m is None:
            return None
        self.q.done(m.message_id)
        return m.message_id

    def dequeue_ack_batch(self, n: int, deadline=None) -> list:
        ids = []
        for _ in range(n):
            m = self.q.pop()
            if m is None:
                break
            ids.append(m.message_id)
            if deadline is not None and time.perf_counter() >= deadline:
                break
        if ids:
            with self.q.transaction():
                for mid in ids:
                    self.q.done(mid)
        return ids

    def close(self) -> None:
        self.q.close()


class SqliteLeaseAdapter:
    """A lease table on the standard library's sqlite3, WAL mode: what a
    developer would write by hand. Dequeue leases the smallest ready (or
    expired) seq in one UPDATE ... RETURNING; ack deletes the row. Batches
    run in one transaction each, like tollivane's: a batch dequeue is one
    statement, its acks one transaction."""

    text = False
    LEASE_MS = 30_000

    def __init__(self, directory: str, synchronous: str) -> None:
        self.conn = sqlite3.connect(
            os.path.join(directory, "lease.db"), isolation_level=None, timeout=60
        )
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute(f"PRAGMA synchronous={synchronous}")
        self.conn.execute(
            "CREATE TABLE IF NOT EXISTS messages ("
            " seq INTEGER PRIMARY KEY, body BLOB NOT NULL,"
            " enqueued_ms INTEGER NOT NULL, deliveries INTEGER NOT NULL DEFAULT 0,"
            " deadline_ms INTEGER NOT NULL DEFAULT 0)"
        )

    @staticmethod
    def now_ms() -> int:
        return time.time_ns() // 1_000_000

    def enqueue(self, body) -> None:
        self.conn.execute(
            "INSERT INTO messages (body, enqueued_ms) VALUES (?, ?)", (body, self.now_ms())
        )

    def enqueue_batch(self, bodies, deadline=None) -> int:
        now = self.now_ms()
        self.conn.execute("BEGIN IMMEDIATE")
        self.conn.executemany(
            "INSERT INTO messages (body, enqueued_ms) VALUES (?, ?)", ((b, now) for b in bodies)
        )
        self.conn.execute("COMMIT")
        return len(bodies)

    def _lease(self, n: int) -> list:
        now = self.now_ms()
        # fetchall runs the statement to its end, which commits it.
        return self.conn.execute(
            "UPDATE messages SET deadline_ms = ?, deliveries = deliveries + 1"
            " WHERE seq IN (SELECT seq FROM messages WHERE deadline_ms <= ? ORDER BY seq LIMIT ?)"
            " RETURNING seq, body, deliveries, enqueued_ms",
            (now + self.LEASE_MS, now, n),
        ).fetchall()

    def dequeue_ack(self):
        rows = self._lease(1)
        if not rows:
            return None
        self.conn.execute("DELETE FROM messages WHERE seq = ?", (rows[0][0],))
        return rows[0][0]

    def dequeue_ack_batch(self, n: int, deadline=None) -> list:
        ids = [r[0] for r in self._lease(n)]
        if ids:
            self.conn.execute("BEGIN IMMEDIATE")
            self.conn.executemany("DELETE FROM messages WHERE seq = ?", ((i,) for i in ids))
            self.conn.execute("COMMIT")
        return ids

    def close(self) -> None:
        self.conn.close()


def loop_batch(call, bodies, deadline) -> int:
    """A batch for a system without a batch call: single calls in a loop.
    It stops at the deadline, so that a slow system does not stretch a
    measurement to a thousand of its calls."""
    n = 0
    for b in bodies:
        call(b)
        n += 1
        if deadline is not None and time.perf_counter() >= deadline:
            break
    return n


@dataclass(frozen=True)
class Config:
    key: str
    label: str  # short, for tables and the chart
    system: str  # what has to import for it to run
    durable: bool  # the group it is compared in
    setting: str  # the setting, in the system's own words
    factory: Callable[[str], object]
    ours: bool = False


CONFIGS = (
    Config("tv-durable", "tollivane", "tollivane", True, "sync_interval_ms=0",
           lambda d: TollivaneAdapter(d, 0), ours=True),
    Config("pq", "persist-queue", "persistqueue", True, "SQLiteAckQueue, defaults",
           PersistQueueAdapter),
    Config("lq-full", "litequeue FULL", "litequeue", True,
           "LiteQueue + conn PRAGMA synchronous=FULL", lambda d: LiteQueueAdapter(d, "FULL")),
    Config("sqlite-full", "sqlite3 FULL", "sqlite3", True, "lease table, WAL, synchronous=FULL",
           lambda d: SqliteLeaseAdapter(d, "FULL")),
    Config("tv-relaxed", "tollivane", "tollivane", False, "sync_interval_ms=10**9",
           lambda d: TollivaneAdapter(d, RELAXED_INTERVAL_MS), ours=True),
    Config("lmdb-sync", "lmdb-queue sync", "equeue", False, "Queue(sync=True)",
           lambda d: LmdbQueueAdapter(d, True)),
    Config("lmdb-nosync", "lmdb-queue", "equeue", False, "Queue(sync=False), the default",
           lambda d: LmdbQueueAdapter(d, False)),
    Config("lq-default", "litequeue", "litequeue", False, "LiteQueue, defaults",
           lambda d: LiteQueueAdapter(d, None)),
    Config("sqlite-off", "sqlite3 OFF", "sqlite3", False, "lease table, WAL, synchronous=OFF",
           lambda d: SqliteLeaseAdapter(d, "OFF")),
)
CONFIG_BY_KEY = {c.key: c for c in CONFIGS}
BATCH_NOTES = {
    "pq": "no batch call; auto_commit=False is refused for the ack queue: loops of single calls",
    "lmdb-sync": "no batch call: loops of single calls",
    "lmdb-nosync": "no batch call: loops of single calls",
    "lq-full": "puts in one transaction(); pop cannot run inside one: loop of pops, dones in one transaction",
    "lq-default": "puts in one transaction(); loop of pops, dones in one transaction",
    "sqlite-full": "one transaction per batch (a dequeue batch is one UPDATE ... RETURNING)",
    "sqlite-off": "one transaction per batch (a dequeue batch is one UPDATE ... RETURNING)",
    "tv-durable": "enqueue_batch, dequeue_batch + ack_batch: one fsync per call",
    "tv-relaxed": "enqueue_batch, dequeue_batch + ack_batch: one fsync per call, whatever the interval",
}


def make_body(size: int, text: bool):
    if text:
        return ("0123456789abcdef" * (size // 16 + 1))[:size]
    return (bytes(range(256)) * (size // 256 + 1))[:size]



def available_configs() -> tuple[list[Config], dict[str, str]]:
    skipped: dict[str, str] = {}
    modules: dict[str, Optional[str]] = {}
    for c in CONFIGS:
        if c.system not in modules:
            try:
                __import__(c.system)
                modules[c.system] = None
            except Exception as exc:
                modules[c.system] = f"{type(exc).__name__}: {exc}".splitlines()[0]
        if modules[c.system] is not None:
            skipped[c.key] = f"does not import: {modules[c.system]}"
    return [c for c in CONFIGS if c.key not in skipped], skipped


def versions() -> str:
    from importlib import metadata

    out = []
    for dist in ("tollivane", "persist-queue", "lmdb-queue", "lmdb", "litequeue"):
        try:
            out.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            pass
    out.append(f"sqlite {sqlite3.sqlite_version}")
    return ", ".join(out)
