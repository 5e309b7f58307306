"""A queue object created in a parent and used by forked children (the
default start method of multiprocessing on Linux): parent and children must
exclude each other as if each had opened the queue itself. A PostgresQueue
child must also leave the parent's connections alone."""

import collections
import json
import multiprocessing
import os
import threading
import time

import pytest

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS, enqueue_payload, frame, log_path
from sharing_support import lock_holder, open_shared

FORK = multiprocessing.get_context("fork")
CHILDREN = 3
PER_PROCESS = 400


def enqueue_many(queue, name, start, results):
    start.wait()
    produced = {}
    for i in range(PER_PROCESS):
        body = f"{name}-{i}".encode()
        produced[queue.enqueue(body)] = body
    results.put(produced)


def take_all(queue):
    """Dequeues and acks until nothing is ready; each entry records whether
    its ack found the message."""
    taken = []
    while (delivery := queue.dequeue(LONG_LEASE_MS)) is not None:
        seq, body, count, _ = delivery
        taken.append((seq, body, count, queue.ack(seq)))
    return taken


def drain(queue, start, results):
    start.wait()
    results.put(take_all(queue))


def run_with_children(target, queue, parent_work, child_args):
    """Runs target in forked children at the same moment as parent_work in
    the parent, all on the one inherited object; returns every result."""
    start, results = FORK.Barrier(CHILDREN + 1), FORK.Queue()
    children = [
        FORK.Process(target=target, args=(queue, *child_args(i), start, results), daemon=True) for i in range(CHILDREN)
    ]
    for child in children:
        child.start()
    finished = False
    try:
        start.wait(30)
        outcomes = [parent_work()]
        outcomes += [results.get(timeout=60) for _ in children]
        finished = True
    finally:
        # A child whose result was never read cannot exit; do not leave it.
        for child in children:
            child.join(30 if finished else 0.1)
            if child.is_alive():
                child.kill()
                child.join(5)
    assert [child.exitcode for child in children] == [0] * CHILDREN
    return outcomes


def opened_and_used(place):
    # Used before the fork, so handles, offsets and the body map (or the
    # server connection) exist and are inherited.
    queue = open_shared(place, sync_interval_ms=10**6)
    queue.enqueue_batch([b"before fork 0", b"before fork 1"])
    assert queue.dequeue(LONG_LEASE_MS)[:3] == (0, b"before fork 0", 1)
    assert queue.ack(0) is True
    return queue


@pytest.fixture(params=["directory", "postgres"])
def place(request, tmp_path):
    if request.param == "postgres":
        return (request.getfixturevalue("postgres_server").conninfo, request.getfixturevalue("postgres_queues").new_name())
    return str(tmp_path)


def test_concurrent_enqueues_through_an_inherited_object_get_unique_ids(tmp_path):
    queue = opened_and_used(str(tmp_path))

    def parent_work():
        return {queue.enqueue(b"parent-%d" % i): b"parent-%d" % i for i in range(PER_PROCESS)}

    outcomes = run_with_children(enqueue_many, queue, parent_work, lambda i: (f"child{i}",))

    ids = [seq for produced in outcomes for seq in produced]
    total = 2 + (CHILDREN + 1) * PER_PROCESS
    assert sorted(ids) == list(range(2, total))
    report = queue.verify_integrity()
    assert report["ok"] and report["records"] == total + 2  # and the lease and ack before the fork
    assert queue.stats()["next_seq"] == total
    reopened = TollivaneCore(str(tmp_path))
    expected = {seq: body for produced in outcomes for seq, body in produced.items()}
    assert [d[:2] for d in reopened.dequeue_batch(total, LONG_LEASE_MS)] == [(1, b"before fork 1")] + sorted(expected.items())


def test_concurrent_consumers_through_an_inherited_object_take_each_message_once(place):
    queue = opened_and_used(place)
    bodies = [b"work %d" % i for i in range((CHILDREN + 1) * PER_PROCESS)]
    queue.enqueue_batch(bodies)

    outcomes = run_with_children(drain, queue, lambda: take_all(queue), lambda i: ())

    taken = [delivery for outcome in outcomes for delivery in outcome]
    assert [seq for seq, n in collections.Counter(seq for seq, *_ in taken).items() if n > 1] == []
    expected = [(1, b"before fork 1")] + [(2 + i, body) for i, body in enumerate(bodies)]
    assert sorted(taken) == [(seq, body, 1, True) for seq, body in expected]
    stats = open_shared(place).stats()
    assert stats["total"] == 0 and stats["acked_total"] == 2 + len(bodies)
    assert queue.verify_integrity()["ok"]
    # The parent's own connection still works after the children are gone.
    assert queue.enqueue(b"after") == 2 + len(bodies)


def test_child_reloads_a_log_compacted_after_the_fork_to_the_same_length(tmp_path):
    # Between the fork and the child's first call the parent settles a
    # message and compacts, into a new log exactly as long as the old one.
    # Same length, but another file: the child's state describes none of it.
    queue = TollivaneCore(str(tmp_path))
    queue.enqueue_batch([b"body-one", b"body-two"])
    length_at_fork = log_path(tmp_path).stat().st_size
    go_read, go_write = os.pipe()
    out_read, out_write = os.pipe()
    child = os.fork()
    if child == 0:
        status = 1
        try:
            os.read(go_read, 1)
            seen = [list(queue.dequeue(LONG_LEASE_MS)[:2]), queue.enqueue(b"child")]
            queue.compact()
            seen[0][1] = seen[0][1].decode()
            os.write(out_write, json.dumps(seen).encode())
            status = 0
        finally:
            os._exit(status)
    assert queue.enqueue(b"body-six") == 2
    assert queue.dequeue(LONG_LEASE_MS)[:2] == (0, b"body-one") and queue.ack(0)
    queue.compact()
    assert log_path(tmp_path).stat().st_size == length_at_fork
    os.write(go_write, b"x")
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert json.loads(os.read(out_read, 4096)) == [[1, "body-two"], 3]
    for fd in (go_read, go_write, out_read, out_write):
        os.close(fd)
    reopened = TollivaneCore(str(tmp_path))
    assert reopened.verify_integrity()["ok"]
    assert reopened.nack(1)  # the child's lease
    assert [d[:2] for d in reopened.dequeue_batch(10, LONG_LEASE_MS)] == [
        (1, b"body-two"), (2, b"body-six"), (3, b"child")]


def close_eventfds_and_reuse_their_numbers(queue, stray_path, result):
    # What a daemonising child may do: close inherited descriptors, then
    # open files, which get the lowest numbers free.
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == "anon_inode:[eventfd]":
                os.close(int(fd))
        except OSError:
            pass  # the listing's own descriptor
    strays = [os.open(stray_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND) for _ in range(4)]
    queue.enqueue(b"from the child")
    result.send(os.fstat(strays[0]).st_size)


@pytest.mark.parametrize("path", [":memory:", "dir"])
def test_a_child_never_writes_to_descriptors_of_a_wait_in_its_parent(tmp_path, path):
    queue = TollivaneCore(str(tmp_path / "q") if path == "dir" else path)
    waiter = threading.Thread(target=lambda: queue.dequeue_wait(10_000, LONG_LEASE_MS))
    waiter.start()
    time.sleep(0.3)  # the waiter sleeps, subscribed to the object's commits
    # A pipe, not a Queue, whose put() starts a thread: qemu-user aborts a
    # child that starts a thread when it was forked while another ran.
    result, child_end = FORK.Pipe(duplex=False)
    child = FORK.Process(target=close_eventfds_and_reuse_their_numbers,
                         args=(queue, str(tmp_path / "stray"), child_end))
    child.start()
    assert result.poll(30) and result.recv() == 0
    child.join(30)
    queue.enqueue(b"wakes the parent's waiter")
    waiter.join(30)
    assert not waiter.is_alive()


def enqueue_and_close(queue, sender):
    with queue:
        sender.send(queue.enqueue(b"from the child"))


def test_child_forked_while_a_thread_is_inside_a_call_is_not_held_up_by_it(tmp_path):
    # A thread of the parent is inside a call on the object, waiting for the
    # lock another process holds, when the main thread forks. The child has
    # no such thread: its call and its close must not wait for it, and it
    # must see the queue as the log holds it, what the lock holder appended
    # included.
    queue = TollivaneCore(str(tmp_path))
    queue.enqueue(b"before the fork")
    seqs = {}
    with lock_holder(tmp_path / ".proc_lock", 60, how="until-told") as holder:
        with open(log_path(tmp_path), "ab") as log:
            log.write(frame(enqueue_payload(1, 0, b"from the holder")))
        waiting = threading.Thread(target=lambda: seqs.update(thread=queue.enqueue(b"from the thread")))
        waiting.start()
        time.sleep(0.3)  # the thread waits for the lock, inside the call
        # A pipe, not a Queue, for the reason given above.
        result, child_end = FORK.Pipe(duplex=False)
        child = FORK.Process(target=enqueue_and_close, args=(queue, child_end), daemon=True)
        child.start()
        holder.stdin.write("go\n")
        holder.stdin.flush()
        try:
            assert result.poll(30), "the child is held up"
            seqs["child"] = result.recv()
        finally:
            child.join(30 if "child" in seqs else 0.1)
            if child.is_alive():
                child.kill()
                child.join(5)
        waiting.join(30)
    assert child.exitcode == 0
    assert sorted(seqs.values()) == [2, 3]
    bodies = {0: b"before the fork", 1: b"from the holder", seqs["thread"]: b"from the thread",
              seqs["child"]: b"from the child"}
    assert [d[:2] for d in TollivaneCore(str(tmp_path)).dequeue_batch(10, LONG_LEASE_MS)] == sorted(bodies.items())
