#!/usr/bin/env python3
"""Many worker processes on one queue directory: every figure of the
contention goals in one run, each a ratio of figures measured in the same
round, so that the run can be repeated on a quieter machine and compared.

1. Relaxed calls (sync_interval_ms=10**9, 100-byte bodies): enqueue by 1, 2
   and 4 processes, with the processor time each call took, beside bare
   appenders of one file (flock, stat, write, unlock; no queue) by 1 and 4
   processes, and 4 that also read what the others appended; dequeue+ack
   by 1 and by 4 processes (prefilled); as total messages/s and the ratio
   to 1 process.
2. Fair turns: 8 relaxed producers at once; each one's share of all calls,
   printed as the smallest and largest share times 8 (1.0 is an exact
   eighth).
3. A relaxed consumer alone, and beside 8 relaxed producers: its
   messages/s beside them as a ratio to its rate alone, with dequeue+ack
   and with ack_and_dequeue, and its share of all the calls made (times 9:
   1.0 is its fair share of the turns).
4. Durable enqueue (sync_interval_ms=0) by 4 processes beside 4 bare writers
   of one file (flock, write, unlock, fsync; no queue) in the same round,
   and beside 4 bare writers that also do under the lock what a call must
   before it appends (a stat of the log's name, a read of the header and of
   what the others appended); the three take turns in four short runs
   each.
5. A durable consumer in a steady loop, dequeue then ack, and
   ack_and_dequeue (one call acknowledges a delivery and leases the next):
   messages/s beside the bare write+fsync floor, measured in alternating
   0.1 s slices with them; fsyncs per message counted with strace; and on a
   throw-away PostgreSQL server (when one can be started), the server's WAL
   flushes per message for the same loops.

Every figure is the median of --runs rounds, the ratios per round. The load
average is printed at the start and the end: the machine may be shared.

    python bench/bench_contention.py            # about two minutes
    python bench/bench_contention.py --quick    # a few seconds
"""

from __future__ import annotations

import argparse
import fcntl
import functools
import itertools
import multiprocessing as mp
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from typing import Callable, Optional

import tollivane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_multi_process import (bare_writer, floor_rate, per_round, print_table, producer_processes,  # noqa: E402
                                 wait_for_start)

RELAXED = 10**9
BODY = b"m" * 100
HAS_COMBINED_CALL = hasattr(tollivane.TollivaneCore, "ack_and_dequeue")


# --------------------------------------------------------------------------
# worker processes


def consume_steadily(queue, loop: str, more: Callable[[], bool]) -> int:
    """A consumer that settles each message before it takes the next, with
    `ack` then `dequeue` or with `ack_and_dequeue`, while `more()` says so;
    returns how many messages it settled."""
    done = 0
    delivery = queue.dequeue()
    while delivery is not None and more():
        if loop == "dequeue+ack":
            queue.ack(delivery[0])
            delivery = queue.dequeue()
        else:
            delivery = queue.ack_and_dequeue(delivery[0])[1]
        done += 1
    return done


def consume_one(queue) -> bool:
    delivery = queue.dequeue()
    if delivery is None:
        return False
    queue.ack(delivery[0])
    return True


def worker(role: str, directory: str, sync_interval_ms: int, barrier, start_at, seconds: float, results) -> None:
    queue = tollivane.TollivaneCore(directory, sync_interval_ms=sync_interval_ms, auto_compact_bytes=0)
    queue.available()
    begin = wait_for_start(barrier, start_at)
    cpu_before = os.times()
    end = begin + seconds
    done = empty = 0
    if role == "producer":
        while time.monotonic() < end:
            queue.enqueue(BODY)
            done += 1
    elif role == "consumer":
        while time.monotonic() < end:
            if consume_one(queue):
                done += 1
            else:
                empty += 1
    else:  # "combined": one ack_and_dequeue per message
        done = consume_steadily(queue, "ack_and_dequeue", lambda: time.monotonic() < end)
        empty += time.monotonic() < end
    elapsed = time.monotonic() - begin
    cpu_after = os.times()
    cpu = (cpu_after.user - cpu_before.user) + (cpu_after.system - cpu_before.system)
    del queue
    results.put((role, done, empty, elapsed, cpu))


def run_workers(work_dir: str, roles: list[str], sync_interval_ms: int, seconds: float, prefill: int = 0) -> list:
    """Runs one process per role on a fresh directory at once; returns
    (role, done, empty, elapsed, cpu seconds) of each, in the order they
    finished."""
    directory = tempfile.mkdtemp(prefix="contention-", dir=work_dir)
    try:
        seed = tollivane.TollivaneCore(directory, sync_interval_ms=RELAXED, auto_compact_bytes=0)
        for start in range(0, prefill, 10_000):
            seed.enqueue_batch([BODY] * min(10_000, prefill - start))
        seed.flush()
        del seed
        ctx = mp.get_context("fork")
        barrier = ctx.Barrier(len(roles) + 1)
        start_at = ctx.Value("d", 0.0)
        results = ctx.Queue()
        processes = [ctx.Process(target=worker, args=(role, directory, sync_interval_ms, barrier, start_at, seconds,
                                                       results)) for role in roles]
        for p in processes:
            p.start()
        barrier.wait()
        start_at.value = time.monotonic() + 0.05
        barrier.wait()
        outcome = [results.get(timeout=seconds + 120) for _ in processes]
        for p in processes:
            p.join()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return outcome


def total_rate(outcome: list, role: str) -> float:
    window = max(elapsed for _, _, _, elapsed, _ in outcome)
    return sum(done for r, done, _, _, _ in outcome if r == role) / window


def cpu_per_call_us(outcome: list) -> float:
    """The processor time the processes used, per call they made."""
    return 1e6 * sum(cpu for *_, cpu in outcome) / max(1, sum(done for _, done, *_ in outcome))


def share_of_calls(outcome: list, role: str, calls_per_message: int) -> float:
    """The share of all calls that the processes of `role` made, times the
    number of processes: 1.0 when they had exactly their turn. A consumer's
    calls that found the queue empty count too."""
    def calls(r: str, done: int, empty: int) -> int:
        return done * (calls_per_message if r == role else 1) + empty

    mine = sum(calls(r, done, empty) for r, done, empty, *_ in outcome if r == role)
    every = sum(calls(r, done, empty) for r, done, empty, *_ in outcome)
    return len(outcome) * mine / max(1, every) / sum(1 for r, *_ in outcome if r == role)


def empties_in(outcome: list) -> int:
    return sum(empty for _, _, empty, *_ in outcome)


def in_turns(seconds: float, runs: dict[str, Callable[[float], float]], turns: int = 4) -> dict[str, float]:
    """The rates of several runs, each made in `turns` short runs taken in
    turn with the others', so that the drift of fsync latency from one
    second to the next lands on all of them alike."""
    totals = {name: 0.0 for name in runs}
    for _ in range(turns):
        for name, run in runs.items():
            totals[name] += run(seconds / turns)
    return {name: total / turns for name, total in totals.items()}


def catching_up_writer(directory: str, barrier, start_at, seconds: float, results, durable: bool = True,
                       catch_up: bool = True) -> None:
    """A bare writer of one shared file that, under the lock, does what a
    call of the queue must before it appends: look at the log's name for a
    replacement, then (with `catch_up`) read the header and what the others
    appended since its last call; it fsyncs after the unlock when `durable`."""
    path = os.path.join(directory, "bare.log")
    log = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    reader = os.open(path, os.O_RDONLY)
    lock = os.open(os.path.join(directory, "bare.lock"), os.O_RDWR | os.O_CREAT, 0o644)
    record = b"r" * (len(BODY) + 33)
    begin = wait_for_start(barrier, start_at)
    done = seen = 0
    while time.monotonic() < begin + seconds:
        fcntl.flock(lock, fcntl.LOCK_EX)
        size = os.stat(path).st_size
        if catch_up and size > seen:
            os.pread(reader, 16, 0)
            os.pread(reader, size - seen, seen)
        os.write(log, record)
        seen = size + len(record)
        fcntl.flock(lock, fcntl.LOCK_UN)
        if durable:
            os.fsync(log)
        done += 1
    for fd in (lock, reader, log):
        os.close(fd)
    results.put(done)


relaxed_bare_writer = functools.partial(catching_up_writer, durable=False, catch_up=False)
relaxed_catching_up_writer = functools.partial(catching_up_writer, durable=False)


# --------------------------------------------------------------------------
# fsyncs per message of a durable consumer


STRACE_CHILD = textwrap.dedent(
    """
    import itertools, sys, tollivane
    sys.path.insert(0, sys.argv[4])
    from bench_contention import consume_steadily
    directory, loop, messages = sys.argv[1], sys.argv[2], int(sys.argv[3])
    queue = tollivane.TollivaneCore(directory, auto_compact_bytes=0)
    count = itertools.count()
    consume_steadily(queue, loop, lambda: next(count) < messages)
    """
)


def fsyncs_in(directory: str, loop: str, messages: int, out: str) -> int:
    subprocess.run(["strace", "-f", "-c", "-e", "trace=fsync,fdatasync", "-o", out, sys.executable, "-c",
                    STRACE_CHILD, directory, loop, str(messages), os.path.dirname(os.path.abspath(__file__))],
                   check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        for line in f:
            parts = line.split()
            if len(parts) in (5, 6) and parts[-1] == "fsync" and parts[3].isdigit():
                return int(parts[3])
    return 0


def fsyncs_per_message(work_dir: str, loop: str, fewer: int, more: int) -> float:
    counts = []
    for messages in (fewer, more):
        directory = tempfile.mkdtemp(prefix="fsyncs-", dir=work_dir)
        try:
            seed = tollivane.TollivaneCore(directory, sync_interval_ms=RELAXED, auto_compact_bytes=0)
            seed.enqueue_batch([BODY] * (messages + 2))
            del seed
            counts.append(fsyncs_in(directory, loop, messages, os.path.join(work_dir, "strace.out")))
        finally:
            shutil.rmtree(directory, ignore_errors=True)
    return (counts[1] - counts[0]) / (more - fewer)


def durable_consumers(work_dir: str, loops: list[str], seconds: float) -> dict[str, float]:
    """Messages/s of a durable consumer with each loop, and of the bare
    write+fsync floor, measured in alternating 0.1 s slices: fsync latency
    here swings several-fold from one second to the next."""
    directories = [tempfile.mkdtemp(prefix="durable-consumer-", dir=work_dir) for _ in loops]
    floor_fd = os.open(os.path.join(work_dir, "consumer-floor.log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        queues = [tollivane.TollivaneCore(d, auto_compact_bytes=0) for d in directories]
        for queue in queues:
            queue.enqueue_batch([BODY] * 100_000)
        done = {loop: 0 for loop in loops + ["floor"]}
        record = b"r" * (len(BODY) + 33)
        slices = max(1, int(seconds / 0.1))
        for _ in range(slices):
            for loop, queue in zip(loops, queues):
                end = time.monotonic() + 0.1
                done[loop] += consume_steadily(queue, loop, lambda: time.monotonic() < end)
            end = time.monotonic() + 0.1
            while time.monotonic() < end:
                os.write(floor_fd, record)
                os.fsync(floor_fd)
                done["floor"] += 1
        del queues
    finally:
        os.close(floor_fd)
        for d in directories:
            shutil.rmtree(d, ignore_errors=True)
    return {loop: n / (slices * 0.1) for loop, n in done.items()}


def postgres_flushes_per_message(messages: int) -> Optional[dict[str, float]]:
    """WAL flushes of the server per message, for each loop, or None when
    no server can be started here."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
    try:
        from postgres_server import PostgresServer
        from tollivane_postgres import PostgresQueue
        server = PostgresServer(durable=True)
        server.start()
    except Exception as error:  # noqa: BLE001 - any reason means: no figure
        print(f"  (PostgreSQL: no server could be started: {error})")
        return None
    figures = {}
    try:
        import psycopg

        with psycopg.connect(server.conninfo, autocommit=True) as stats:
            def wal_syncs() -> int:
                return int(stats.execute("SELECT wal_sync FROM pg_stat_wal").fetchone()[0])

            loops = ["dequeue+ack"] + (["ack_and_dequeue"] if hasattr(PostgresQueue, "ack_and_dequeue") else [])
            for number, loop in enumerate(loops):
                name = f"flushes{number}"
                setup = PostgresQueue(server.conninfo, name)
                setup.enqueue_batch([BODY] * (messages + 2))
                setup.close()
                # A server process reports its statistics when it ends (and
                # now and then before): the loop's own connection is closed
                # before they are read, and the setup's before it starts.
                time.sleep(0.5)
                before = wal_syncs()
                queue = PostgresQueue(server.conninfo, name)
                count = itertools.count()
                consume_steadily(queue, loop, lambda: next(count) < messages)
                queue.close()
                time.sleep(0.5)
                figures[loop] = (wal_syncs() - before) / messages
    finally:
        server.remove()
    return figures


# --------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one short round of everything")
    parser.add_argument("--runs", type=int, default=None, help="rounds (default 3; 1 with --quick)")
    parser.add_argument("--seconds", type=float, default=None, help="length of one run (default 2; 0.5 with --quick)")
    parser.add_argument("--dir", default=None, help="where to make the queue directories (default: the temp dir)")
    parser.add_argument("--no-postgres", action="store_true", help="skip the PostgreSQL figures")
    args = parser.parse_args()
    runs = args.runs if args.runs is not None else (1 if args.quick else 3)
    seconds = args.seconds if args.seconds is not None else (0.5 if args.quick else 2.0)
    # Enough that no consumer runs dry: a relaxed consumer alone moves about
    # 100,000 messages a second here.
    prefill = int(250_000 * seconds)

    work_dir = tempfile.mkdtemp(prefix="tollivane-contention-", dir=args.dir)
    started = time.perf_counter()
    print(f"tollivane {getattr(tollivane, '__version__', '')}, {os.cpu_count()} cores, queue directories under "
          f"{os.path.dirname(work_dir)}, load average at start {os.getloadavg()[0]:.2f}")
    rounds: list[dict[str, float]] = []
    empties = 0
    try:
        for _ in range(runs):
            r: dict[str, float] = {}
            for processes in (1, 2, 4):
                outcome = run_workers(work_dir, ["producer"] * processes, RELAXED, seconds)
                r[f"enqueue {processes}"] = total_rate(outcome, "producer")
                r[f"enqueue {processes} cpu"] = cpu_per_call_us(outcome)
            for processes in (1, 4):
                r[f"bare relaxed {processes}"] = producer_processes(work_dir, processes, seconds, relaxed_bare_writer)
            r["catching-up relaxed 4"] = producer_processes(work_dir, 4, seconds, relaxed_catching_up_writer)
            outcome = run_workers(work_dir, ["consumer"], RELAXED, seconds, prefill)
            r["consume 1"] = total_rate(outcome, "consumer")
            empties += empties_in(outcome)
            outcome = run_workers(work_dir, ["consumer"] * 4, RELAXED, seconds, prefill)
            r["consume 4"] = total_rate(outcome, "consumer")
            empties += empties_in(outcome)
            outcome = run_workers(work_dir, ["producer"] * 8, RELAXED, seconds)
            total = sum(done for _, done, *_ in outcome)
            shares = [8 * done / total for _, done, *_ in outcome]
            r["share min"], r["share max"] = min(shares), max(shares)
            outcome = run_workers(work_dir, ["consumer"] + ["producer"] * 8, RELAXED, seconds, prefill)
            r["consumer beside 8"] = total_rate(outcome, "consumer")
            r["producers beside consumer"] = total_rate(outcome, "producer")
            r["consumer turns"] = share_of_calls(outcome, "consumer", calls_per_message=2)
            empties += empties_in(outcome)
            if HAS_COMBINED_CALL:
                outcome = run_workers(work_dir, ["combined"], RELAXED, seconds, prefill)
                r["combined 1"] = total_rate(outcome, "combined")
                outcome = run_workers(work_dir, ["combined"] + ["producer"] * 8, RELAXED, seconds, prefill)
                r["combined beside 8"] = total_rate(outcome, "combined")
                r["combined turns"] = share_of_calls(outcome, "combined", calls_per_message=1)
                empties += empties_in(outcome)
            r["floor"] = floor_rate(work_dir, seconds)
            r["durable 1"] = total_rate(run_workers(work_dir, ["producer"], 0, seconds), "producer")
            r.update(in_turns(seconds, {
                "durable 4": lambda s: total_rate(run_workers(work_dir, ["producer"] * 4, 0, s), "producer"),
                "bare 4": lambda s: producer_processes(work_dir, 4, s, bare_writer),
                "catching-up 4": lambda s: producer_processes(work_dir, 4, s, catching_up_writer),
            }))
            consumers = durable_consumers(work_dir, ["dequeue+ack"] + (["ack_and_dequeue"] if HAS_COMBINED_CALL else []),
                                          seconds)
            r["durable consumer"] = consumers["dequeue+ack"]
            r["durable combined"] = consumers.get("ack_and_dequeue", 0.0)
            r["consumer floor"] = consumers["floor"]
            rounds.append(r)

        median, ratio = per_round(rounds)

        def spread(key: str) -> str:
            return f"{median(key):.2f} ({', '.join(f'{r[key]:.2f}' for r in rounds)})"

        print()
        print(f"{seconds:g} s per run, median of {runs} round(s); ratios per round in brackets")
        rows = [
            ["relaxed enqueue, 1 process", f"{median('enqueue 1'):,.0f}/s",
             f"{median('enqueue 1 cpu'):.1f} us of processor time per call"],
            ["relaxed enqueue, 2 processes", f"{median('enqueue 2'):,.0f}/s", ratio("enqueue 2", "enqueue 1")
             + f" of 1 process; {median('enqueue 2 cpu'):.1f} us per call"],
            ["relaxed enqueue, 4 processes", f"{median('enqueue 4'):,.0f}/s", ratio("enqueue 4", "enqueue 1")
             + f" of 1 process; {median('enqueue 4 cpu'):.1f} us per call"],
            ["bare appends (flock, stat, write, unlock), 1 process", f"{median('bare relaxed 1'):,.0f}/s", ""],
            ["... 4 processes", f"{median('bare relaxed 4'):,.0f}/s", ratio("bare relaxed 4", "bare relaxed 1")
             + " of 1 process"],
            ["... 4 processes that also read the others' appends", f"{median('catching-up relaxed 4'):,.0f}/s",
             ratio("catching-up relaxed 4", "bare relaxed 1") + " of 1 process"],
            ["relaxed dequeue+ack, 1 process", f"{median('consume 1'):,.0f}/s", ""],
            ["relaxed dequeue+ack, 4 processes", f"{median('consume 4'):,.0f}/s", ratio("consume 4", "consume 1")
             + " of 1 process"],
            ["8 relaxed producers: smallest share x 8", "", spread("share min")],
            ["8 relaxed producers: largest share x 8", "", spread("share max")],
            ["relaxed consumer beside 8 producers", f"{median('consumer beside 8'):,.0f}/s",
             ratio("consumer beside 8", "consume 1") + " of alone"],
            ["... the 8 producers meanwhile", f"{median('producers beside consumer'):,.0f}/s", ""],
            ["... its share of all calls x 9 (1.0 is a fair share)", "", spread("consumer turns")],
        ]
        if HAS_COMBINED_CALL:
            rows += [
                ["relaxed consumer by ack_and_dequeue, alone", f"{median('combined 1'):,.0f}/s", ""],
                ["... beside 8 producers", f"{median('combined beside 8'):,.0f}/s",
                 ratio("combined beside 8", "combined 1") + " of alone"],
                ["... its share of all calls x 9", "", spread("combined turns")],
            ]
        rows += [
            ["bare write+fsync, one writer (floor)", f"{median('floor'):,.0f}/s", ""],
            ["durable enqueue, 1 process", f"{median('durable 1'):,.0f}/s", ratio("durable 1", "floor")
             + " of the floor"],
            ["durable enqueue, 4 processes", f"{median('durable 4'):,.0f}/s", ratio("durable 4", "bare 4")
             + " of 4 bare writers"],
            ["4 bare writers: flock, write, unlock, fsync", f"{median('bare 4'):,.0f}/s", ratio("bare 4", "floor")
             + " of the floor"],
            ["4 bare writers that also catch up under the lock", f"{median('catching-up 4'):,.0f}/s",
             ratio("catching-up 4", "bare 4") + " of 4 bare writers"],
            ["bare write+fsync, in slices beside the consumers", f"{median('consumer floor'):,.0f}/s", ""],
            ["durable consumer, dequeue then ack", f"{median('durable consumer'):,.0f}/s",
             ratio("durable consumer", "consumer floor") + " of that floor"],
        ]
        if HAS_COMBINED_CALL:
            rows.append(["durable consumer, ack_and_dequeue", f"{median('durable combined'):,.0f}/s",
                         ratio("durable combined", "consumer floor") + " of that floor"])
        print_table(["figure", "rate", "ratio"], rows, left={0, 2})
        if empties:
            print(f"  note: consumers found the queue empty {empties} times")

        print()
        fewer, more = (50, 250) if args.quick else (200, 1000)
        print(f"fsyncs per message of a durable consumer in a steady loop (strace, difference of {fewer} and {more} "
              f"messages; PostgreSQL: the server's WAL syncs over {more} messages)")
        rows = []
        if shutil.which("strace") is None:
            print("  strace not found: skipped")
        else:
            loops = ["dequeue+ack"] + (["ack_and_dequeue"] if HAS_COMBINED_CALL else [])
            for loop in loops:
                rows.append([f"TollivaneCore, {loop}", f"{fsyncs_per_message(work_dir, loop, fewer, more):.2f}"])
        if not args.no_postgres:
            flushes = postgres_flushes_per_message(more)
            for loop, value in (flushes or {}).items():
                rows.append([f"PostgresQueue, {loop} (WAL flushes)", f"{value:.2f}"])
        if rows:
            print_table(["loop", "per message"], rows, left={0})
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    print(f"load average at the end {os.getloadavg()[0]:.2f}; total time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
