"""Several queue objects and processes on one directory: every call sees what
the others did before it, ids form one sequence, and no message is leased to
two consumers at once."""

import ast
import collections
import multiprocessing
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS, counters, push_out_postgres_recheck
from sharing_support import SPAWN, RemoteQueue, consume, enqueue_later, open_shared, produce


@pytest.fixture(params=["objects", "processes"])
def peers(request, tmp_path):
    """Two more users of the directory: objects in this process, or objects
    in two spawned processes."""
    if request.param == "objects":
        yield TollivaneCore(str(tmp_path)), TollivaneCore(str(tmp_path))
        return
    remotes = [RemoteQueue(tmp_path), RemoteQueue(tmp_path)]
    yield remotes
    for remote in remotes:
        remote.close()


@pytest.mark.both_backends
@pytest.mark.parametrize("start_method", ["spawn", "forkserver"])
def test_an_open_queue_handed_to_a_new_process_says_to_open_it_there_instead(queue, start_method):
    worker = multiprocessing.get_context(start_method).Process(target=print, args=(queue,))
    with pytest.raises(TypeError, match=r"^cannot pickle '.*' object: .*; give the other process .* open it there"):
        worker.start()
    assert queue.enqueue(b"still usable") == 0


def bodies(deliveries):
    return [(seq, body, count) for seq, body, count, _ in deliveries]


def test_interleaved_calls_see_each_others_effects(tmp_path, peers):
    mine = TollivaneCore(str(tmp_path))
    a, b = peers

    assert mine.enqueue_batch([b"m0", b"m1"]) == [0, 1]
    assert a.enqueue(b"a2") == 2
    assert b.enqueue_batch([b"b3", b"b4"]) == [3, 4]
    assert mine.available() == 5

    # Each consumer gets the smallest id nobody holds, with the body another
    # object wrote.
    assert a.dequeue(LONG_LEASE_MS)[:3] == (0, b"m0", 1)
    assert b.dequeue(LONG_LEASE_MS)[:3] == (1, b"m1", 1)
    assert mine.in_flight() == 2 and mine.available() == 3

    # A nack by one object makes the message the next delivery of another.
    assert b.nack(0) is True
    assert mine.dequeue(LONG_LEASE_MS)[:3] == (0, b"m0", 2)

    # Settlement is by id, from anywhere, and happens once.
    assert a.extend_lease(1, LONG_LEASE_MS) is True
    assert b.ack(1) is True
    assert a.ack(1) is False
    assert a.extend_lease(1) is False
    assert mine.nack(2, requeue=False) is True
    assert b.nack(2) is False

    # A lease that ran out in one object is reclaimed by another's sweep.
    assert a.dequeue(0)[:3] == (3, b"b3", 1)
    assert b.dequeue(LONG_LEASE_MS)[:3] == (3, b"b3", 2)
    assert bodies(mine.dequeue_batch(5, LONG_LEASE_MS)) == [(4, b"b4", 1)]
    assert a.dequeue() is None and b.dequeue_batch(3) == []

    assert b.enqueue(b"b5") == 5
    assert a.enqueue(b"a6") == 6
    views = [mine.stats(), a.stats(), b.stats()]
    assert views[0] == views[1] == views[2]
    assert views[0]["total"] == 5 and views[0]["in_flight"] == 3
    assert views[0]["acked_total"] == 1 and views[0]["dead_total"] == 1


def shared_queue(request, tmp_path, backend):
    """Where the objects of a test meet: the test's directory, or a queue of
    its own on the PostgreSQL test server."""
    if backend == "postgres":
        server = request.getfixturevalue("postgres_server")
        return server.conninfo, request.getfixturevalue("postgres_queues").new_name()
    return str(tmp_path)


@pytest.mark.parametrize("backend", ["directory", "postgres"])
def test_a_waiting_consumer_wakes_for_an_enqueue_by_another_process(request, tmp_path, backend, monkeypatch):
    where = shared_queue(request, tmp_path, backend)
    # PostgreSQL's periodic second look must not be what finds the message.
    if backend == "postgres":
        push_out_postgres_recheck(monkeypatch)
    consumer = open_shared(where)
    producer = SPAWN.Process(target=enqueue_later, args=(where, 0.5, b"from afar"), daemon=True)
    producer.start()
    started = time.monotonic()
    assert consumer.dequeue_wait(60_000, LONG_LEASE_MS)[:3] == (0, b"from afar", 1)
    assert time.monotonic() - started < 30, "the wait ran to its time-out"
    producer.join(30)
    assert producer.exitcode == 0


def test_a_consumer_waiting_on_a_directory_uses_no_cpu(tmp_path):
    queue = TollivaneCore(str(tmp_path))
    used = time.process_time()
    assert queue.dequeue_wait(1500) is None
    assert time.process_time() - used < 0.3


@pytest.mark.parametrize(
    ("backend", "sync_interval_ms", "per_producer", "time_limit_s", "threads"),
    [("directory", 10**6, 1500, 14, 1), ("directory", 0, 150, 10, 1), ("postgres", 0, 300, 10, 2)],
    ids=["deferred-sync", "sync-every-record", "postgres"],
)
def test_producers_and_consumers_settle_every_message_once(
        request, tmp_path, backend, sync_interval_ms, per_producer, time_limit_s, threads):
    path = shared_queue(request, tmp_path, backend)
    # Opened before the run and left alone during it: it must catch up with
    # everything, compactions by a consumer included.
    survivor = open_shared(path, sync_interval_ms=sync_interval_ms)
    survivor.enqueue(b"seed")

    results, producers_done = SPAWN.Queue(), SPAWN.Event()
    producers = [(produce, (path, sync_interval_ms, per_producer, f"p{i}", results)) for i in range(2)]
    # Each consumer process runs `threads` consumers with objects of their own.
    consumers = [(consume, (path, sync_interval_ms, f"c{i}", producers_done, time_limit_s, results, threads))
                 for i in range(2)]
    processes = [SPAWN.Process(target=target, args=args, daemon=True) for target, args in producers + consumers]
    for process in processes:
        process.start()

    def result(kind):
        outcome = results.get(timeout=60)
        assert outcome[0] == kind, outcome[1]
        return outcome[1:]

    produced = {0: b"seed"}
    for _ in producers:
        produced.update(*result("produced"))
    producers_done.set()
    deliveries, settled = [], []
    for _ in consumers:
        delivered, done = result("consumed")
        deliveries += delivered
        settled += done
    for process in processes:
        process.join(30)
        assert process.exitcode == 0

    total = 1 + 2 * per_producer
    assert sorted(produced) == list(range(total))
    # A second lease of a message carries a higher delivery count, so a
    # repeated (id, count) means two consumers held it at once.
    repeated = [key for key, n in collections.Counter((seq, count) for seq, count, _ in deliveries).items() if n > 1]
    assert repeated == []
    assert all(body == produced[seq] for seq, _, body in deliveries)

    settled_ids = collections.Counter(seq for seq, _ in settled)
    assert [seq for seq, n in settled_ids.items() if n > 1] == []

    time.sleep(0.7)  # every lease taken in the run has run out
    report = survivor.verify_integrity()
    assert report["ok"] and report["message"] == "clean"
    survivor_stats = survivor.stats()
    reopened = open_shared(path)
    if backend == "directory":
        assert report["bytes"] == (tmp_path / "queue.log").stat().st_size
        assert reopened.stats() == survivor_stats
    else:
        assert counters(reopened.stats()) == counters(survivor_stats)

    reopened.kick_all()  # what a consumer buried as its time ran out
    live = bodies(reopened.dequeue_batch(total, LONG_LEASE_MS))
    assert len(live) == survivor_stats["total"]
    assert all(body == produced[seq] for seq, body, _ in live)
    live_ids = {seq for seq, _, _ in live}
    assert live_ids.isdisjoint(settled_ids)
    assert live_ids | set(settled_ids) == set(produced)
    # Compactions by a consumer must not have made any id available again.
    assert survivor_stats["next_seq"] == total


def test_the_worker_pool_example_buries_the_failing_job_while_the_others_get_done():
    examples = Path(__file__).resolve().parents[2] / "examples"
    run = subprocess.run([sys.executable, "-c", "import worker_pool; print(repr(worker_pool.main()))"],
                         cwd=examples, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    summary = ast.literal_eval(run.stdout)
    # Retried with a growing delay, buried at the fourth delivery, done once kicked.
    times, outcomes = [e[0] for e in summary["failing"]], [e[2:] for e in summary["failing"]]
    assert outcomes == [(1, "retry in 100 ms"), (2, "retry in 200 ms"), (3, "retry in 400 ms"), (4, "buried"),
                        (5, "done")]
    assert [later - earlier >= gap for earlier, later, gap in zip(times, times[1:], (0.09, 0.19, 0.39))] == [True] * 3
    assert summary["kicked"] == 1
    assert (summary["stats"]["acked_total"], summary["stats"]["total"]) == (51, 0)
