"""The measurements of bench/compare.py: worker processes on one queue,
interleaved single-process slices, the floors (a small C program), and the
strace check of what each configuration's calls really do."""

from __future__ import annotations

import collections
import multiprocessing
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Optional

from compare_peers import CONFIG_BY_KEY, Config, make_body

BATCH = 1000
FLOOR_RECORD_LEN = 133  # the frame of an enqueue of a 100-byte body
SIZES = (100, 64 * 1024)
PROCS = (1, 4)
OPS = ("enqueue", "dequeue+ack", "enqueue_batch", "dequeue_batch+ack_batch")
BATCH_OPS = ("enqueue_batch", "dequeue_batch+ack_batch")


def size_label(size: int) -> str:
    return "100 B" if size == 100 else f"{size // 1024} KiB"


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
# The traced child is the command itself, started with --strace-child.
ENTRY_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare.py")
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
            ["strace", "-f", "-qq", "-o", trace, sys.executable, ENTRY_SCRIPT,
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


@dataclass
class Results:
    medians: dict = field(default_factory=dict)  # (key, op, size, procs) -> rate
    samples: dict = field(default_factory=dict)
    errors: dict = field(default_factory=dict)  # key -> set of messages
    notes: dict = field(default_factory=dict)  # (key, op, size, procs) -> note
    floors: dict = field(default_factory=dict)  # (mode, procs) -> median rate
    floor_ratios: dict = field(default_factory=dict)  # (key, op, procs) -> median ratio
    floor_runs: dict = field(default_factory=dict)  # (mode, procs) -> every floor rate measured
    ratio_runs: dict = field(default_factory=dict)  # (key, op, procs) -> every paired ratio
    strace: dict = field(default_factory=dict)  # key -> what strace_config found
    floor_note: str = ""


def measure_all(configs: list[Config], budget: Budget, runs: int, quick: bool, strace: bool,
                work_dir: str) -> Results:
    """Every figure of the comparison: `runs` rounds over the process counts,
    body sizes and operations, then the strace check."""
    res = Results()
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
                if quick and procs > 1 and size > 1024:
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
    if strace:
        if shutil.which("strace") is None:
            res.strace = {"-": {"error": "strace not installed"}}
        else:
            print("strace check ...", file=sys.stderr, flush=True)
            for c in configs:
                res.strace[c.key] = strace_config(c.key, budget.strace_ops, work_dir)
    res.floor_note = floors.note
    res.floor_runs = floor_samples
    res.ratio_runs = ratio_samples
    return res
