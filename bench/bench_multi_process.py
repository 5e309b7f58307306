#!/usr/bin/env python3
"""Several processes on one tollivane queue directory, one compaction, the
system calls a call costs, and consumers that wait for messages.

1. Throughput: P producer processes (enqueue, 100-byte bodies) and C consumer
   processes (dequeue then ack) run at the same time on one directory, for
   2+2 and 4+4 processes, with sync_interval_ms=0 and with 10**9. Printed:
   total messages/s enqueued by all producers and dequeued+acked by all
   consumers (median of the runs).
2. Compaction: a log of about --compact-gib GiB of 64 KiB bodies (built with
   enqueue_batch) of which 90% is then acked (ack_batch), with
   auto_compact_bytes=0 so nothing compacts on its own; prints the time of one
   compact(), and the time another object's next call takes to reload the
   rewritten log.
3. System calls: `strace -f -c` around N calls of one operation in a child
   process, minus the same child making fewer calls, divided by the
   difference: the system calls one call costs, with fixed costs (interpreter
   start, open) cancelled out.
4. Concurrency: durable enqueue (sync_interval_ms=0, 100 B) by 4 producer
   processes on one directory and by 8 threads sharing one object, each as a
   ratio to one producer, with the bare write+fsync floor, and 4 bare
   writers (flock, write, unlock, fsync) of one file, measured in the same
   rounds; a pure-Python thread's speed beside a thread doing durable
   enqueues, and during a wait of --lock-wait seconds for a lock another
   process holds, as ratios to its speed alone.
5. Waiting consumers: a consumer process sleeping in dequeue_wait, and the
   time from just before another process's enqueue to the return of that
   wait (median and 90th percentile of many rounds); then 10 consumer
   processes each waiting on an empty queue for a few seconds, and the share
   of one core they used together (each one's getrusage over its wait),
   beside the same processes sleeping as long in time.sleep.

This prints figures only; it checks nothing.

    python bench/bench_multi_process.py                     # about a minute
    python bench/bench_multi_process.py --compact-gib 0.25  # a smaller log
    python bench/bench_multi_process.py --quick             # a few seconds
    python bench/bench_multi_process.py --only concurrency  # section 4 alone
"""

from __future__ import annotations

import argparse
import fcntl
import multiprocessing as mp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from typing import Callable, Optional

import tollivane

LARGE_INTERVAL_MS = 10**9
SMALL_BODY = b"m" * 100
LARGE_BODY_LEN = 64 * 1024
# 12-byte frame header + 21-byte record header in front of every body.
ENQUEUE_FRAME_OVERHEAD = 33
BATCH = 1000
SETUPS = ((2, 2), (4, 4))
SYNC_MODES = ((0, "0"), (LARGE_INTERVAL_MS, "10**9"))


# --------------------------------------------------------------------------
# 1. producers and consumers


def worker(role: str, directory: str, sync_interval_ms: int, barrier, start_at, seconds: float, results) -> None:
    # Each process opens its own object: that is how processes share a queue.
    queue = tollivane.TollivaneCore(directory, sync_interval_ms=sync_interval_ms, auto_compact_bytes=0)
    queue.available()
    # Two rounds: the start time is set only once every process has opened the
    # queue (a large log takes a while to load), and read after the second.
    barrier.wait()
    barrier.wait()
    begin = start_at.value
    end = begin + seconds
    # Everyone starts at the same instant, so no process runs alone for a while.
    while time.monotonic() < begin:
        pass
    done = 0
    empty = 0
    if role == "producer":
        while time.monotonic() < end:
            queue.enqueue(SMALL_BODY)
            done += 1
    else:
        while time.monotonic() < end:
            delivery = queue.dequeue()
            if delivery is None:
                empty += 1
                continue
            queue.ack(delivery[0])
            done += 1
    finished = time.monotonic()
    del queue
    results.put((role, done, empty, finished - begin))


def collect(processes: list, results, timeout_s: float) -> list:
    """One result from each of `processes`, once all have ended."""
    outcome = [results.get(timeout=timeout_s) for _ in processes]
    for p in processes:
        p.join()
    return outcome


def run_mix(work_dir: str, producers: int, consumers: int, sync_interval_ms: int, seconds: float,
            prefill: int) -> dict[str, float]:
    directory = tempfile.mkdtemp(prefix="mix-", dir=work_dir)
    try:
        # Messages ready before the start, so that consumers measure consuming,
        # not waiting for producers.
        seed = tollivane.TollivaneCore(directory, sync_interval_ms=LARGE_INTERVAL_MS, auto_compact_bytes=0)
        for start in range(0, prefill, BATCH * 10):
            seed.enqueue_batch([SMALL_BODY] * min(BATCH * 10, prefill - start))
        seed.flush()
        del seed

        ctx = mp.get_context("fork")
        barrier = ctx.Barrier(producers + consumers + 1)
        start_at = ctx.Value("d", 0.0)
        results = ctx.Queue()
        roles = ["producer"] * producers + ["consumer"] * consumers
        processes = [
            ctx.Process(target=worker, args=(role, directory, sync_interval_ms, barrier, start_at, seconds, results))
            for role in roles
        ]
        for p in processes:
            p.start()
        barrier.wait()
        start_at.value = time.monotonic() + 0.05
        barrier.wait()
        outcome = collect(processes, results, seconds + 120)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    window = max(elapsed for _, _, _, elapsed in outcome)
    return {
        "enqueue": sum(done for role, done, _, _ in outcome if role == "producer") / window,
        "dequeue+ack": sum(done for role, done, _, _ in outcome if role == "consumer") / window,
        "empty": sum(empty for role, _, empty, _ in outcome if role == "consumer"),
    }


def spread(values: list[float]) -> str:
    return f"({min(values):,.0f}-{max(values):,.0f})"


def bench_mix(work_dir: str, runs: int, seconds: float) -> None:
    print(f"producers + consumers on one directory, 100 B bodies, total messages/s, "
          f"{seconds:g} s per run, median of {runs} run(s)")
    rows = []
    starved = []
    for producers, consumers in SETUPS:
        for sync_interval_ms, label in SYNC_MODES:
            # Generous: a consumer that runs dry measures the prefill, not itself.
            prefill = 20_000 if sync_interval_ms == 0 else int(150_000 * seconds)
            samples = [run_mix(work_dir, producers, consumers, sync_interval_ms, seconds, prefill)
                       for _ in range(runs)]
            enq = [s["enqueue"] for s in samples]
            deq = [s["dequeue+ack"] for s in samples]
            empty = sum(s["empty"] for s in samples)
            if empty:
                starved.append(f"{producers}+{consumers} sync {label}: consumers found the queue empty {empty} times")
            rows.append([f"{producers}+{consumers}", label,
                         f"{statistics.median(enq):,.0f}", spread(enq),
                         f"{statistics.median(deq):,.0f}", spread(deq)])
    print_table(["producers+consumers", "sync_interval_ms", "enqueue/s", "(runs min-max)",
                 "dequeue+ack/s", "(runs min-max)"], rows, left={0, 1})
    for line in starved:
        print("  note:", line)
    print()


# --------------------------------------------------------------------------
# 2. compaction


def bench_compact(work_dir: str, gib: float) -> None:
    directory = tempfile.mkdtemp(prefix="compact-", dir=work_dir)
    frame = LARGE_BODY_LEN + ENQUEUE_FRAME_OVERHEAD
    messages = max(10, int(gib * 2**30) // frame)
    body = bytes(range(256)) * (LARGE_BODY_LEN // 256)
    try:
        queue = tollivane.TollivaneCore(directory, sync_interval_ms=LARGE_INTERVAL_MS, auto_compact_bytes=0)
        built = time.perf_counter()
        for start in range(0, messages, BATCH):
            queue.enqueue_batch([body] * min(BATCH, messages - start))
        # Every tenth message stays: the live bodies are spread over the whole
        # log, as when a few slow messages outlive their neighbours.
        acked = [seq for seq in range(messages) if seq % 10 != 0]
        for start in range(0, len(acked), 10 * BATCH):
            queue.ack_batch(acked[start:start + 10 * BATCH])
        built = time.perf_counter() - built
        before = queue.stats()
        # Opened before the compaction: its next call finds a new generation
        # and reloads the whole rewritten log, as another process would.
        other = tollivane.TollivaneCore(directory, sync_interval_ms=LARGE_INTERVAL_MS, auto_compact_bytes=0)
        other.available()

        started = time.perf_counter()
        queue.compact()
        compact_s = time.perf_counter() - started
        after = queue.stats()

        started = time.perf_counter()
        other.available()
        reload_s = time.perf_counter() - started
        del other, queue
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    mib = 2**20
    print(f"compaction: {messages:,} messages of 64 KiB, 90% acked (auto_compact_bytes=0); "
          f"built in {built:.1f} s (untimed)")
    rows = [
        ["log before", f"{before['log_bytes'] / mib:,.0f} MiB", f"live {before['live_bytes'] / mib:,.0f} MiB, "
         f"{before['total']:,} messages"],
        ["one compact()", f"{compact_s:.2f} s", f"{after['log_bytes'] / mib:,.0f} MiB written at "
         f"{after['log_bytes'] / mib / compact_s:,.0f} MiB/s, incl. fsync + rename"],
        ["log after", f"{after['log_bytes'] / mib:,.0f} MiB", f"generation {after['generation']}"],
        ["other object's next call", f"{reload_s * 1000:,.1f} ms", "reload of the rewritten log"],
    ]
    print_table(["", "figure", "detail"], rows, left={0, 2})
    print("  (the log was just written, so its pages are in the page cache)")
    print()


# --------------------------------------------------------------------------
# 3. system calls per call

STRACE_CHILD = textwrap.dedent(
    """
    import sys, tollivane
    directory, op, sync_interval_ms, calls = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    queue = tollivane.TollivaneCore(directory, sync_interval_ms=sync_interval_ms, auto_compact_bytes=0)
    queue.available()
    body = b"m" * 100
    if op == "available":
        for _ in range(calls):
            queue.available()
    elif op == "enqueue":
        for _ in range(calls):
            queue.enqueue(body)
    elif op == "dequeue+ack":
        for _ in range(calls):
            queue.ack(queue.dequeue()[0])
    """
)

# (label, op, sync_interval_ms, fewer calls, more calls): the fsync-bound case
# gets fewer calls, since every one waits for the disk.
STRACE_CASES = (
    ("available(), nothing new", "available", LARGE_INTERVAL_MS, 500, 2500),
    ("enqueue, sync_interval_ms=0", "enqueue", 0, 50, 250),
    ("enqueue, sync_interval_ms=10**9", "enqueue", LARGE_INTERVAL_MS, 500, 2500),
    ("dequeue+ack (two calls), sync_interval_ms=10**9", "dequeue+ack", LARGE_INTERVAL_MS, 500, 2500),
)


def strace_counts(directory: str, op: str, sync_interval_ms: int, calls: int, out: str) -> dict[str, int]:
    subprocess.run(
        ["strace", "-f", "-c", "-o", out, sys.executable, "-c", STRACE_CHILD, directory, op,
         str(sync_interval_ms), str(calls)],
        check=True, stdout=subprocess.DEVNULL,
    )
    counts: dict[str, int] = {}
    with open(out) as f:
        for line in f:
            parts = line.split()
            # Rows are "% time, seconds, usecs/call, calls, [errors,] syscall".
            if len(parts) in (5, 6) and parts[3].isdigit() and parts[-1] != "total":
                counts[parts[-1]] = int(parts[3])
    return counts


def bench_syscalls(work_dir: str, quick: bool) -> None:
    if shutil.which("strace") is None:
        print("system calls per call: strace not found, skipped")
        return
    print("system calls per call (strace -f -c, difference of two runs of a child process)")
    rows = []
    for label, op, sync_interval_ms, fewer, more in STRACE_CASES:
        if quick:
            fewer, more = fewer // 5, more // 5
        directory = tempfile.mkdtemp(prefix="strace-", dir=work_dir)
        try:
            seed = tollivane.TollivaneCore(directory, sync_interval_ms=LARGE_INTERVAL_MS, auto_compact_bytes=0)
            # Enough ready messages for every dequeue of both runs.
            seed.enqueue_batch([SMALL_BODY] * (2 * more + 10))
            del seed
            out = os.path.join(work_dir, "strace.out")
            a = strace_counts(directory, op, sync_interval_ms, fewer, out)
            b = strace_counts(directory, op, sync_interval_ms, more, out)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        per_call = {name: (b.get(name, 0) - a.get(name, 0)) / (more - fewer) for name in set(a) | set(b)}
        per_call = {name: n for name, n in per_call.items() if n >= 0.05}
        total = sum(per_call.values())
        detail = ", ".join(f"{name} {n:.2g}" for name, n in sorted(per_call.items(), key=lambda kv: (-kv[1], kv[0])))
        rows.append([label, f"{total:.1f}", detail])
    print_table(["operation", "syscalls/call", "by system call"], rows, left={0, 2})
    print()


# --------------------------------------------------------------------------
# 4. concurrency: shared fsyncs, and the interpreter lock during waits

FLOOR_RECORD_LEN = SMALL_BODY.__len__() + ENQUEUE_FRAME_OVERHEAD


def floor_rate(directory: str, seconds: float) -> float:
    """write+fsync of one enqueue frame's worth of bytes on an O_APPEND file:
    the best one writer that makes every append durable can do here."""
    path = os.path.join(directory, "floor.log")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    record = b"r" * FLOOR_RECORD_LEN
    done, end = 0, time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            os.write(fd, record)
            os.fsync(fd)
            done += 1
    finally:
        os.close(fd)
        os.unlink(path)
    return done / seconds


def per_round(rounds: list[dict[str, float]], suffix: str = "") -> tuple[Callable[[str], float],
                                                                       Callable[[str, str], str]]:
    """For figures measured once in each round: `median(key)` over the
    rounds, and `ratio(numerator, denominator)`, the median of the ratios
    taken round by round, followed by each round's in brackets."""
    def median(key: str) -> float:
        return statistics.median(r[key] for r in rounds)

    def ratio(numerator: str, denominator: str) -> str:
        values = [r[numerator] / r[denominator] for r in rounds]
        return f"{statistics.median(values):.2f}{suffix} ({', '.join(f'{v:.2f}' for v in values)})"

    return median, ratio


def wait_for_start(barrier, start_at) -> float:
    # Two rounds: the start time is set once every process is ready, and read
    # after the second; everyone then starts at the same instant.
    barrier.wait()
    barrier.wait()
    begin = start_at.value
    while time.monotonic() < begin:
        pass
    return begin


def durable_producer(directory: str, barrier, start_at, seconds: float, results) -> None:
    queue = tollivane.TollivaneCore(directory, auto_compact_bytes=0)
    queue.available()
    begin = wait_for_start(barrier, start_at)
    done = 0
    while time.monotonic() < begin + seconds:
        queue.enqueue(SMALL_BODY)
        done += 1
    del queue
    results.put(done)


def bare_writer(directory: str, barrier, start_at, seconds: float, results) -> None:
    """What the disk allows writers that share one file and each make their
    own appends durable: flock, write, unlock, then fsync, with no queue."""
    log = os.open(os.path.join(directory, "bare.log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    lock = os.open(os.path.join(directory, "bare.lock"), os.O_RDWR | os.O_CREAT, 0o644)
    record = b"r" * FLOOR_RECORD_LEN
    begin = wait_for_start(barrier, start_at)
    done = 0
    while time.monotonic() < begin + seconds:
        fcntl.flock(lock, fcntl.LOCK_EX)
        os.write(log, record)
        fcntl.flock(lock, fcntl.LOCK_UN)
        os.fsync(log)
        done += 1
    os.close(lock)
    os.close(log)
    results.put(done)


def producer_processes(work_dir: str, processes: int, seconds: float, target: Callable = durable_producer) -> float:
    directory = tempfile.mkdtemp(prefix="procs-", dir=work_dir)
    try:
        # Created before the producers start; `del`, not close(), so that older builds run this too.
        del_after_open = tollivane.TollivaneCore(directory)
        del del_after_open
        ctx = mp.get_context("fork")
        barrier = ctx.Barrier(processes + 1)
        start_at = ctx.Value("d", 0.0)
        results = ctx.Queue()
        workers = [ctx.Process(target=target, args=(directory, barrier, start_at, seconds, results))
                   for _ in range(processes)]
        for p in workers:
            p.start()
        barrier.wait()
        start_at.value = time.monotonic() + 0.05
        barrier.wait()
        total = sum(results.get(timeout=seconds + 120) for _ in workers)
        for p in workers:
            p.join()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return total / seconds


def producer_threads(work_dir: str, threads: int, seconds: float) -> float:
    directory = tempfile.mkdtemp(prefix="threads-", dir=work_dir)
    try:
        queue = tollivane.TollivaneCore(directory, auto_compact_bytes=0)
        counts = [0] * threads
        end = time.monotonic() + seconds

        def produce(i: int) -> None:
            while time.monotonic() < end:
                queue.enqueue(SMALL_BODY)
                counts[i] += 1

        workers = [threading.Thread(target=produce, args=(i,)) for i in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        del queue
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return sum(counts) / seconds


def python_loop_rate(seconds: float, beside: Optional[Callable[[threading.Event], None]] = None) -> float:
    """Iterations per second of a pure-Python loop, alone or while `beside`
    runs in another thread until it is told to stop."""
    stop = threading.Event()
    other = threading.Thread(target=beside, args=(stop,)) if beside else None
    if other:
        other.start()
    n, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(1000):
            n += 1
    stop.set()
    if other:
        other.join()
    return n / seconds


def durable_enqueues_until(directory: str) -> Callable[[threading.Event], None]:
    def run(stop: threading.Event) -> None:
        queue = tollivane.TollivaneCore(directory, auto_compact_bytes=0)
        while not stop.is_set():
            queue.enqueue(SMALL_BODY)
        del queue
    return run


LOCK_HOLDER = textwrap.dedent(
    """
    import fcntl, os, sys, time
    fd = os.open(sys.argv[1], os.O_RDWR)
    fcntl.flock(fd, fcntl.LOCK_EX)
    print("locked", flush=True)
    time.sleep(float(sys.argv[2]))
    """
)


def loop_rate_during_lock_wait(work_dir: str, seconds: float) -> tuple[float, float]:
    """A pure-Python loop's rate in a thread while the main thread waits for
    a lock another process holds for `seconds`; and how long the wait took."""
    directory = tempfile.mkdtemp(prefix="wait-", dir=work_dir)
    try:
        queue = tollivane.TollivaneCore(directory)
        holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, os.path.join(directory, ".proc_lock"),
                                   str(seconds)], stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "locked\n"
        done = threading.Event()
        counted = [0]

        def loop() -> None:
            n = 0
            while not done.is_set():
                for _ in range(1000):
                    n += 1
            counted[0] = n

        thread = threading.Thread(target=loop)
        started = time.monotonic()
        thread.start()
        queue.enqueue(SMALL_BODY)
        waited = time.monotonic() - started
        done.set()
        thread.join()
        holder.wait()
        holder.stdout.close()
        del queue
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return counted[0] / waited, waited


def bench_concurrency(work_dir: str, runs: int, seconds: float, lock_wait: float) -> None:
    print(f"concurrency: durable enqueue (sync_interval_ms=0, 100 B), {seconds:g} s per figure, "
          f"each round measures every figure once; median of {runs} round(s)")
    rounds = []
    for _ in range(runs):
        figures = {"floor": floor_rate(work_dir, seconds)}
        figures["1 process"] = producer_processes(work_dir, 1, seconds)
        figures["4 processes"] = producer_processes(work_dir, 4, seconds)
        figures["4 bare writers"] = producer_processes(work_dir, 4, seconds, bare_writer)
        figures["1 thread"] = producer_threads(work_dir, 1, seconds)
        figures["8 threads"] = producer_threads(work_dir, 8, seconds)
        directory = tempfile.mkdtemp(prefix="beside-", dir=work_dir)
        try:
            figures["loop alone"] = python_loop_rate(seconds)
            figures["loop beside"] = python_loop_rate(seconds, durable_enqueues_until(directory))
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        figures["loop during wait"], figures["wait s"] = loop_rate_during_lock_wait(work_dir, lock_wait)
        figures["loop alone (wait)"] = python_loop_rate(lock_wait)
        rounds.append(figures)

    median, ratio = per_round(rounds, "x")

    rows = [
        ["bare write+fsync, one writer (floor)", f"{median('floor'):,.0f}/s", ""],
        ["1 producer process", f"{median('1 process'):,.0f}/s", f"{ratio('1 process', 'floor')} of the floor"],
        ["4 producer processes, one directory", f"{median('4 processes'):,.0f}/s",
         f"{ratio('4 processes', '1 process')} of 1 process"],
        ["4 bare writers: flock, write, unlock, fsync", f"{median('4 bare writers'):,.0f}/s",
         f"{ratio('4 bare writers', 'floor')} of the floor"],
        ["1 thread", f"{median('1 thread'):,.0f}/s", f"{ratio('1 thread', 'floor')} of the floor"],
        ["8 threads, one object", f"{median('8 threads'):,.0f}/s", f"{ratio('8 threads', '1 thread')} of 1 thread"],
        ["pure-Python loop alone", f"{median('loop alone'):,.0f}/s", ""],
        ["... beside durable enqueues", f"{median('loop beside'):,.0f}/s", f"{ratio('loop beside', 'loop alone')} of alone"],
        [f"... while the main thread waits {median('wait s'):.1f} s for the lock", f"{median('loop during wait'):,.0f}/s",
         f"{ratio('loop during wait', 'loop alone (wait)')} of alone"],
    ]
    print_table(["figure", "rate", "ratio (per round)"], rows, left={0, 2})


# --------------------------------------------------------------------------
# 5. waiting consumers


def waiting_consumer(directory: str, sync_interval_ms: int, ready, connection) -> None:
    queue = tollivane.TollivaneCore(directory, sync_interval_ms=sync_interval_ms, auto_compact_bytes=0)
    ready.set()
    while True:
        delivery = queue.dequeue_wait(30_000)
        woken = time.monotonic()  # the same clock in every process of the host
        if delivery is None or delivery[1] == b"stop":
            return
        queue.ack(delivery[0])
        connection.send(woken)


def wake_latencies(work_dir: str, sync_interval_ms: int, rounds: int) -> list[float]:
    directory = tempfile.mkdtemp(prefix="wake-", dir=work_dir)
    ctx = mp.get_context("fork")
    ready = ctx.Event()
    receiver, sender = ctx.Pipe(duplex=False)
    consumer = ctx.Process(target=waiting_consumer, args=(directory, sync_interval_ms, ready, sender))
    try:
        producer = tollivane.TollivaneCore(directory, sync_interval_ms=sync_interval_ms, auto_compact_bytes=0)
        consumer.start()
        ready.wait(30)
        latencies = []
        for _ in range(rounds):
            time.sleep(0.02)  # the consumer is asleep again
            before = time.monotonic()
            producer.enqueue(SMALL_BODY)
            latencies.append(receiver.recv() - before)
        producer.enqueue(b"stop")
        consumer.join(30)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return latencies


def idle_waiter(directory: str, seconds: float, results, just_sleep: bool = False) -> None:
    import resource

    queue = tollivane.TollivaneCore(directory)
    queue.available()
    before = resource.getrusage(resource.RUSAGE_SELF)
    started = time.monotonic()
    if just_sleep:
        time.sleep(seconds)
    else:
        queue.dequeue_wait(int(seconds * 1000))
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    results.put((cpu, time.monotonic() - started))


def idle_cpu_share(work_dir: str, waiters: int, seconds: float, just_sleep: bool = False) -> tuple[float, float]:
    directory = tempfile.mkdtemp(prefix="idle-", dir=work_dir)
    ctx = mp.get_context("fork")
    results = ctx.Queue()
    processes = [ctx.Process(target=idle_waiter, args=(directory, seconds, results, just_sleep)) for _ in range(waiters)]
    try:
        for p in processes:
            p.start()
        outcome = collect(processes, results, seconds + 60)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    cpu = sum(used for used, _ in outcome)
    window = max(elapsed for _, elapsed in outcome)
    return cpu, cpu / window


def bench_waiting(work_dir: str, quick: bool) -> None:
    rounds = 50 if quick else 300
    print(f"a consumer process in dequeue_wait, woken by another process's enqueue (100 B), {rounds} rounds")
    rows = []
    for sync_interval_ms, label, detail in (
            (LARGE_INTERVAL_MS, "10**9", "the wake-up, the lock, the catch-up and the lease"),
            (0, "0", "the same plus the producer's and the consumer's fsync")):
        latencies = sorted(wake_latencies(work_dir, sync_interval_ms, rounds))
        p90 = latencies[int(len(latencies) * 0.9) - 1]
        rows.append([label, f"{statistics.median(latencies) * 1000:.2f} ms", f"{p90 * 1000:.2f} ms", detail])
    print_table(["sync_interval_ms", "median", "90th pct", "from before enqueue() to the wait's return"],
                rows, left={0, 3})
    waiters, seconds = 10, (2.0 if quick else 5.0)
    cpu, share = idle_cpu_share(work_dir, waiters, seconds)
    print(f"  {waiters} consumer processes waiting {seconds:g} s on an empty queue: {cpu * 1000:.1f} ms of CPU "
          f"together, {share * 100:.3f}% of one core")
    # Where the kernel charges CPU by the timer tick (virtual machines often
    # do), even a sleeping process is charged a little: this is the floor.
    cpu, share = idle_cpu_share(work_dir, waiters, seconds, just_sleep=True)
    print(f"  the same {waiters} processes in time.sleep({seconds:g}) instead: {cpu * 1000:.1f} ms of CPU "
          f"together, {share * 100:.3f}% of one core")
    print()


# --------------------------------------------------------------------------


def print_table(headers: list[str], rows: list[list[str]], left: set[int]) -> None:
    """Columns whose index is in `left` (text) are left-aligned, figures right-aligned."""
    widths = [max(len(headers[i]), *(len(r[i]) for r in rows)) for i in range(len(headers))]

    def line(cells: list[str]) -> str:
        out = [cell.ljust(widths[i]) if i in left else cell.rjust(widths[i]) for i, cell in enumerate(cells)]
        return ("  " + "  ".join(out)).rstrip()

    print(line(headers))
    print("  " + "  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="very short run (and a 1/8 GiB log unless --compact-gib)")
    parser.add_argument("--runs", type=int, default=None, help="runs per throughput figure (default 3; 1 with --quick)")
    parser.add_argument("--seconds", type=float, default=None, help="length of one throughput run (default 2; 0.5 with --quick)")
    parser.add_argument("--compact-gib", type=float, default=None, help="size of the log to compact, GiB (default 1; 0 skips)")
    parser.add_argument("--dir", default=None, help="where to make the temporary queue directories (default: the system temp dir)")
    parser.add_argument("--lock-wait", type=float, default=None, help="how long another process holds the lock in section 4, s (default 1.5; 1 with --quick)")
    parser.add_argument("--only", default=None, help="comma-separated sections to run: mix, compact, syscalls, concurrency, waiting (default: all)")
    args = parser.parse_args()
    sections = set(args.only.split(",")) if args.only else {"mix", "compact", "syscalls", "concurrency", "waiting"}
    lock_wait = args.lock_wait if args.lock_wait is not None else (1.0 if args.quick else 1.5)
    runs = args.runs if args.runs is not None else (1 if args.quick else 3)
    seconds = args.seconds if args.seconds is not None else (0.5 if args.quick else 2.0)
    gib = args.compact_gib if args.compact_gib is not None else (0.125 if args.quick else 1.0)

    work_dir = tempfile.mkdtemp(prefix="tollivane-bench-", dir=args.dir)
    started = time.perf_counter()
    print(f"tollivane {getattr(tollivane, '__version__', '')}, {os.cpu_count()} cores, "
          f"queue directories under {os.path.dirname(work_dir)}")
    print()
    try:
        if "mix" in sections:
            bench_mix(work_dir, runs, seconds)
        if gib > 0 and "compact" in sections:
            bench_compact(work_dir, gib)
        if "syscalls" in sections:
            bench_syscalls(work_dir, args.quick)
        if "concurrency" in sections:
            bench_concurrency(work_dir, runs, seconds, lock_wait)
        if "waiting" in sections:
            bench_waiting(work_dir, args.quick)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    print(f"total time {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
