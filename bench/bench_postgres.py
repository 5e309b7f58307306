#!/usr/bin/env python3
"""Throughput of the queue in PostgreSQL beside the directory queue, in
messages per second.

Single process, 100-byte bodies: enqueue, dequeue+ack, enqueue_batch and
dequeue_batch+ack_batch (100 messages per call), for a directory queue and a
PostgresQueue, each durable (sync_interval_ms=0: every call returns after
its fsync or its synchronous commit) and relaxed (the directory never syncs
on its own; the server commits with synchronous_commit off). Then how
dequeue+ack scales with 1, 2, 4 and 8 consumer processes on one queue.

Without --conninfo it starts a throw-away server of its own (initdb in a
temporary directory, Unix socket only, default settings with fsync on) and
removes it at the end. Every figure is the median of --runs runs. This
prints figures only; it checks nothing.

    python bench/bench_postgres.py            # about two minutes
    python bench/bench_postgres.py --quick    # a few seconds
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Any, Callable

import tollivane
from tollivane_postgres import PostgresQueue

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from postgres_server import PostgresServer  # noqa: E402

BODY = b"x" * 100
BATCH = 100
OPS = ("enqueue", "dequeue+ack", "enqueue_batch", "dequeue_batch+ack_batch")
CONSUMERS = (1, 2, 4, 8)
SPAWN = multiprocessing.get_context("spawn")


@dataclass(frozen=True)
class Backend:
    label: str
    postgres: bool
    sync_interval_ms: int


BACKENDS = (
    Backend("directory, durable", False, 0),
    Backend("postgres, durable", True, 0),
    Backend("directory, relaxed", False, 10**9),
    Backend("postgres, relaxed", True, 1000),
)


class Places:
    """Where fresh queues come from: new directories under `work_dir`, new
    names in the database `conninfo` reaches."""

    def __init__(self, work_dir: str, conninfo: str) -> None:
        self.work_dir, self.conninfo, self.count = work_dir, conninfo, 0

    def fresh(self, backend: Backend) -> tuple[str, str]:
        self.count += 1
        if backend.postgres:
            return (self.conninfo, f"bench_{os.getpid()}_{self.count}")
        return (os.path.join(self.work_dir, f"q{self.count}"), "")


def open_queue(backend: Backend, place: tuple[str, str]) -> Any:
    if backend.postgres:
        return PostgresQueue(place[0], place[1], sync_interval_ms=backend.sync_interval_ms)
    return tollivane.TollivaneCore(place[0], sync_interval_ms=backend.sync_interval_ms)


def timed(call: Callable[[], int], seconds: float) -> tuple[int, float]:
    """Calls `call` (which returns how many messages it moved) for about
    `seconds`, stopping early when it moves nothing. Returns (messages,
    elapsed seconds)."""
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        moved = call()
        if moved == 0:
            break
        done += moved
    return done, time.perf_counter() - start


def rate(call: Callable[[], int], seconds: float) -> float:
    done, elapsed = timed(call, seconds)
    return done / elapsed


def fill(queue: Any, count: int) -> None:
    for _ in range(0, count, 1000):
        queue.enqueue_batch([BODY] * 1000)


def put_one(queue: Any) -> int:
    queue.enqueue(BODY)
    return 1


def take_one(queue: Any) -> int:
    delivery = queue.dequeue()
    if delivery is None:
        return 0
    queue.ack(delivery[0])
    return 1


def take_batch(queue: Any) -> int:
    deliveries = queue.dequeue_batch(BATCH)
    if deliveries:
        queue.ack_batch([d[0] for d in deliveries])
    return len(deliveries)


def measure(backend: Backend, op: str, places: Places, seconds: float, prefill: int) -> float:
    queue = open_queue(backend, places.fresh(backend))
    try:
        if op.startswith("dequeue"):
            fill(queue, prefill)
        calls = {
            "enqueue": lambda: put_one(queue),
            "enqueue_batch": lambda: len(queue.enqueue_batch([BODY] * BATCH)),
            "dequeue+ack": lambda: take_one(queue),
            "dequeue_batch+ack_batch": lambda: take_batch(queue),
        }
        return rate(calls[op], seconds)
    finally:
        queue.purge()
        if backend.postgres:
            queue.close()


def consumer(backend: Backend, place: tuple[str, str], barrier: Any, seconds: float, results: Any) -> None:
    queue = open_queue(backend, place)
    barrier.wait(60)
    results.put(timed(lambda: take_one(queue), seconds)[0])


def scaling(backend: Backend, places: Places, consumers: int, seconds: float, prefill: int) -> float:
    place = places.fresh(backend)
    queue = open_queue(backend, place)
    fill(queue, prefill)
    barrier, results = SPAWN.Barrier(consumers + 1), SPAWN.Queue()
    processes = [SPAWN.Process(target=consumer, args=(backend, place, barrier, seconds, results))
                 for _ in range(consumers)]
    for process in processes:
        process.start()
    barrier.wait(60)
    started = time.perf_counter()
    moved = sum(results.get(timeout=seconds + 120) for _ in processes)
    elapsed = time.perf_counter() - started
    for process in processes:
        process.join(60)
    queue.purge()
    return moved / elapsed


def table(headers: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(row[i]) for row in [headers] + rows) for i in range(len(headers))]
    for row in [headers] + rows:
        print("  ".join(cell.ljust(width) if i == 0 else cell.rjust(width)
                        for i, (cell, width) in enumerate(zip(row, widths))))
    print()


def print_medians(title: str, columns: tuple[Any, ...], runs: int, measure_one: Callable[[Backend, Any], float]) -> None:
    """A table of every backend by `columns`, each cell the median of `runs`
    measurements. Runs are interleaved over the cases, so that noise from
    other work on the machine spreads over them instead of hitting one."""
    results: dict[tuple[str, Any], list[float]] = {}
    for _ in range(runs):
        for backend in BACKENDS:
            for column in columns:
                results.setdefault((backend.label, column), []).append(measure_one(backend, column))
    table([title] + [str(column) for column in columns],
          [[b.label] + [f"{statistics.median(results[(b.label, c)]):,.0f}" for c in columns] for b in BACKENDS])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conninfo", help="a server to use instead of a throw-away one")
    parser.add_argument("--dir", help="where to put the directory queues (default: the temp dir)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0, help="length of one measurement")
    parser.add_argument("--quick", action="store_true", help="one short run of everything")
    args = parser.parse_args()
    runs, seconds = (1, 0.3) if args.quick else (args.runs, args.seconds)
    prefill = 4000 if args.quick else 40000

    server = None
    if args.conninfo is None:
        server = PostgresServer(durable=True)
        server.start()
    work_dir = tempfile.mkdtemp(prefix="tollivane-bench-", dir=args.dir)
    try:
        places = Places(work_dir, args.conninfo or server.conninfo)  # type: ignore[union-attr]
        print(f"messages per second, 100-byte bodies, batches of {BATCH}, median of {runs} runs")
        print(f"os.cpu_count()={os.cpu_count()}\n")
        measure_op = lambda backend, op: measure(backend, op, places, seconds, prefill)  # noqa: E731
        print_medians("single process", OPS, runs, measure_op)
        measure_scaling = lambda backend, count: scaling(backend, places, count, seconds, prefill)  # noqa: E731
        print_medians("dequeue+ack, consumer processes", CONSUMERS, runs, measure_scaling)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
        if server is not None:
            server.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
