#!/usr/bin/env python3
"""Single-process throughput of tollivane, in messages per second.

For each queue kind (":memory:", a persistent queue that fsyncs every
single-record operation, and a persistent queue with a sync interval so large
that it never syncs on its own) and each body size (100 B and 64 KiB) it times
four operations: enqueue, dequeue+ack, enqueue_batch and
dequeue_batch+ack_batch (1000 messages per call). It also times the durable
floor of this disk: os.write of one 133-byte record (the frame of a 100-byte
body) followed by os.fsync, on an O_APPEND file in the same directory.

Every figure is the median of several runs; runs are interleaved over all the
cases, so that noise from other work on the machine spreads over the cases
instead of hitting one of them. Each measurement runs for a fixed time or a
fixed number of messages, whichever ends first. This prints figures only; it
checks nothing.

    python bench/bench_single_process.py            # about a minute
    python bench/bench_single_process.py --quick    # a few seconds
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, Optional

import tollivane

BATCH = 1000
LARGE_INTERVAL_MS = 10**9
# The frame of an enqueue of a 100-byte body: 12-byte frame header, 21-byte
# record header, body. The floor writes records of exactly that size.
FLOOR_RECORD_LEN = 133
SIZES = (100, 64 * 1024)
OPS = ("enqueue", "dequeue+ack", "enqueue_batch", "dequeue_batch+ack_batch")


@dataclass(frozen=True)
class Mode:
    label: str
    persistent: bool
    sync_interval_ms: Optional[int]


MODES = (
    Mode(":memory:", False, None),
    Mode("dir, sync_interval_ms=0", True, 0),
    Mode("dir, sync_interval_ms=10**9", True, LARGE_INTERVAL_MS),
)


@dataclass(frozen=True)
class Budget:
    """How long one measurement may run, and how many messages it may move."""

    fast_seconds: float  # cases that never wait for the disk
    fsync_seconds: float  # cases where each call waits for an fsync
    max_small: int  # messages per measurement, 100-byte bodies
    max_large: int  # messages per measurement, 64 KiB bodies (disk space!)


DEFAULT_BUDGET = Budget(fast_seconds=0.3, fsync_seconds=1.0, max_small=300_000, max_large=3_000)
QUICK_BUDGET = Budget(fast_seconds=0.05, fsync_seconds=0.2, max_small=20_000, max_large=300)


def timed(call: Callable[[], int], seconds: float, max_messages: int) -> tuple[int, float]:
    """Calls `call` (which returns how many messages it moved) until the time
    or the message budget runs out, or it moves nothing. Returns
    (messages, elapsed seconds)."""
    done = 0
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        moved = call()
        done += moved
        now = time.perf_counter()
        if moved == 0 or done >= max_messages or now >= deadline:
            return done, now - start


def paired_floor(directory: str, seconds: float, slice_seconds: float = 0.1) -> tuple[float, float]:
    """Returns (floor writes/s, durable enqueues/s), measured in alternating
    short slices. The floor is write+fsync of one 133-byte record per
    iteration: the best a log that makes every single append durable can do
    on this disk. fsync latency on a shared virtual disk swings several-fold
    from one second to the next, so two rates measured one after the other
    can differ by more than the thing being compared; alternating slices
    expose both to the same conditions."""
    path = os.path.join(directory, "floor.log")
    queue_dir = tempfile.mkdtemp(prefix="q-floor-", dir=directory)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    record = b"r" * FLOOR_RECORD_LEN
    body = b"b" * (FLOOR_RECORD_LEN - 33)
    try:
        queue = tollivane.TollivaneCore(queue_dir, sync_interval_ms=0, auto_compact_bytes=0)

        def floor_once() -> int:
            os.write(fd, record)
            os.fsync(fd)
            return 1

        def enqueue_once() -> int:
            queue.enqueue(body)
            return 1

        totals = {"floor": [0, 0.0], "enqueue": [0, 0.0]}
        for _ in range(max(1, round(seconds / slice_seconds))):
            for name, call in (("floor", floor_once), ("enqueue", enqueue_once)):
                n, t = timed(call, slice_seconds, 10**9)
                totals[name][0] += n
                totals[name][1] += t
        del queue
    finally:
        os.close(fd)
        os.unlink(path)
        shutil.rmtree(queue_dir, ignore_errors=True)
    return totals["floor"][0] / totals["floor"][1], totals["enqueue"][0] / totals["enqueue"][1]


def open_queue(mode: Mode, directory: str):
    if not mode.persistent:
        return tollivane.TollivaneCore(":memory:")
    # Automatic compaction is off so that a figure does not depend on how
    # many messages happened to be enqueued before the acks that trigger it;
    # bench_multi_process.py times a compaction on its own.
    return tollivane.TollivaneCore(
        directory, sync_interval_ms=mode.sync_interval_ms, auto_compact_bytes=0
    )


def top_up(queue, body: bytes, wanted: int) -> None:
    """Untimed: makes sure at least `wanted` messages are ready."""
    missing = wanted - queue.available()
    while missing > 0:
        n = min(BATCH, missing)
        queue.enqueue_batch([body] * n)
        missing -= n


def run_case(mode: Mode, size: int, work_dir: str, budget: Budget) -> dict[str, float]:
    """One run of the four operations on a fresh queue. Returns messages/s by op."""
    seconds_single = budget.fsync_seconds if mode.sync_interval_ms == 0 else budget.fast_seconds
    # A batch always fsyncs once, whatever the interval, so batches of a
    # persistent queue are disk-bound in both modes.
    seconds_batch = budget.fsync_seconds if mode.persistent else budget.fast_seconds
    cap = budget.max_small if size <= 1024 else budget.max_large
    body = bytes(range(256)) * (size // 256) + b"b" * (size % 256)
    batch = [body] * BATCH
    queue_dir = tempfile.mkdtemp(prefix="q-", dir=work_dir)
    rates: dict[str, float] = {}
    try:
        queue = open_queue(mode, queue_dir)

        def enqueue() -> int:
            queue.enqueue(body)
            return 1

        def enqueue_batch() -> int:
            queue.enqueue_batch(batch)
            return BATCH

        def dequeue_ack() -> int:
            delivery = queue.dequeue()
            if delivery is None:
                return 0
            queue.ack(delivery[0])
            return 1

        def dequeue_batch_ack() -> int:
            deliveries = queue.dequeue_batch(BATCH)
            if not deliveries:
                return 0
            queue.ack_batch([d[0] for d in deliveries])
            return len(deliveries)

        n, t = timed(enqueue, seconds_single, cap)
        rates["enqueue"] = n / t
        n, t = timed(enqueue_batch, seconds_batch, cap)
        rates["enqueue_batch"] = n / t

        # Enough ready messages that the consumer runs out of time before it
        # runs out of messages: consuming is not faster than producing, so
        # 1.5x what the producer managed in the same time is plenty.
        top_up(queue, body, min(cap, int(rates["enqueue"] * seconds_single * 1.5) + 1))
        n, t = timed(dequeue_ack, seconds_single, cap)
        rates["dequeue+ack"] = n / t
        top_up(queue, body, min(cap, int(rates["enqueue_batch"] * seconds_batch * 1.5) + BATCH))
        n, t = timed(dequeue_batch_ack, seconds_batch, cap)
        rates["dequeue_batch+ack_batch"] = n / t
        del queue
    finally:
        shutil.rmtree(queue_dir, ignore_errors=True)
    return rates


def format_rate(rate: float) -> str:
    if rate >= 100:
        return f"{rate:,.0f}"
    return f"{rate:,.1f}"


def print_table(medians: dict[tuple[str, int], dict[str, float]]) -> None:
    headers = ["queue", "body"] + list(OPS)
    rows = []
    for mode in MODES:
        for size in SIZES:
            label = "100 B" if size == 100 else f"{size // 1024} KiB"
            rates = medians[(mode.label, size)]
            rows.append([mode.label, label] + [format_rate(rates[op]) for op in OPS])
    widths = [max(len(headers[i]), *(len(r[i]) for r in rows)) for i in range(len(headers))]
    def line(cells: list[str]) -> str:
        left = [cells[i].ljust(widths[i]) for i in range(2)]
        right = [cells[i].rjust(widths[i]) for i in range(2, len(cells))]
        return "  ".join(left + right)
    print(line(headers))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="very short run: one run, short measurements")
    parser.add_argument("--runs", type=int, default=None, help="runs per figure (default 3; 1 with --quick)")
    parser.add_argument("--dir", default=None, help="where to make the temporary queue directories (default: the system temp dir)")
    args = parser.parse_args()
    budget = QUICK_BUDGET if args.quick else DEFAULT_BUDGET
    runs = args.runs if args.runs is not None else (1 if args.quick else 3)

    work_dir = tempfile.mkdtemp(prefix="tollivane-bench-", dir=args.dir)
    started = time.perf_counter()
    samples: dict[tuple[str, int], dict[str, list[float]]] = {
        (m.label, s): {op: [] for op in OPS} for m in MODES for s in SIZES
    }
    floor_samples: list[float] = []
    paired_enqueue_samples: list[float] = []
    try:
        for run in range(runs):
            print(f"run {run + 1}/{runs} ...", file=sys.stderr, flush=True)
            floor, enqueue = paired_floor(work_dir, budget.fsync_seconds)
            floor_samples.append(floor)
            paired_enqueue_samples.append(enqueue)
            for mode in MODES:
                for size in SIZES:
                    for op, rate in run_case(mode, size, work_dir, budget).items():
                        samples[(mode.label, size)][op].append(rate)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    total = time.perf_counter() - started

    medians = {key: {op: statistics.median(v) for op, v in ops.items()} for key, ops in samples.items()}
    floor = statistics.median(floor_samples)
    ratios = [e / f for e, f in zip(paired_enqueue_samples, floor_samples)]

    print()
    print(f"tollivane {getattr(tollivane, '__version__', '')} single process, messages/s, "
          f"median of {runs} run(s); batch calls move {BATCH} messages; "
          "auto_compact_bytes=0")
    print(f"queue directories under {os.path.dirname(work_dir) or '.'}; {os.cpu_count()} cores; "
          f"{'quick' if args.quick else 'default'} budget")
    print()
    print_table(medians)
    print()
    print(f"durable floor: os.write of {FLOOR_RECORD_LEN} B + os.fsync on an O_APPEND file, alternating "
          f"with durable enqueue (100 B, sync_interval_ms=0) in 0.1 s slices")
    print(f"  floor {format_rate(floor)} writes/s (runs: {', '.join(format_rate(r) for r in floor_samples)})")
    print(f"  enqueue {format_rate(statistics.median(paired_enqueue_samples))}/s "
          f"(runs: {', '.join(format_rate(r) for r in paired_enqueue_samples)})")
    print(f"  durable enqueue / floor: {statistics.median(ratios):.2f} "
          f"(runs: {', '.join(f'{r:.2f}' for r in ratios)})")
    print(f"total time {total:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
