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
and runs this script; it checks nothing, it prints figures. The adapters of
the peers are in compare_peers.py, the measurements in compare_runner.py,
the tables, chart and saved figures in compare_report.py.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time

import compare_peers as peers
import compare_report as report
import compare_runner as runner


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
                        f"({', '.join(c.key for c in peers.CONFIGS)})")
    parser.add_argument("--no-strace", action="store_true", help="skip the strace check")
    parser.add_argument("--save", help="write the figures as JSON to this file")
    parser.add_argument("--replot", help="only draw the chart (--chart) from a file of --save")
    parser.add_argument("--strace-child", help=argparse.SUPPRESS)
    parser.add_argument("--strace-ops", type=int, default=20, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.strace_child:
        runner.strace_child(args.strace_child, args.dir, args.strace_ops)
        return 0

    if args.replot:
        res, keys = report.load(args.replot)
        print(report.draw_chart(res, [c for c in peers.CONFIGS if c.key in keys], args.chart or "compare.png"))
        return 0

    budget = runner.QUICK if args.quick else runner.FULL
    runs = args.runs or budget.runs
    chart = args.chart if args.chart is not None else (
        None if args.quick else os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare.png"))
    configs, skipped = peers.available_configs()
    if args.only:
        wanted = set(args.only.split(","))
        configs = [c for c in configs if c.key in wanted or c.ours]
    started = time.perf_counter()
    work_dir = tempfile.mkdtemp(prefix="tollivane-compare-", dir=args.dir)
    try:
        res = runner.measure_all(configs, budget, runs, args.quick, not args.no_strace, work_dir)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    total = time.perf_counter() - started

    out, md = report.render(res, configs, skipped, runs, args.quick, work_dir, chart, total)
    print("\n".join(out))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("\n".join(md))
    if args.save:
        report.save(res, configs, args.save)
    return 0


if __name__ == "__main__":
    sys.exit(main())
