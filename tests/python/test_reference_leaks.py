"""Calls, successful or refused, must not keep references or memory behind."""

import gc
import os
import shutil
import sys
import tempfile
import tracemalloc
from pathlib import Path

import pytest

import tollivane

pytestmark = pytest.mark.quick


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _exercise_every_method(queue, body, bodies, seqs):
    seq = queue.enqueue(body)
    queue.enqueue_batch(bodies)
    queue.dequeue(lease_ms=Index(0))
    queue.dequeue_batch(Index(3), lease_ms=0)
    queue.extend_lease(seq, 1)
    queue.nack(seq, requeue=True)
    queue.nack(seq, requeue=False)
    queue.ack(Index(seq + 1))
    queue.ack_batch(seqs)
    queue.available()
    queue.in_flight()
    queue.stats()
    queue.oldest_ready_ts_ms()
    queue.flush()
    queue.compact()
    queue.verify_integrity()
    queue.dequeue_wait(Index(0), lease_ms=0)
    queue.dequeue_batch_wait(Index(2), 0, lease_ms=0)
    queue.next_due_ms()
    for method, args, kwargs in ((queue.enqueue, (), {"body": body}), (queue.ack, (seq,), {})):
        try:
            queue._nowait(method, *args, **kwargs)
        except BlockingIOError:
            pass  # refused where it would have waited for the disk
    with queue.watch_changes() as watch:
        watch.fileno()
        watch.clear()


BAD_CALLS = [
    lambda q: q.enqueue("text"),
    lambda q: q.enqueue([1, 2, 256]),
    lambda q: q.enqueue([1, "x"]),
    lambda q: q.enqueue_batch([b"ok", 5]),
    lambda q: q.ack(-1),
    lambda q: q.ack(2**64),
    lambda q: q.ack_batch([1, None]),
    lambda q: q.nack(0, requeue=1),
    lambda q: q.dequeue(lease_ms=1.5),
    lambda q: q.dequeue_batch(-1),
    lambda q: q.extend_lease(0, lease_ms="x"),
    lambda q: q.stats(1),
    lambda q: q.ack(seq=1, extra=2),
    lambda q: q.dequeue_wait(-1),
    lambda q: q.dequeue_batch_wait(1, "x"),
    lambda q: q._nowait(q.enqueue, "text"),
    lambda q: q._nowait(len, b"x"),
    lambda q: q._nowait(),
]


def test_arguments_are_not_kept_alive_by_successful_or_refused_calls():
    queue = tollivane.TollivaneCore(":memory:")
    body = bytes(range(50))
    bodies = [b"first", bytearray(b"second"), [1, 2, 3]]
    seqs = [0, 1, 2, 10**6]
    tracked = [body, bodies, seqs, *bodies]
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(50):
        _exercise_every_method(queue, body, bodies, seqs)
        for call in BAD_CALLS:
            with pytest.raises((TypeError, OverflowError)):
                call(queue)
    assert [sys.getrefcount(obj) for obj in tracked] == before


def test_memory_stays_flat_over_many_calls_and_errors():
    queue = tollivane.TollivaneCore(":memory:")
    body = b"x" * 200
    bodies = [b"a" * 100] * 4

    def run(rounds):
        for _ in range(rounds):
            _exercise_every_method(queue, body, bodies, [0, 1, 2, 3])
            for call in BAD_CALLS:
                try:
                    call(queue)
                except (TypeError, OverflowError):
                    pass
            queue.purge()

    run(200)  # warm caches and free lists
    gc.collect()
    tracemalloc.start()
    try:
        baseline, _ = tracemalloc.get_traced_memory()
        run(2000)
        gc.collect()
        grown, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak of one result or exception object per call would be hundreds of
    # kilobytes here; allow only allocator noise.
    assert grown - baseline < 64 * 1024


# -- every method and every error path of a persistent queue, many times -------
#
# Quick by default; TOLLIVANE_LONG=1 runs the loop long enough that a leak of
# a few bytes per call would show in the process's resident size.
LONG = os.environ.get("TOLLIVANE_LONG") == "1"
ROUNDS = 50_000 if LONG else 1000
# Under AddressSanitizer freed memory sits in quarantine and the resident
# size says nothing; the sanitizer run checks references and objects only.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Calls that must fail with OSError once the queue's directory is gone (the
# next call finds the log missing and cannot recreate it), or holds a file
# that is not a queue log.
IO_FAILING_CALLS = [
    lambda q, b: q.enqueue(b),
    lambda q, b: q.enqueue_batch([b, b]),
    lambda q, b: q.dequeue(),
    lambda q, b: q.dequeue_batch(5, lease_ms=10),
    lambda q, b: q.ack(0),
    lambda q, b: q.ack_batch([0, 1]),
    lambda q, b: q.nack(0, requeue=False),
    lambda q, b: q.extend_lease(0, 5),
    lambda q, b: q.available(),
    lambda q, b: q.in_flight(),
    lambda q, b: q.stats(),
    lambda q, b: q.oldest_ready_ts_ms(),
    lambda q, b: q.compact(),
    lambda q, b: q.purge(),
    lambda q, b: q.verify_integrity(),
    lambda q, b: q.dequeue_wait(5),
    lambda q, b: q.next_due_ms(),
]

BAD_CONSTRUCTIONS = [
    (TypeError, lambda d: tollivane.TollivaneCore(5)),
    (TypeError, lambda d: tollivane.TollivaneCore(d, bogus=1)),
    (OverflowError, lambda d: tollivane.TollivaneCore(d, sync_interval_ms=-1)),
    (TypeError, lambda d: tollivane.TollivaneCore(d, default_lease_ms="1")),
    (OSError, lambda d: tollivane.TollivaneCore(d + "/queue.log")),          # a file, not a directory
    (OSError, lambda d: tollivane.TollivaneCore(d + "/" + "x" * 300)),      # a name too long
]


def scratch_root():
    """tmpfs when there is one: the loop fsyncs at every compaction."""
    shm = Path("/dev/shm")
    return tempfile.mkdtemp(prefix="tollivane-leaks-", dir=shm if os.access(shm, os.W_OK) else None)


def persistent_round(root, body, bodies, seqs):
    directory = os.path.join(root, "q")
    queue = tollivane.TollivaneCore(directory, sync_interval_ms=1_000_000, auto_compact_bytes=1)
    _exercise_every_method(queue, body, bodies, seqs)  # acks compact automatically here
    for call in BAD_CALLS:
        try:
            call(queue)
        except (TypeError, OverflowError):
            pass
    # A second object on the directory: catch-up, and a reload after the
    # first one's purge raised the generation.
    other = tollivane.TollivaneCore(directory)
    other.enqueue(body)
    queue.purge()
    assert other.stats()["total"] == 0
    # Waits that find nothing: a watch armed, slept on and given back.
    assert queue.dequeue_batch_wait(2, 1) == [] and other.dequeue_wait(1) is None
    # Opened by a path-like object and closed by a with block; a closed
    # object refuses calls and the finalizer has nothing left to do.
    with tollivane.TollivaneCore(Path(directory)) as closing:
        closing.enqueue(body)
    with pytest.raises(ValueError):
        closing.enqueue(body)
    closing.close()
    for expected, construct in BAD_CONSTRUCTIONS:
        try:
            construct(directory)
        except expected:
            pass
        else:
            raise AssertionError("constructed")
    # The directory vanishes under both objects, then holds a foreign file.
    shutil.rmtree(directory)
    for call in IO_FAILING_CALLS:
        try:
            call(queue, body)
        except OSError:
            pass
        else:
            raise AssertionError("no OSError")
    os.mkdir(directory)
    Path(directory, "queue.log").write_bytes(b"not a queue log at all")
    for failing in (lambda: other.enqueue(body), lambda: tollivane.TollivaneCore(directory)):
        try:
            failing()
        except OSError:
            pass
        else:
            raise AssertionError("no OSError")
    del queue, other
    shutil.rmtree(directory)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# CPython rebuilds its table of interned strings now and then (stats() keys
# are interned at every call and freed after it), which shows up as one
# block of about a megabyte that comes and goes. A leak shows as more blocks.
LARGE_BLOCK = 256 * 1024


def traced_blocks():
    """How many blocks the interpreter's allocator holds, and their bytes
    without the large ones."""
    traces = tracemalloc.take_snapshot().traces
    return len(traces), sum(trace.size for trace in traces if trace.size < LARGE_BLOCK)


def test_every_method_and_error_path_of_a_persistent_queue_leaks_nothing():
    root = scratch_root()
    body = b"persistent body " * 8
    bodies = [b"one", bytearray(b"two"), [3, 3, 3]]
    seqs = [0, 1, 2, 2**63]
    tracked = [body, bodies, seqs, *bodies]
    tracemalloc.start()
    try:
        for _ in range(50):  # warm caches, free lists and the allocator
            persistent_round(root, body, bodies, seqs)
        gc.collect()
        refs = [sys.getrefcount(obj) for obj in tracked]
        objects = len(gc.get_objects())
        rss = rss_bytes()
        descriptors = len(os.listdir("/proc/self/fd"))
        blocks, traced = traced_blocks()
        for _ in range(ROUNDS):
            persistent_round(root, body, bodies, seqs)
        gc.collect()
        blocks_after, traced_after = traced_blocks()
        rss_growth = rss_bytes() - rss
        descriptor_growth = len(os.listdir("/proc/self/fd")) - descriptors
        object_growth = len(gc.get_objects()) - objects
    finally:
        tracemalloc.stop()
        shutil.rmtree(root, ignore_errors=True)
    ref_growth = sum(sys.getrefcount(obj) for obj in tracked) - sum(refs)
    calls = ROUNDS * (17 + len(BAD_CALLS) + len(BAD_CONSTRUCTIONS) + len(IO_FAILING_CALLS) + 13)
    print(f"\nleak loop: {ROUNDS} rounds, {calls} calls; growth: references {ref_growth}, "
          f"gc objects {object_growth}, traced blocks {blocks_after - blocks} "
          f"({traced_after - traced} B), resident {rss_growth} B, descriptors {descriptor_growth}")
    assert [sys.getrefcount(obj) for obj in tracked] == refs
    assert object_growth <= 10
    assert descriptor_growth <= 0
    # Free lists and caches settle within a few dozen blocks; one leaked
    # object per round would be ROUNDS blocks.
    assert blocks_after - blocks < max(100, ROUNDS // 20)
    assert traced_after - traced < 64 * 1024
    if not SANITIZED:
        # A leak the interpreter does not see (a native buffer per failed
        # call) must show in the resident size: 2 MiB is 40 bytes a call
        # over the quick loop and under one over the long one.
        assert rss_growth < 2 * 1024 * 1024


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_close_releases_descriptors_and_map_while_the_object_lives(tmp_path):
    directory = tmp_path / "q"
    before = open_descriptors()
    queue = tollivane.TollivaneCore(directory)
    other = tollivane.TollivaneCore(directory)
    queue.enqueue(b"mapped")
    assert queue.dequeue()[1] == b"mapped"  # a body read maps the log
    assert open_descriptors() > before
    queue.close()
    assert other.available() == 0  # the other object keeps its own files
    other.close()
    assert open_descriptors() == before
    with open("/proc/self/maps") as maps:
        assert str(directory / "queue.log") not in maps.read()
    for _ in range(100):
        with tollivane.TollivaneCore(directory) as cycled:
            cycled.enqueue(b"again")
        with tollivane.TollivaneCore(":memory:") as in_memory:
            in_memory.enqueue(b"gone")
    assert open_descriptors() == before
    assert tollivane.TollivaneCore(directory).available() == 100


def test_a_body_too_large_for_a_record_is_refused_without_keeping_it():
    queue = tollivane.TollivaneCore(":memory:")
    too_large = bytes(536870892)
    before = sys.getrefcount(too_large)
    with pytest.raises(ValueError):
        queue.enqueue(too_large)
    with pytest.raises(ValueError):
        queue.enqueue_batch([b"ok", too_large])
    assert sys.getrefcount(too_large) == before
    assert queue.stats()["total"] == 0
