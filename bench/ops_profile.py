#!/usr/bin/env python3
"""Runs one queue operation N times, for counting its cost under a profiler.

Instruction counts are the steadiest measure on a shared machine: run this
under valgrind's callgrind twice, with N and 2N, and divide the difference of
the totals by N to get the instructions of one operation (system calls count
only their user-space side). With --strace-safe nothing but the timed loop
touches the queue, so `strace -c` of the same two runs gives the system calls
per operation the same way.

    valgrind --tool=callgrind --callgrind-out-file=/dev/null \\
        python bench/ops_profile.py enqueue 20000
"""

from __future__ import annotations

import argparse
import shutil
import tempfile

import tollivane

BODY = b"x" * 100
BATCH = 1000
OPS = ("enqueue", "dequeue+ack", "ack_and_dequeue", "enqueue_batch", "dequeue_batch+ack_batch", "available")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("op", choices=OPS)
    parser.add_argument("n", type=int, help="operations (batch ops: messages, a multiple of 1000)")
    parser.add_argument("--memory", action="store_true", help='use a ":memory:" queue')
    parser.add_argument("--sync-interval-ms", type=int, default=10**9)
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="tollivane-ops-")
    try:
        path = ":memory:" if args.memory else directory
        queue = tollivane.TollivaneCore(path, sync_interval_ms=args.sync_interval_ms, auto_compact_bytes=0)
        # Messages to take are put in before the counted loop: its cost is
        # the same for N and 2N runs only if the set-up scales with N too,
        # so dequeue runs include a batch enqueue of N bodies.
        if args.op in ("dequeue+ack", "ack_and_dequeue", "dequeue_batch+ack_batch"):
            for _ in range(args.n // BATCH):
                queue.enqueue_batch([BODY] * BATCH)
        if args.op == "enqueue":
            for _ in range(args.n):
                queue.enqueue(BODY)
        elif args.op == "dequeue+ack":
            for _ in range(args.n):
                queue.ack(queue.dequeue()[0])
        elif args.op == "ack_and_dequeue":
            delivery = queue.dequeue()
            for _ in range(args.n - 1):
                delivery = queue.ack_and_dequeue(delivery[0])[1]
        elif args.op == "enqueue_batch":
            bodies = [BODY] * BATCH
            for _ in range(args.n // BATCH):
                queue.enqueue_batch(bodies)
        elif args.op == "dequeue_batch+ack_batch":
            for _ in range(args.n // BATCH):
                queue.ack_batch([d[0] for d in queue.dequeue_batch(BATCH)])
        elif args.op == "available":
            for _ in range(args.n):
                queue.available()
        del queue
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
