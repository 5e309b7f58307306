#!/usr/bin/env python3
"""How tollivane scales with the amount of data, not with the speed of a call.

Prints, each measured in a fresh Python process so that one measurement's
memory does not hide in the next one's:

1. memory per live message: resident set size (from /proc/self/statm)
   after enqueuing 1,000,000 100-byte messages, minus the size with the
   empty queue open, divided by the messages. Bodies stay in the log, so
   this is the in-memory state alone. Also for ids left scattered (one live
   message in every 64 ids, the rest acknowledged), the worst layout.
2. open time of a log of 1,000,000 messages (the constructor: recovery).
3. system calls per operation, counted with strace -c over N and 2N calls:
   a call that finds nothing changed (available()), a relaxed enqueue, and
   a relaxed dequeue + ack.
4. peak memory (VmHWM) of a process that catches up after another process
   appended about 1 GiB to the log it has open.
5. curves: the cost of one dequeue + ack against the number of stale pairs
   in the lease heap, and of one ack against the number of records already
   in the log. Both should stay flat.

This prints figures only; it checks nothing.

    python bench/bench_scale.py            # a few minutes, writes ~1.2 GiB
    python bench/bench_scale.py --quick    # under a minute, smaller sizes
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

BODY = b"x" * 100
BATCH = 1000
RELAXED = 10**9


def child(code: str, *args: str, stdin: int | None = None) -> subprocess.Popen:
    """Starts a fresh interpreter that runs `code` with `args` in sys.argv."""
    prelude = "import json, os, sys, time\nimport tollivane\n" + HELPERS
    return subprocess.Popen(
        [sys.executable, "-c", prelude + code, *args],
        stdin=stdin,
        stdout=subprocess.PIPE,
        text=True,
    )


def run_child(code: str, *args: str) -> dict:
    process = child(code, *args)
    out, _ = process.communicate()
    if process.returncode != 0:
        raise RuntimeError(f"child failed ({process.returncode})")
    return json.loads(out.strip().splitlines()[-1])


# Shared by the child processes.
HELPERS = r'''
PAGE = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

def hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

def fill(queue, count, stride=1):
    """Leaves `count` live messages, each `stride` ids after the last."""
    bodies = [b"x" * 100] * 1000
    for _ in range(count * stride // 1000):
        ids = queue.enqueue_batch(bodies)
        if stride > 1:
            queue.ack_batch([i for i in ids if i % stride])
'''

MEMORY = r'''
path, count, stride = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
q = tollivane.TollivaneCore(path, sync_interval_ms=10**9, auto_compact_bytes=0)
q.available()
before = rss()
fill(q, count, stride)
live = q.stats()["total"]
after = rss()
print(json.dumps({"live": live, "bytes": after - before}))
'''

OPEN = r'''
path = sys.argv[1]
start = time.perf_counter()
q = tollivane.TollivaneCore(path, sync_interval_ms=10**9, auto_compact_bytes=0)
elapsed = time.perf_counter() - start
print(json.dumps({"seconds": elapsed, "live": q.stats()["total"]}))
'''

SYSCALLS = r'''
path, op, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
q = tollivane.TollivaneCore(path, sync_interval_ms=10**9, auto_compact_bytes=0)
if op == "dequeue+ack":
    for _ in range(n // 1000):
        q.enqueue_batch([b"x" * 100] * 1000)
q.available()
if op == "available":
    for _ in range(n):
        q.available()
elif op == "enqueue":
    for _ in range(n):
        q.enqueue(b"x" * 100)
elif op == "dequeue+ack":
    for _ in range(n):
        q.ack(q.dequeue()[0])
print(json.dumps({}))
'''

CATCH_UP = r'''
path = sys.argv[1]
q = tollivane.TollivaneCore(path, sync_interval_ms=10**9, auto_compact_bytes=0)
q.available()
print("ready", flush=True)
sys.stdin.readline()
before = hwm()
start = time.perf_counter()
ready = q.available()
elapsed = time.perf_counter() - start
print(json.dumps({"hwm_before": before, "hwm_after": hwm(), "seconds": elapsed, "ready": ready}))
'''

APPEND = r'''
path, total = sys.argv[1], int(sys.argv[2])
q = tollivane.TollivaneCore(path, sync_interval_ms=10**9, auto_compact_bytes=0)
body = b"y" * 65536
batch = [body] * 64
written = 0
while written < total:
    q.enqueue_batch(batch)
    written += len(batch) * (len(body) + 33)
print(json.dumps({"bytes": written}))
'''

STALE_CURVE = r'''
stale, ops = int(sys.argv[1]), int(sys.argv[2])
q = tollivane.TollivaneCore(":memory:")
live = max(stale, ops)
fill(q, live)
# Each lease taken and requeued leaves a pair whose deadline is an hour
# away: stale, but not yet due, so no sweep removes it.
for seq, *_ in q.dequeue_batch(stale, 3_600_000):
    q.nack(seq)
start = time.perf_counter()
for _ in range(ops):
    q.ack(q.dequeue()[0])
print(json.dumps({"us": (time.perf_counter() - start) / ops * 1e6}))
'''

HISTORY_CURVE = r'''
path, past, ops = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
q = tollivane.TollivaneCore(path, sync_interval_ms=10**9, auto_compact_bytes=0)
bodies = [b"x" * 100] * 1000
for _ in range(past // 1000):
    q.ack_batch(q.enqueue_batch(bodies))
# Written back before timing: hundreds of MiB of dirty pages would make the
# kernel throttle the timed writes, which says nothing about the queue.
q.flush()
ids = []
for _ in range(ops // 1000):
    ids += q.enqueue_batch(bodies)
start = time.perf_counter()
for seq in ids:
    q.ack(seq)
elapsed = time.perf_counter() - start
print(json.dumps({"us": elapsed / len(ids) * 1e6, "log_bytes": q.stats()["log_bytes"]}))
'''


def fresh_dir(base: str) -> str:
    return tempfile.mkdtemp(prefix="tollivane-scale-", dir=base)


def memory_per_message(base: str, count: int, stride: int) -> None:
    directory = fresh_dir(base)
    try:
        result = run_child(MEMORY, directory, str(count), str(stride))
        per = result["bytes"] / result["live"]
        layout = "consecutive ids" if stride == 1 else f"one live id in {stride}"
        print(f"  {result['live']:>9,} live messages, {layout:<20} {per:7.1f} bytes each")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def open_time(base: str, count: int) -> None:
    directory = fresh_dir(base)
    try:
        run_child(MEMORY, directory, str(count), "1")
        log_bytes = os.path.getsize(os.path.join(directory, "queue.log"))
        times = [run_child(OPEN, directory)["seconds"] for _ in range(3)]
        print(f"  {count:,} messages, {log_bytes / 2**20:.0f} MiB log: open in {sorted(times)[1]:.3f} s (median of 3)")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def strace_counts(base: str, op: str, n: int) -> dict[str, int] | None:
    directory = fresh_dir(base)
    out = os.path.join(directory, "strace.out")
    try:
        process = subprocess.run(
            ["strace", "-f", "-c", "-o", out, sys.executable, "-c",
             "import json, os, sys, time\nimport tollivane\n" + HELPERS + SYSCALLS, directory, op, str(n)],
            stdout=subprocess.DEVNULL,
            check=False,
        )
        if process.returncode != 0:
            return None
        counts: dict[str, int] = {}
        with open(out) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                    counts[parts[-1]] = int(parts[3])
        return counts
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def syscalls_per_op(base: str, n: int) -> None:
    if shutil.which("strace") is None:
        print("  (strace not installed: skipped)")
        return
    for op in ("available", "enqueue", "dequeue+ack"):
        once, twice = strace_counts(base, op, n), strace_counts(base, op, 2 * n)
        if once is None or twice is None:
            print(f"  {op}: strace failed (ptrace not permitted?)")
            continue
        per = {name: (twice.get(name, 0) - once.get(name, 0)) / n for name in twice}
        per = {name: value for name, value in per.items() if value >= 0.01}
        text = ", ".join(f"{name} {value:.2f}" for name, value in sorted(per.items(), key=lambda kv: -kv[1]))
        print(f"  {op:<12} {sum(per.values()):5.2f} per call: {text}")


def catch_up_peak(base: str, total: int) -> None:
    directory = fresh_dir(base)
    try:
        reader = child(CATCH_UP, directory, stdin=subprocess.PIPE)
        assert reader.stdout is not None and reader.stdin is not None
        reader.stdout.readline()
        appended = run_child(APPEND, directory, str(total))["bytes"]
        reader.stdin.write("go\n")
        reader.stdin.flush()
        out, _ = reader.communicate()
        result = json.loads(out.strip().splitlines()[-1])
        print(
            f"  another process appended {appended / 2**30:.2f} GiB ({result['ready']:,} messages of 64 KiB);"
            f" catching up took {result['seconds']:.2f} s;"
            f" peak memory {result['hwm_before'] / 2**20:.1f} MiB before, {result['hwm_after'] / 2**20:.1f} MiB after"
        )
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def stale_curve(points: list[int], ops: int) -> None:
    for stale in points:
        result = run_child(STALE_CURVE, str(stale), str(ops))
        print(f"  {stale:>9,} stale lease pairs: {result['us']:6.2f} us per dequeue+ack (:memory:)")


def history_curve(base: str, points: list[int], ops: int) -> None:
    for past in points:
        directory = fresh_dir(base)
        try:
            result = run_child(HISTORY_CURVE, directory, str(past), str(ops))
            print(
                f"  {past:>9,} messages enqueued and acked before ({result['log_bytes'] / 2**20:6.0f} MiB log):"
                f" {result['us']:6.2f} us per ack (relaxed)"
            )
        finally:
            shutil.rmtree(directory, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, to see that the script works")
    parser.add_argument("--dir", default=None, help="where to make the queue directories")
    args = parser.parse_args()
    base = args.dir or tempfile.gettempdir()
    million = 100_000 if args.quick else 1_000_000
    started = time.perf_counter()
    import tollivane

    print(f"tollivane {tollivane.__version__} scale figures; queues under {base}; 100-byte bodies unless said\n")
    print("memory per live message (RSS growth / live messages):")
    memory_per_message(base, million, 1)
    memory_per_message(base, million // 20, 64)
    print("\nopening a log (recovery):")
    open_time(base, million)
    print("\nsystem calls per call (strace -c, difference of N and 2N calls):")
    syscalls_per_op(base, 2000 if args.quick else 20000)
    print("\ncatching up after another process appended to the log:")
    catch_up_peak(base, (2**27) if args.quick else (2**30))
    print("\ncost per dequeue + ack against stale pairs in the lease heap:")
    stale_curve([0, 10_000, 100_000] if args.quick else [0, 10_000, 100_000, 1_000_000], 20_000)
    print("\ncost per ack against records already in the log:")
    history_curve(base, [0, 100_000] if args.quick else [0, 100_000, 1_000_000, 3_000_000], 20_000)
    print(f"\ntotal time {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
