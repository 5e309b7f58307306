#!/usr/bin/env python3
"""tollivane side by side with other embedded queues for Python, at equal
durability, in one run on one machine.

Peers (each measured only if it imports; otherwise reported as skipped):
persist-queue's SQLiteAckQueue, lmdb-queue, litequeue, and a lease table
written here on the standard library's sqlite3 in WAL mode. Every peer is
used through its public API only.

Every configuration sits in one of two groups, by what it promises when a
call returns:

  durable  the change is on the disk (an fsync or fdatasync ran before the
           call returned); it survives a power loss. tollivane with
           sync_interval_ms=0.
  relaxed  the change was handed to the operating system (a write or a
           shared writable mapping); it survives the process being killed,
           not a power loss. tollivane with sync_interval_ms=10**9.

The group of each configuration is checked, not taken from its
documentation: each one runs under strace, and the sync calls per operation
are printed (an msync with MS_ASYNC only schedules writeback, so it is not
counted as a sync).

Workloads: enqueue; dequeue+ack; a batch of 1000 enqueues; a batch of 1000
dequeues plus 1000 acks; bodies of 100 B and 64 KiB; 1 and 4 processes on one
queue. Printed: messages per second (medians over the runs) and tollivane's
ratio to every peer and to two floors measured in the same run by a small C
program compiled here with cc:

  durable floor      write of a 133-byte record + fsync, in a loop, on an
                     O_APPEND file: the best any log can do that makes each
                     append durable on this disk.
  non-durable floor  flock(LOCK_EX) on a lock file, stat of the log path,
                     write of a 133-byte frame, flock(LOCK_UN): the system
                     calls one relaxed tollivane enqueue cannot avoid, with
                     no Python and no queue logic.

    python bench/compare.py            # full: 3 runs, several minutes
    python bench/compare.py --quick    # one short run without 64 KiB x 4 processes

bench/run_compare.sh makes a virtual environment with tollivane and the peers
and runs this script; it checks nothing, it prints figures.
"""

from __future__ import annotations

import argparse
import collections
import json
import multiprocessing
import os
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

BATCH = 1000
FLOOR_RECORD_LEN = 133  # the frame of an enqueue of a 100-byte body
SIZES = (100, 64 * 1024)
PROCS = (1, 4)
OPS = ("enqueue", "dequeue+ack", "enqueue_batch", "dequeue_batch+ack_batch")
BATCH_OPS = ("enqueue_batch", "dequeue_batch+ack_batch")
RELAXED_INTERVAL_MS = 10**9
LMDB_MAP_SIZE = 64 << 30  # address space only; pages are used as written


# ----------------------------------------------------------------------------
# Adapters: one small class per system, all with the same five operations.
# Each dequeue returns the ids it delivered, so that deliveries of one message
# to two consumers can be counted.


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


# ----------------------------------------------------------------------------
# One measurement: `procs` worker processes, each with its own queue object on
# one directory, start together and run one operation until the time or the
# message budget runs out (or the queue runs dry).


@dataclass(frozen=True)
class Budget:
    sync_seconds: float  # cases that wait for the disk
    fast_seconds: float  # cases that do not
    max_small: int  # messages per measurement, 100 B bodies
    max_large: int  # messages per measurement, 64 KiB bodies (disk space)
    runs: int
    strace_ops: int
    slice_seconds: float  # one turn of a configuration in measure_interleaved


FULL = Budget(sync_seconds=0.5, fast_seconds=0.25, max_small=300_000, max_large=3_000, runs=3,
              strace_ops=100, slice_seconds=0.1)
QUICK = Budget(sync_seconds=0.06, fast_seconds=0.03, max_small=20_000, max_large=300, runs=1,
               strace_ops=10, slice_seconds=0.03)


def worker(key: str, op: str, size: int, seconds: float, cap: int, directory: str,
           barrier, out) -> None:
    result: dict = {"n": 0, "ids": None, "error": None}
    adapter = None
    try:
        adapter = CONFIG_BY_KEY[key].factory(directory)
        body = make_body(size, adapter.text)
        bodies = [body] * BATCH
        ids: list = []
        barrier.wait(timeout=120)
        start = time.perf_counter()
        deadline = start + seconds
        n = 0
        dry = False
        while True:
            if op == "enqueue":
                adapter.enqueue(body)
                n += 1
            elif op == "enqueue_batch":
                n += adapter.enqueue_batch(bodies, deadline)
            elif op == "dequeue+ack":
                got = adapter.dequeue_ack()
                if got is None:
                    dry = True
                else:
                    ids.append(got)
                    n += 1
            else:
                got = adapter.dequeue_ack_batch(BATCH, deadline)
                ids.extend(got)
                n += len(got)
                dry = not got
            now = time.perf_counter()
            if dry or n >= cap or now >= deadline:
                break
        result.update(n=n, start=start, end=now, dry=dry and now < start + seconds / 2,
                      ids=ids if op not in ("enqueue", "enqueue_batch") else None)
    except BaseException as exc:  # reported by the parent, never fatal
        result["error"] = f"{type(exc).__name__}: {exc}".splitlines()[0][:200]
        try:
            barrier.abort()
        except Exception:
            pass
    finally:
        try:
            if adapter is not None:
                adapter.close()
        except Exception as exc:
            result["error"] = result["error"] or f"close: {type(exc).__name__}: {exc}"
        out.send(result)
        out.close()


@dataclass
class Cell:
    rate: Optional[float] = None
    error: Optional[str] = None
    dry: bool = False
    duplicates: int = 0


def run_workers(key: str, op: str, size: int, procs: int, seconds: float, cap: int,
                directory: str) -> Cell:
    ctx = multiprocessing.get_context("fork")
    barrier = ctx.Barrier(procs)
    pipes, workers = [], []
    for _ in range(procs):
        receive, send = ctx.Pipe(duplex=False)
        p = ctx.Process(target=worker, args=(key, op, size, seconds, max(1, cap // procs),
                                             directory, barrier, send))
        p.start()
        send.close()
        pipes.append(receive)
        workers.append(p)
    results = []
    limit = time.monotonic() + seconds + 180
    for receive, p in zip(pipes, workers):
        if receive.poll(max(0.0, limit - time.monotonic())):
            try:
                results.append(receive.recv())
            except EOFError:
                results.append({"error": "worker died without a result"})
        else:
            results.append({"error": "worker timed out"})
    for p in workers:
        p.join(5)
        if p.is_alive():
            p.kill()
            p.join()
    # A worker that fails breaks the start barrier for the others: report
    # its own error, not theirs.
    errors = sorted((r["error"] for r in results if r.get("error")),
                    key=lambda e: e.startswith("BrokenBarrierError"))
    if errors:
        return Cell(error=errors[0])
    total = sum(r["n"] for r in results)
    elapsed = max(r["end"] for r in results) - min(r["start"] for r in results)
    cell = Cell(rate=total / elapsed if elapsed > 0 else None, dry=any(r["dry"] for r in results))
    if results[0]["ids"] is not None:
        ids = [i for r in results for i in r["ids"]]
        cell.duplicates = len(ids) - len(set(ids))
    return cell


def prefill(key: str, size: int, count: int, directory: str) -> None:
    """Untimed: `count` ready messages, in batches where the system has them."""
    adapter = CONFIG_BY_KEY[key].factory(directory)
    try:
        body = make_body(size, adapter.text)
        while count > 0:
            n = min(BATCH, count)
            adapter.enqueue_batch([body] * n)
            count -= n
    finally:
        adapter.close()


def measure_cell(key: str, op: str, size: int, procs: int, budget: Budget, work_dir: str,
                 rates: dict) -> Cell:
    """One operation of one configuration on a fresh queue. `rates` holds
    this configuration's rates measured so far at this size and process
    count; it sizes the prefill of the dequeue cases."""
    cap = budget.max_small if size <= 1024 else budget.max_large
    # tollivane's batches fsync whatever the interval, so they get the
    # longer time too.
    durable = CONFIG_BY_KEY[key].durable
    seconds = budget.sync_seconds if (durable or op in BATCH_OPS) else budget.fast_seconds
    directory = tempfile.mkdtemp(prefix=f"{key}-", dir=work_dir)
    try:
        # Created once before the workers start, so that they do not race
        # to create the files and the schema.
        CONFIG_BY_KEY[key].factory(directory).close()
        if op.startswith("dequeue"):
            producer = "enqueue" if op == "dequeue+ack" else "enqueue_batch"
            # Twice what the producer moved in the same time: consuming is
            # rarely faster than that here, and a queue that runs dry anyway
            # is flagged. Slow systems get a small prefill, which keeps the
            # untimed part of the run short.
            want = int(rates.get(producer, 0) * seconds * 2) + 2 * procs
            prefill(key, size, min(cap, want), directory)
        cell = run_workers(key, op, size, procs, seconds, cap, directory)
    except Exception as exc:
        cell = Cell(error=f"{type(exc).__name__}: {exc}".splitlines()[0][:200])
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    if cell.rate is not None:
        rates[op] = cell.rate
    return cell


def measure_interleaved(group: list, op: str, size: int, budget: Budget, work_dir: str,
                        floors: "Floors", rates: dict) -> tuple[dict, list, list]:
    """Single durable calls of one process, every configuration of `group`
    in one process, in short slices taken in turn (with a slice of the fsync
    floor after each round, for 100 B). Every durable call waits for the
    disk, and the sync latency of a shared virtual disk moves several-fold
    from one second to the next: cells measured one after the other compare
    the disk's moods more than the queues. Slices in turn expose all of them
    to the same moods. Returns ({key: Cell}, floor rates, paired ratios of
    ours to the floor, one per round)."""
    cap = budget.max_small if size <= 1024 else budget.max_large
    total = budget.sync_seconds * 2
    rounds = max(2, round(total / budget.slice_seconds))
    dirs = {c.key: tempfile.mkdtemp(prefix=f"{c.key}-", dir=work_dir) for c in group}
    adapters: dict = {}
    cells: dict = {}
    floor_rates: list = []
    ratios: list = []
    try:
        for c in group:
            try:
                adapters[c.key] = c.factory(dirs[c.key])
                if op == "dequeue+ack":
                    want = min(cap, int(rates[c.key].get("enqueue", 0) * total * 2) + 10)
                    body = make_body(size, adapters[c.key].text)
                    while want > 0:
                        want -= adapters[c.key].enqueue_batch([body] * min(BATCH, want))
            except Exception as exc:
                cells[c.key] = Cell(error=f"{type(exc).__name__}: {exc}".splitlines()[0][:200])
                adapters.pop(c.key, None)
        bodies = {k: make_body(size, a.text) for k, a in adapters.items()}
        moved = collections.Counter()
        spent = collections.Counter()
        dry = set()
        for r in range(rounds):
            keys = [c.key for c in group if c.key in adapters and c.key not in dry]
            keys = keys[r % len(keys):] + keys[:r % len(keys)] if keys else keys
            this_round = {}
            for key in keys:
                a, body = adapters[key], bodies[key]
                n = 0
                start = time.perf_counter()
                deadline = start + budget.slice_seconds
                try:
                    while True:
                        if op == "enqueue":
                            a.enqueue(body)
                        elif a.dequeue_ack() is None:
                            dry.add(key)
                            break
                        n += 1
                        if time.perf_counter() >= deadline:
                            break
                except Exception as exc:
                    cells[key] = Cell(error=f"{type(exc).__name__}: {exc}".splitlines()[0][:200])
                    dry.add(key)
                    continue
                elapsed = time.perf_counter() - start
                moved[key] += n
                spent[key] += elapsed
                this_round[key] = n / elapsed if elapsed > 0 else 0.0
            if size == 100:
                f = floors.measure("fsync", 1, budget.slice_seconds, work_dir)
                ours = next((c.key for c in group if c.ours), None)
                if f:
                    floor_rates.append(f)
                    if this_round.get(ours):
                        ratios.append(this_round[ours] / f)
        for c in group:
            if c.key not in cells and spent[c.key] > 0:
                cells[c.key] = Cell(rate=moved[c.key] / spent[c.key], dry=c.key in dry)
                rates[c.key][op] = cells[c.key].rate
    finally:
        for a in adapters.values():
            try:
                a.close()
            except Exception:
                pass
        for d in dirs.values():
            shutil.rmtree(d, ignore_errors=True)
    return cells, floor_rates, ratios


# ----------------------------------------------------------------------------
# Floors, in C.

FLOOR_C = r"""
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* floor MODE DIR SECONDS START. MODE:
     fsync      write of a frame to an O_APPEND file + fsync
     lock       flock EX, stat of the log path, write of a frame, flock UN
     overwrite  pwrite of a frame into a file written and synced beforehand
                + fdatasync: the file's size and blocks never change
   START is a CLOCK_MONOTONIC time at which all copies begin together.
   Prints: count start end. */
int main(int argc, char **argv) {
    if (argc != 5) { fprintf(stderr, "usage: floor fsync|lock|overwrite DIR SECONDS START\n"); return 2; }
    int lockmode = strcmp(argv[1], "lock") == 0;
    int overwrite = strcmp(argv[1], "overwrite") == 0;
    char logpath[4096], lockpath[4096];
    if (overwrite)
        snprintf(logpath, sizeof logpath, "%s/floor-%ld.log", argv[2], (long)getpid());
    else
        snprintf(logpath, sizeof logpath, "%s/floor.log", argv[2]);
    snprintf(lockpath, sizeof lockpath, "%s/.floor_lock", argv[2]);
    double seconds = atof(argv[3]), start_at = atof(argv[4]);
    int fd = open(logpath, O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? 0 : O_APPEND), 0644);
    int lockfd = open(lockpath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || lockfd < 0) { perror("open"); return 1; }
    char frame[FRAME];
    memset(frame, 'r', sizeof frame);
    const off_t span = 16 << 20;
    if (overwrite) {
        static char zeros[1 << 20];
        for (off_t done = 0; done < span; done += (off_t)sizeof zeros)
            if (write(fd, zeros, sizeof zeros) != (ssize_t)sizeof zeros) { perror("fill"); return 1; }
        if (fsync(fd) != 0) { perror("fsync"); return 1; }
    }
    struct timespec until = { (time_t)start_at, (long)((start_at - (double)(time_t)start_at) * 1e9) };
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
    double t0 = now(), deadline = t0 + seconds, t = t0;
    long long n = 0;
    off_t offset = 0;
    struct stat st;
    do {
        if (lockmode) {
            for (int i = 0; i < 64; i++) {
                if (flock(lockfd, LOCK_EX) != 0 || stat(logpath, &st) != 0 ||
                    write(fd, frame, sizeof frame) != (ssize_t)sizeof frame ||
                    flock(lockfd, LOCK_UN) != 0) { perror("lock loop"); return 1; }
            }
            n += 64;
        } else if (overwrite) {
            if (pwrite(fd, frame, sizeof frame, offset) != (ssize_t)sizeof frame || fdatasync(fd) != 0) {
                perror("overwrite loop");
                return 1;
            }
            offset = (offset + (off_t)sizeof frame) % (span - (off_t)sizeof frame);
            n += 1;
        } else {
            if (write(fd, frame, sizeof frame) != (ssize_t)sizeof frame || fsync(fd) != 0) {
                perror("fsync loop");
                return 1;
            }
            n += 1;
        }
        t = now();
    } while (t < deadline);
    printf("%lld %.9f %.9f\n", n, t0, t);
    return 0;
}
"""


class Floors:
    def __init__(self, work_dir: str) -> None:
        self.binary: Optional[str] = None
        self.note = ""
        cc = shutil.which("cc") or shutil.which("gcc")
        if cc is None:
            self.note = "no C compiler (cc): floors skipped"
            return
        src = os.path.join(work_dir, "floor.c")
        with open(src, "w") as f:
            f.write(FLOOR_C)
        binary = os.path.join(work_dir, "floor")
        done = subprocess.run([cc, "-O2", f"-DFRAME={FLOOR_RECORD_LEN}", "-o", binary, src],
                              capture_output=True, text=True)
        if done.returncode != 0:
            self.note = f"cc failed, floors skipped: {done.stderr.strip()[:200]}"
            return
        self.binary = binary
        self.note = f"C program compiled at run time with {cc} -O2"

    def measure(self, mode: str, procs: int, seconds: float, work_dir: str) -> Optional[float]:
        if self.binary is None:
            return None
        directory = tempfile.mkdtemp(prefix=f"floor-{mode}-", dir=work_dir)
        try:
            start = time.monotonic() + 0.05 + 0.02 * procs
            runs = [subprocess.Popen([self.binary, mode, directory, str(seconds), f"{start:.6f}"],
                                     stdout=subprocess.PIPE, text=True) for _ in range(procs)]
            outs = [r.communicate()[0].split() for r in runs]
            if any(r.returncode != 0 for r in runs):
                return None
            total = sum(int(o[0]) for o in outs)
            return total / (max(float(o[2]) for o in outs) - min(float(o[1]) for o in outs))
        finally:
            shutil.rmtree(directory, ignore_errors=True)


# ----------------------------------------------------------------------------
# strace: what each configuration's calls really do.

SYNC_CALLS = ("fsync", "fdatasync", "sync_file_range", "syncfs", "sync")
# Batches under strace move 100 messages: enough to tell one sync per call
# from one per message, and short for the systems that loop.
STRACE_BATCH = 100
PHASES = ("enqueue", "enqueue_batch", "dequeue+ack", "dequeue_batch+ack_batch")


def mark(name: str) -> None:
    # A stat of a path that cannot exist: a line in the trace that says
    # where a phase begins and ends.
    try:
        os.stat(f"/nonexistent-tollivane-compare-mark/{name}")
    except OSError:
        pass


def strace_child(key: str, directory: str, ops: int) -> None:
    """Runs under strace: one warm-up call, then `ops` calls (or one batch)
    of each operation between two marks."""
    adapter = CONFIG_BY_KEY[key].factory(directory)
    body = make_body(100, adapter.text)
    adapter.enqueue(body)
    mark("enqueue-begin")
    for _ in range(ops):
        adapter.enqueue(body)
    mark("enqueue-end")
    mark("enqueue_batch-begin")
    adapter.enqueue_batch([body] * STRACE_BATCH)
    mark("enqueue_batch-end")
    adapter.dequeue_ack()
    mark("dequeue+ack-begin")
    for _ in range(ops):
        adapter.dequeue_ack()
    mark("dequeue+ack-end")
    mark("dequeue_batch+ack_batch-begin")
    got = adapter.dequeue_ack_batch(STRACE_BATCH)
    mark("dequeue_batch+ack_batch-end")
    adapter.close()
    if len(got) != STRACE_BATCH:
        raise SystemExit(f"strace child: dequeued {len(got)} of {STRACE_BATCH}")


CALL = re.compile(r"^\d+\s+(\w+)\((.*)")


def strace_config(key: str, ops: int, work_dir: str) -> dict:
    directory = tempfile.mkdtemp(prefix=f"strace-{key}-", dir=work_dir)
    trace = os.path.join(work_dir, f"{key}.trace")
    try:
        done = subprocess.run(
            ["strace", "-f", "-qq", "-o", trace, sys.executable, os.path.abspath(__file__),
             "--strace-child", key, "--dir", directory, "--strace-ops", str(ops)],
            capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1][:200]}
        with open(trace) as f:
            lines = f.read().splitlines()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
        if os.path.exists(trace):
            os.unlink(trace)
    result = {}
    for phase in PHASES:
        begin = next(i for i, l in enumerate(lines) if f"mark/{phase}-begin" in l)
        end = next(i for i, l in enumerate(lines) if f"mark/{phase}-end" in l)
        calls: collections.Counter = collections.Counter()
        for line in lines[begin + 1:end]:
            m = CALL.match(line)
            if not m:
                continue  # "<... resumed>" halves of calls counted already
            name = m.group(1)
            if name == "msync":
                flags = "MS_SYNC" if "MS_SYNC" in m.group(2) else "MS_ASYNC"
                name = f"msync({flags})"
            calls[name] += 1
        count = 1 if phase in BATCH_OPS else ops
        syncs = sum(v for k, v in calls.items() if k in SYNC_CALLS or k == "msync(MS_SYNC)")
        result[phase] = {
            "syncs": syncs / count,
            "sync_detail": {k: v / count for k, v in sorted(calls.items())
                            if k in SYNC_CALLS or k.startswith("msync")},
            "syscalls": sum(calls.values()) / count,
        }
    return result


# ----------------------------------------------------------------------------
# Output.


def fmt_rate(rate: Optional[float]) -> str:
    if rate is None:
        return "-"
    return f"{rate:,.0f}" if rate >= 100 else f"{rate:,.1f}"


def fmt_ratio(r: Optional[float]) -> str:
    if r is None:
        return ""
    return f"{r:.2f}" if r < 10 else f"{r:.1f}"


def size_label(size: int) -> str:
    return "100 B" if size == 100 else f"{size // 1024} KiB"


def table(headers: list[str], rows: list[list[str]], left: int = 3) -> str:
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: list[str]) -> str:
        return "  ".join(c.ljust(w) if i < left else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(headers), "  ".join("-" * w for w in widths)] + [line(r) for r in rows])


def markdown(headers: list[str], rows: list[list[str]], left: int = 3) -> str:
    align = ["---" if i < left else "---:" for i in range(len(headers))]
    out = ["| " + " | ".join(headers) + " |", "| " + " | ".join(align) + " |"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


@dataclass
class Results:
    medians: dict = field(default_factory=dict)  # (key, op, size, procs) -> rate
    samples: dict = field(default_factory=dict)
    errors: dict = field(default_factory=dict)  # key -> set of messages
    notes: dict = field(default_factory=dict)  # (key, op, size, procs) -> note
    floors: dict = field(default_factory=dict)  # (mode, procs) -> median rate
    floor_ratios: dict = field(default_factory=dict)  # (key, op, procs) -> median ratio


def group_rows(res: Results, durable: bool, configs: list[Config]) -> tuple[list[str], list[list[str]]]:
    ours = next(c for c in configs if c.ours and c.durable == durable)
    peers = [c for c in configs if not c.ours and c.durable == durable]
    floor_mode = "fsync" if durable else "lock"
    floor_name = "floor write+fsync" if durable else "floor C syscalls"
    headers = ["workload", "body", "procs", f"{ours.label} ({ours.setting})"]
    headers += [p.label for p in peers] + [floor_name]
    rows = []
    for procs in PROCS:
        for op in OPS:
            for size in SIZES:
                mine = res.medians.get((ours.key, op, size, procs))
                row = [op, size_label(size), str(procs),
                       fmt_rate(mine) + res.notes.get((ours.key, op, size, procs), "")]
                for p in peers:
                    theirs = res.medians.get((p.key, op, size, procs))
                    note = res.notes.get((p.key, op, size, procs), "")
                    if theirs is None:
                        failed = (p.key, op, size, procs) in res.errors.get(p.key, {})
                        row.append("failed" if failed else "-")
                        continue
                    ratio = mine / theirs if mine else None
                    row.append(f"{fmt_rate(theirs)} (x{fmt_ratio(ratio)}){note}")
                floor = res.floors.get((floor_mode, procs))
                if op in ("enqueue", "dequeue+ack") and size == 100 and floor:
                    r = res.floor_ratios.get((ours.key, op, procs))
                    row.append(f"{fmt_rate(floor)} ({fmt_ratio(r)})")
                else:
                    row.append("")
                rows.append(row)
    return headers, rows


PEER_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#7f7f7f")
OP_LABELS = {"enqueue": "enqueue", "dequeue+ack": "deq+ack",
             "enqueue_batch": "enqueue\nbatch", "dequeue_batch+ack_batch": "deq+ack\nbatch"}


def draw_chart(res: Results, configs: list[Config], path: str) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib not installed: no chart"
    fig, axes = plt.subplots(2, 2, figsize=(16, 10), sharey=True)
    workloads = [(op, size) for op in OPS for size in SIZES]
    values = [v for v in res.medians.values() if v]
    if not values:
        return "no figures: no chart"
    for row, durable in enumerate((True, False)):
        group = [c for c in configs if c.durable == durable]
        peers = iter(PEER_COLOURS)
        colours = {c.key: "#d62728" if c.ours else next(peers) for c in group}
        for col, procs in enumerate(PROCS):
            ax = axes[row][col]
            width = 0.8 / len(group)
            for i, c in enumerate(group):
                xs, ys = [], []
                for j, (op, size) in enumerate(workloads):
                    v = res.medians.get((c.key, op, size, procs))
                    if v:
                        xs.append(j - 0.4 + width * (i + 0.5))
                        ys.append(v)
                label = f"{c.label} ({c.setting})" if c.ours else f"{c.label}: {c.setting}"
                ax.bar(xs, ys, width, label=label, color=colours[c.key],
                       edgecolor="black", linewidth=0.3)
            floor = res.floors.get(("fsync" if durable else "lock", procs))
            if floor:
                # Only over the workloads it bounds: single calls, 100 B.
                for j, (op, size) in enumerate(workloads):
                    if size == 100 and op in ("enqueue", "dequeue+ack"):
                        ax.hlines(floor, j - 0.45, j + 0.45, colors="black", linestyles="dashed",
                                  label=None if j else ("floor: write+fsync of 133 B (C)" if durable
                                                        else "floor: flock+stat+write+unlock (C)"))
            ax.set_yscale("log")
            ax.set_ylim(min(values) / 2, max(values) * 60)
            ax.set_xticks(range(len(workloads)))
            ax.set_xticklabels([f"{OP_LABELS[op]}\n{size_label(size)}" for op, size in workloads],
                               fontsize=8)
            for j in range(1, len(workloads) // 2):
                ax.axvline(2 * j - 0.5, color="grey", linewidth=0.5, alpha=0.5)
            ax.set_title(("durable: on disk when the call returns" if durable
                          else "relaxed: handed to the OS, survives a killed process")
                         + f"; {procs} process{'es' if procs > 1 else ''}", fontsize=10)
            ax.grid(axis="y", which="major", alpha=0.4)
            if col == 0:
                ax.set_ylabel("messages/s (log scale)")
            ax.legend(fontsize=7, loc="upper left", ncol=2)
    fig.suptitle("tollivane and other embedded queues for Python, messages/s (medians; "
                 f"a batch moves {BATCH} messages per call)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return f"chart written to {path}"


# ----------------------------------------------------------------------------


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one short run (well under a minute)")
    parser.add_argument("--runs", type=int, help="runs per figure (default 3, 1 with --quick)")
    parser.add_argument("--dir", help="where the temporary queues go (default: the system temp dir)")
    parser.add_argument("--chart", help="write the chart (PNG) here (default: none with --quick, "
                        "bench/compare.png otherwise)")
    parser.add_argument("--markdown", help="also write the result tables as Markdown to this file")
    parser.add_argument("--only", help="comma-separated configuration keys to run "
                        f"({', '.join(c.key for c in CONFIGS)})")
    parser.add_argument("--no-strace", action="store_true", help="skip the strace check")
    parser.add_argument("--save", help="write the figures as JSON to this file")
    parser.add_argument("--replot", help="only draw the chart (--chart) from a file of --save")
    parser.add_argument("--strace-child", help=argparse.SUPPRESS)
    parser.add_argument("--strace-ops", type=int, default=20, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.strace_child:
        strace_child(args.strace_child, args.dir, args.strace_ops)
        return 0

    if args.replot:
        with open(args.replot) as f:
            saved = json.load(f)
        res = Results(medians={tuple(k): v for k, v in saved["medians"]},
                      floors={tuple(k): v for k, v in saved["floors"]})
        keys = set(saved["configs"])
        print(draw_chart(res, [c for c in CONFIGS if c.key in keys], args.chart or "compare.png"))
        return 0

    budget = QUICK if args.quick else FULL
    runs = args.runs or budget.runs
    chart = args.chart if args.chart is not None else (
        None if args.quick else os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare.png"))
    configs, skipped = available_configs()
    if args.only:
        wanted = set(args.only.split(","))
        configs = [c for c in configs if c.key in wanted or c.ours]
    started = time.perf_counter()
    work_dir = tempfile.mkdtemp(prefix="tollivane-compare-", dir=args.dir)
    res = Results()
    strace_results: dict[str, dict] = {}
    try:
        floors = Floors(work_dir)
        samples: dict = collections.defaultdict(list)
        floor_samples: dict = collections.defaultdict(list)
        ratio_samples: dict = collections.defaultdict(list)
        dup_counts: dict = collections.defaultdict(list)
        dry_counts: dict = collections.defaultdict(list)
        for run in range(runs):
            # Rotate the order, so that no configuration always runs right
            # after the same neighbour (or first, on a cold cache).
            order = configs[run % len(configs):] + configs[:run % len(configs)]
            for procs in PROCS:
                for size in SIZES:
                    if args.quick and procs > 1 and size > 1024:
                        continue  # keeps --quick short; the full run has it
                    print(f"run {run + 1}/{runs}: {procs} process(es), {size_label(size)} ...",
                          file=sys.stderr, flush=True)
                    if procs == 1 and size == 100:
                        v = floors.measure("overwrite", 1, budget.sync_seconds, work_dir)
                        if v:
                            floor_samples[("overwrite", 1)].append(v)
                    rates: dict = collections.defaultdict(dict)
                    # One operation at a time over all configurations, so
                    # that the figures compared with each other are measured
                    # within seconds of each other: fsync latency on a shared
                    # virtual disk moves several-fold within a minute.
                    for op in OPS:
                        cells: dict = {}
                        if procs == 1 and op in ("enqueue", "dequeue+ack"):
                            group = [c for c in order if c.durable]
                            cells, fl, ratios = measure_interleaved(group, op, size, budget, work_dir,
                                                                    floors, rates)
                            floor_samples[("fsync", 1)].extend(fl)
                            if ratios:
                                ours = next(c.key for c in group if c.ours)
                                ratio_samples[(ours, op, 1)].append(statistics.median(ratios))
                        for c in order:
                            floor = None
                            if c.key in cells:
                                cell = cells[c.key]
                            else:
                                if c.ours and size == 100 and op in ("enqueue", "dequeue+ack"):
                                    # The floor right before the figure it is
                                    # compared with; the ratio is taken within
                                    # the pair.
                                    fm = "fsync" if c.durable else "lock"
                                    floor = floors.measure(fm, procs, budget.sync_seconds if c.durable
                                                           else budget.fast_seconds, work_dir)
                                    if floor:
                                        floor_samples[(fm, procs)].append(floor)
                                cell = measure_cell(c.key, op, size, procs, budget, work_dir, rates[c.key])
                            k = (c.key, op, size, procs)
                            if cell.error:
                                res.errors.setdefault(c.key, {})[k] = cell.error
                                continue
                            samples[k].append(cell.rate)
                            dup_counts[k].append(cell.duplicates)
                            dry_counts[k].append(cell.dry)
                            if floor:
                                ratio_samples[(c.key, op, procs)].append(cell.rate / floor)
        res.medians = {k: statistics.median(v) for k, v in samples.items()}
        for k in samples:
            note = ""
            dups = [d for d in dup_counts[k] if d]
            if dups:
                note += f" [delivered twice: {max(dups)}]" if len(dup_counts[k]) == 1 else \
                    f" [delivered twice in {len(dups)}/{len(dup_counts[k])} runs, up to {max(dups)}]"
            dry_runs = sum(dry_counts[k])
            if dry_runs:
                note += " [ran dry]" if len(dry_counts[k]) == 1 else \
                    f" [ran dry {dry_runs}/{len(dry_counts[k])}]"
            if note:
                res.notes[k] = note
        res.floors = {k: statistics.median(v) for k, v in floor_samples.items()}
        res.floor_ratios = {k: statistics.median(v) for k, v in ratio_samples.items()}
        res.samples = samples
        if not args.no_strace:
            if shutil.which("strace") is None:
                strace_results = {"-": {"error": "strace not installed"}}
            else:
                print("strace check ...", file=sys.stderr, flush=True)
                for c in configs:
                    strace_results[c.key] = strace_config(c.key, budget.strace_ops, work_dir)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    total = time.perf_counter() - started

    out: list[str] = []
    md: list[str] = []
    out.append(f"tollivane and other embedded queues, messages/s, median of {runs} run(s); "
               f"{'quick' if args.quick else 'full'} budget; {os.cpu_count()} cores; "
               f"Python {sys.version.split()[0]}")
    out.append(versions())
    out.append(f"queues under {os.path.dirname(work_dir)}; batches move {BATCH} messages per call; "
               "tollivane with auto_compact_bytes=0")
    out.append("a peer cell reads: peer messages/s (x tollivane / peer); a floor cell: "
               "floor ops/s (tollivane / floor, paired within each run)")
    for durable in (True, False):
        headers, rows = group_rows(res, durable, configs)
        title = ("DURABLE: on disk when the call returns (fsync/fdatasync per call or batch)" if durable
                 else "RELAXED: handed to the OS when the call returns (survives a killed process, "
                 "not a power loss)")
        out += ["", title, table(headers, rows)]
        md += [f"**{title}**", "", markdown(headers, rows), ""]
    out.append("")
    out.append("1 process, durable enqueue and dequeue+ack: all durable configurations in one process, "
               "in 0.1 s slices taken in turn")
    out.append(f"floors: {floors.note}; 133-byte record on an O_APPEND file; with 4 processes, four "
               "copies run at once on one file (fsync floor: no lock between them)")
    floor_names = {"fsync": "write + fsync, O_APPEND",
                   "lock": "flock EX + stat + write + flock UN",
                   "overwrite": "pwrite in place + fdatasync (not a floor: the file never grows)"}
    for (mode, procs), v in sorted(res.floors.items()):
        got = floor_samples[(mode, procs)]
        runs_text = (", ".join(fmt_rate(x) for x in got) if len(got) <= 6
                     else f"{len(got)} slices, {fmt_rate(min(got))} to {fmt_rate(max(got))}")
        out.append(f"  {floor_names[mode]:36} {procs} proc: {fmt_rate(v):>10}/s  (runs: {runs_text})")
    for k, rs in sorted(ratio_samples.items()):
        out.append(f"  {CONFIG_BY_KEY[k[0]].setting} {k[1]}, {k[2]} proc, / floor: "
                   + ", ".join(f"{r:.2f}" for r in rs))

    if strace_results:
        out.append("")
        out.append(f"strace -f, per operation (batches: per call of {STRACE_BATCH} messages): sync calls "
                   "(fsync, fdatasync, msync with MS_SYNC) / all system calls")
        headers = ["configuration", "setting", "group"] + list(PHASES) + ["sync-class calls seen"]
        rows = []
        for c in configs:
            r = strace_results.get(c.key, {})
            if "error" in r:
                rows.append([c.label, c.setting, "", "error: " + r["error"], "", "", "", ""])
                continue
            detail = collections.Counter()
            cells = []
            for p in PHASES:
                cells.append(f"{r[p]['syncs']:g} / {r[p]['syscalls']:.1f}")
                for name, v in r[p]["sync_detail"].items():
                    detail[name] += 1 if v else 0
            seen = ", ".join(sorted(detail)) or "none"
            rows.append([c.label + (" (ours)" if c.ours else ""), c.setting,
                         "durable" if c.durable else "relaxed"] + cells + [seen])
        out.append(table(headers, rows))
        md += ["**System calls per operation (strace)**: sync calls / all calls", "",
               markdown(headers, rows), ""]
        for c in configs:
            r = strace_results.get(c.key, {})
            if "error" in r:
                continue
            expect = 1 if c.durable else 0
            single = (r["enqueue"]["syncs"], r["dequeue+ack"]["syncs"])
            if (single[0] >= expect and single[1] >= 2 * expect) if c.durable else max(single) == 0:
                continue
            out.append(f"  NOTE: {c.label} ({c.setting}) is in the {'durable' if c.durable else 'relaxed'} "
                       f"group but strace shows {single[0]:g} sync(s) per enqueue, {single[1]:g} per dequeue+ack")

    out.append("")
    out.append("batches:")
    for c in configs:
        out.append(f"  {c.label} ({c.setting}): {BATCH_NOTES.get(c.key, '')}")
    for key, reason in skipped.items():
        out.append(f"SKIPPED {CONFIG_BY_KEY[key].label} ({CONFIG_BY_KEY[key].setting}): {reason}")
    for key, errs in res.errors.items():
        if not any(k[0] == key for k in res.medians):
            first = next(iter(errs.values()))
            out.append(f"SKIPPED {CONFIG_BY_KEY[key].label} ({CONFIG_BY_KEY[key].setting}): "
                       f"failed to run in every measurement; first error: {first}")
            continue
        for (_, op, size, procs), msg in sorted(errs.items()):
            out.append(f"FAILED {CONFIG_BY_KEY[key].label} ({CONFIG_BY_KEY[key].setting}) "
                       f"{op} {size_label(size)} {procs} proc: {msg}")
    if chart:
        out.append(draw_chart(res, configs, chart))
    out.append(f"total time {total:.0f} s")
    print("\n".join(out))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("\n".join(md))
    if args.save:
        with open(args.save, "w") as f:
            json.dump({"configs": [c.key for c in configs],
                       "medians": [[list(k), v] for k, v in res.medians.items()],
                       "floors": [[list(k), v] for k, v in res.floors.items()],
                       "samples": [[list(k), v] for k, v in res.samples.items()],
                       "strace": strace_results}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
