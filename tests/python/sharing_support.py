"""Helpers for tests where several queue objects and processes share one
directory: a queue object living in a spawned process and driven step by
step from the test, and the worker functions that spawned processes run
(they must be importable by module name). The workers also run on a queue
in PostgreSQL."""

import contextlib
import multiprocessing
import random
import subprocess
import sys
import threading
import time
import traceback

from tollivane import TollivaneCore

SPAWN = multiprocessing.get_context("spawn")


def _serve(path, options, conn):
    queue = TollivaneCore(path, **options)
    conn.send("ready")
    while True:
        request = conn.recv()
        if request is None:
            return
        name, args = request
        try:
            conn.send(("ok", getattr(queue, name)(*args)))
        except Exception as exc:  # handed back so the test sees it
            conn.send(("error", exc))


class RemoteQueue:
    """A queue object opened in another process; each method call runs there
    and returns its result, so a test can interleave processes exactly."""

    def __init__(self, path, **options):
        self._conn, child_conn = SPAWN.Pipe()
        self._process = SPAWN.Process(target=_serve, args=(str(path), options, child_conn), daemon=True)
        self._process.start()
        child_conn.close()
        if not self._conn.poll(30):
            raise RuntimeError("queue process did not start")
        assert self._conn.recv() == "ready"

    def __getattr__(self, name):
        def call(*args):
            self._conn.send((name, args))
            if not self._conn.poll(60):
                raise RuntimeError(f"queue process did not answer {name}")
            status, value = self._conn.recv()
            if status == "error":
                raise value
            return value

        return call

    def close(self):
        self._conn.send(None)
        self._process.join(30)
        assert self._process.exitcode == 0


def open_shared(where, **options):
    """A new object on the shared queue `where`: a directory path, or the
    (conninfo, name) pair of a queue in PostgreSQL."""
    if isinstance(where, tuple):
        from tollivane_postgres import PostgresQueue

        return PostgresQueue(*where, **options)
    return TollivaneCore(where, **options)


def open_async(where, **options):
    """As open_shared, the asyncio face of the queue."""
    if isinstance(where, tuple):
        from tollivane_asyncio import AsyncPostgresQueue

        return AsyncPostgresQueue(*where, **options)
    from tollivane_asyncio import AsyncQueue

    return AsyncQueue(where, **options)


def _report(results, work, *args):
    # A failing worker reports its traceback, so that the test fails at once
    # instead of waiting for a result that never comes.
    try:
        results.put(work(*args))
    except Exception:
        results.put(("failed", traceback.format_exc()))


def produce(path, sync_interval_ms, count, name, results):
    _report(results, _produce, path, sync_interval_ms, count, name)


def _produce(path, sync_interval_ms, count, name):
    queue = open_shared(path, sync_interval_ms=sync_interval_ms)
    rng = random.Random(name)
    produced = {}
    while len(produced) < count:
        size = min(rng.randint(1, 6), count - len(produced))
        bodies = [f"{name}-{len(produced) + i}".encode() * rng.randint(1, 4) for i in range(size)]
        if rng.random() < 0.2:  # due a little later
            delay_ms = rng.choice([0, 5, 30])
            ids = queue.enqueue_batch_delayed(bodies, delay_ms) if len(bodies) > 1 else [
                queue.enqueue_delayed(bodies[0], delay_ms)]
        else:
            ids = queue.enqueue_batch(bodies) if len(bodies) > 1 else [queue.enqueue(bodies[0])]
        produced.update(zip(ids, bodies))
    return ("produced", produced)


def _settle(queue, seq, count, rng):
    """Settles one delivery at random; returns "ack" or "dead" when the
    settlement took effect, None when the message stays live."""
    roll = rng.random()
    if roll < 0.35:
        return "ack" if queue.ack(seq) else None
    if roll < 0.50:  # only while it is still this delivery
        return "ack" if queue.ack_delivery(seq, count) else None
    if roll < 0.55:
        return "ack" if queue.ack_batch([seq, seq]) == 1 else None
    if roll < 0.70:
        queue.nack(seq)
    elif roll < 0.80:
        return "dead" if queue.nack(seq, requeue=False) else None
    elif roll < 0.88:
        return "ack" if queue.extend_lease(seq, 500) and queue.ack(seq) else None
    elif roll < 0.89:
        queue.compact()
    elif roll < 0.92:
        queue.retry(seq, rng.choice([0, 20]), deliveries=count)
    elif roll < 0.94:
        queue.bury(seq, deliveries=count)  # kicked back when nothing else is ready
    # Otherwise the lease is abandoned, as by a crashed consumer, and the
    # message must come back when it expires.
    return None


def consume(path, sync_interval_ms, name, producers_done, time_limit_s, results, threads=1):
    _report(results, _consume_in_threads, path, sync_interval_ms, name, producers_done, time_limit_s, threads)


def _consume_in_threads(path, sync_interval_ms, name, producers_done, time_limit_s, threads):
    """Runs `threads` consumers, each with an object of its own, and merges
    what they report."""
    outcomes = [None] * threads

    def run(i):
        try:
            outcomes[i] = _consume(path, sync_interval_ms, f"{name}.{i}", producers_done, time_limit_s)
        except Exception:
            outcomes[i] = ("failed", traceback.format_exc())

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    failed = [outcome for outcome in outcomes if outcome[0] == "failed"]
    if failed:
        return failed[0]
    return ("consumed", [d for o in outcomes for d in o[1]], [s for o in outcomes for s in o[2]])


def _consume(path, sync_interval_ms, name, producers_done, time_limit_s):
    """Dequeues with short leases and settles at random; reports every
    delivery and every settlement that took effect."""
    queue = open_shared(path, sync_interval_ms=sync_interval_ms)
    rng = random.Random(name)
    deliveries, settled = [], []
    give_up = time.monotonic() + time_limit_s
    while time.monotonic() < give_up:
        lease_ms = rng.choice([1, 10, 50, 200])
        # Now and then a consumer waits for what others enqueue, requeue or
        # let expire, instead of looking again after a pause.
        wait_ms = rng.choice([0, 0, 0, 30])
        # dequeue_batch always syncs, so it is used only now and then.
        if rng.random() < 0.1:
            size = rng.randint(2, 5)
            batch = queue.dequeue_batch_wait(size, wait_ms, lease_ms) if wait_ms else queue.dequeue_batch(size, lease_ms)
        else:
            batch = [queue.dequeue_wait(wait_ms, lease_ms) if wait_ms else queue.dequeue(lease_ms)]
        batch = [delivery for delivery in batch if delivery is not None]
        if not batch:
            if queue.kick_all():
                continue
            if producers_done.is_set() and queue.stats()["total"] == 0:
                break
            if not wait_ms:
                time.sleep(0.002)
            continue
        for seq, body, count, _ in batch:
            deliveries.append((seq, count, body))
            outcome = _settle(queue, seq, count, rng)
            if outcome:
                settled.append((seq, outcome))
    return ("consumed", deliveries, settled)


def enqueue_later(where, delay_s, body):
    """Enqueues `body` after `delay_s`, from a process of its own."""
    queue = open_shared(where)
    time.sleep(delay_s)
    queue.enqueue(body)


def open_at_once(where, barrier, results):
    """Opens a queue (creating it) at the same moment as the other processes
    at `barrier`, and enqueues one message."""
    def work():
        barrier.wait(30)
        return ("enqueued", open_shared(where).enqueue(b"x"))
    _report(results, work)


def produce_until_failure(where, connection):
    """Enqueues until a call fails, sending each id as soon as its enqueue
    has returned, then the failure."""
    queue = open_shared(where)
    try:
        while True:
            seq = queue.enqueue(b"before the crash")
            connection.send(seq)
    except OSError as error:
        connection.send(("failed", str(error)))


# A process holding the lock on .proc_lock (a path, or a descriptor number it
# was handed), as a peer inside a call does. It reports, on its standard
# output, the monotonic time just before it lets go: the clock is shared by
# all processes, so "the call returned after the release" is checked without
# guessing at durations.
HOLDER = r"""
import fcntl, os, select, sys, time
target, how, seconds = sys.argv[1:4]
fd = int(target) if target.isdigit() else os.open(target, os.O_RDWR)
fcntl.flock(fd, fcntl.LOCK_EX)
print("locked", flush=True)
if how == "until-told":
    # Released when a line arrives on stdin, or at the time-out.
    told = select.select([sys.stdin], [], [], float(seconds))[0]
    print("told" if told else "timed out", flush=True)
else:
    time.sleep(float(seconds))
print(time.monotonic(), flush=True)
if how == "die":
    os.kill(os.getpid(), 9)
fcntl.flock(fd, fcntl.LOCK_UN)
time.sleep(60)
"""


@contextlib.contextmanager
def lock_holder(target, seconds, how="release", pass_fds=()):
    child = subprocess.Popen([sys.executable, "-c", HOLDER, str(target), how, str(seconds)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, pass_fds=pass_fds)
    try:
        assert child.stdout.readline() == "locked\n"
        yield child
    finally:
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdout.close()
        child.stdin.close()


def released_at(child):
    return float(child.stdout.readline())
