"""The asyncio face of both backends, on real event loops: every method
awaitable with the queue's results and errors, waits woken by other
processes, many consumers in one loop, cancellation at each step of a call,
shutdown with waits pending, and a consumer process killed holding leases.

Waits that must end by a wake-up get a time-out of a minute (and the
PostgreSQL waiter's second look every second is pushed out), so that one
running to its end fails the test rather than passing slowly."""

import asyncio
import fcntl
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import tollivane
from tollivane_asyncio import AsyncQueue
from tollivane_asyncio._methods import METHODS

from conftest import LONG_LEASE_MS, counters
from sharing_support import SPAWN, enqueue_later, open_async, open_shared
from test_sharing_processes import shared_queue

WAIT_MS = 60_000
TESTS = Path(__file__).parent


@pytest.fixture
def where(request, tmp_path, backend, monkeypatch):
    monkeypatch.setattr("tollivane_postgres.queue.RECHECK_S", 3600.0, raising=False)
    return shared_queue(request, tmp_path, backend)


def run(scenario):
    return asyncio.run(asyncio.wait_for(scenario, 120))


def comparable(name, result):
    """A result with what differs between two queues left out: enqueue
    times, storage figures, how many milliseconds a lease has left."""
    if name == "next_due_ms":
        return result is None or 0 < result <= LONG_LEASE_MS
    if name == "oldest_ready_ts_ms":
        return result is None or result > 0
    if name == "ack_and_dequeue":
        return result[0], without_times(result[1])
    return without_times(result)


def without_times(result):
    """A result with the enqueue times (which differ between two queues) left out."""
    if isinstance(result, tuple) and len(result) == 4:
        return result[:3]
    if isinstance(result, list):
        return [without_times(item) for item in result]
    if isinstance(result, dict) and "next_seq" in result:
        return counters(result)
    if isinstance(result, dict) and "records" in result:
        return result["ok"], result["records"]
    return result


# Every method of the table, called as a user would, in this order, on the
# async face and on a plain queue of the same backend: a method added to
# the table gets a step here.
STEPS = [
    ("enqueue", (b"a",), {}),
    ("enqueue_batch", ([b"b", b"c", b"d", b"e"],), {}),
    ("enqueue_batch", ([],), {}),
    ("dequeue", (), {"lease_ms": LONG_LEASE_MS}),
    ("dequeue_batch", (2,), {"lease_ms": LONG_LEASE_MS}),
    ("extend_lease", (1, LONG_LEASE_MS), {}),
    ("next_due_ms", (), {}),
    ("nack", (1,), {}),
    ("nack", (2,), {"requeue": False}),
    ("ack", (0,), {}),
    ("ack_batch", ([1, 1, 9],), {}),
    ("dequeue_wait", (0, LONG_LEASE_MS), {}),
    ("dequeue_batch_wait", (5, 10), {"lease_ms": 0}),
    ("dequeue_wait", (10,), {}),
    ("ack_delivery", (3, 2), {}),
    ("extend_delivery", (4, 2), {"lease_ms": LONG_LEASE_MS}),
    ("retry", (3, LONG_LEASE_MS), {"deliveries": 1}),
    ("bury", (4,), {"deliveries": 2}),
    ("buried", (), {}),
    ("kick", (4,), {}),
    ("ack_and_dequeue", (3,), {"deliveries": 1, "lease_ms": LONG_LEASE_MS}),
    ("kick_all", (), {}),
    ("enqueue_delayed", (b"f", LONG_LEASE_MS), {}),
    ("enqueue_batch_delayed", ([b"g"],), {"delay_ms": LONG_LEASE_MS}),
    ("scheduled", (), {}),
    ("ack_delivery", (4, 3), {}),
    ("available", (), {}),
    ("oldest_ready_ts_ms", (), {}),
    ("in_flight", (), {}),
    ("stats", (), {}),
    ("flush", (), {}),
    ("compact", (), {}),
    ("verify_integrity", (), {}),
    ("purge", (), {}),
    ("stats", (), {}),
]

REFUSED = [
    ("enqueue", ("text",), {}),
    ("enqueue", ([256],), {}),
    ("nack", (0,), {"requeue": 1}),
    ("dequeue_wait", (), {}),
    ("dequeue_wait", ("soon",), {}),
    ("dequeue_batch_wait", (1, -1), {}),
    ("dequeue", (), {"lease": 5}),
]


@pytest.mark.both_backends
def test_every_queue_method_has_an_awaitable_twin(backend, where):
    sync_class = type(open_shared(where))
    others = {"close", "scan_log", "watch_changes"}
    public = {name for name in dir(sync_class) if not name.startswith("_")} - others
    assert set(METHODS) == public == {name for name, _, _ in STEPS}
    for name in METHODS:
        assert inspect.iscoroutinefunction(getattr(AsyncQueue, name)), name


@pytest.mark.both_backends
def test_awaited_calls_give_what_the_queue_gives(where):
    plain = open_shared(f"{where}/plain" if isinstance(where, str) else (where[0], where[1] + "p"))

    async def scenario():
        async with open_async(where) as queue:
            for name, args, kwargs in STEPS:
                expected = getattr(plain, name)(*args, **kwargs)
                assert comparable(name, await getattr(queue, name)(*args, **kwargs)) == comparable(name, expected), name
            for name, args, kwargs in REFUSED:
                with pytest.raises(Exception) as sync_error:
                    getattr(plain, name)(*args, **kwargs)
                with pytest.raises(type(sync_error.value)) as async_error:
                    await getattr(queue, name)(*args, **kwargs)
                # The face binds a waiting call's arguments itself: the
                # texts of a missing or unexpected one are its own.
                if not isinstance(sync_error.value, TypeError) or str(sync_error.value).startswith("argument '"):
                    assert str(async_error.value) == str(sync_error.value), name
        with pytest.raises(ValueError, match="closed queue"):
            await queue.enqueue(b"late")
        await queue.close()

    run(scenario())


@pytest.mark.both_backends
def test_a_waiting_consumer_wakes_for_an_enqueue_in_another_process(where):
    async def scenario():
        async with open_async(where) as queue:
            producer = SPAWN.Process(target=enqueue_later, args=(where, 0.5, b"from afar"), daemon=True)
            producer.start()
            started = time.monotonic()
            assert (await queue.dequeue_wait(WAIT_MS, LONG_LEASE_MS))[:3] == (0, b"from afar", 1)
            assert time.monotonic() - started < WAIT_MS / 2000, "the wait ran to its time-out"
            producer.join(30)

    run(scenario())


@pytest.mark.both_backends
def test_many_consumers_in_one_loop_get_each_message_once(where):
    async def scenario():
        async with open_async(where) as first, open_async(where) as second:
            waits = [asyncio.ensure_future(queue.dequeue_wait(WAIT_MS, LONG_LEASE_MS))
                     for queue in (first, second) for _ in range(12)]
            await asyncio.sleep(0.3)  # all asleep
            producer = open_shared(where)
            producer.enqueue_batch([b"m%d" % i for i in range(20)])
            producer.enqueue_batch([b"n%d" % i for i in range(4)])
            delivered = await asyncio.gather(*waits)
            assert sorted(delivery[0] for delivery in delivered) == list(range(24))
            assert await first.available() == 0

    run(scenario())


class Gated:
    """A queue whose `gated` calls stop at a gate on the worker thread until
    the test opens it, so that a test can cancel a call while it runs."""

    def __init__(self, queue, *gated):
        self._queue, self._gated = queue, gated
        self.entered, self.gate, self.left = threading.Event(), threading.Event(), threading.Event()

    def __getattr__(self, name):
        method = getattr(self._queue, name)
        if name not in self._gated:
            return method

        def gated(*args, **kwargs):
            self.entered.set()
            assert self.gate.wait(30)
            try:
                return method(*args, **kwargs)
            finally:
                self.left.set()
        return gated


def gate(queue, *names):
    """Puts a gate before the named calls of an open async queue; every call
    goes to the worker thread."""
    queue._queue = gated = Gated(queue._queue, *names)
    queue._nowait = None
    return gated


async def cancelled(task):
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.both_backends
def test_a_cancelled_call_leases_nothing_or_hands_back_what_it_leased(where):
    async def scenario():
        async with open_async(where) as queue:
            await queue.enqueue_batch([b"a", b"b"])
            gated = gate(queue, "dequeue", "dequeue_batch")
            # Running on the worker when cancelled, twice: it ends, then hands back.
            running = asyncio.ensure_future(queue.dequeue(LONG_LEASE_MS))
            while not gated.entered.is_set():
                await asyncio.sleep(0.01)
            # Queued behind it when cancelled: never made.
            queued = asyncio.ensure_future(queue.dequeue_batch(2, LONG_LEASE_MS))
            await asyncio.sleep(0.05)
            await cancelled(queued)
            running.cancel()
            await asyncio.sleep(0.05)
            running.cancel()
            gated.gate.set()
            with pytest.raises(asyncio.CancelledError):
                await running
            assert (await queue.stats())["requeued_total"] == 1 and await queue.in_flight() == 0

            # Finished on the worker, cancelled before the caller resumed.
            queue._queue = gated = Gated(queue._queue._queue, "dequeue_batch")
            finished = asyncio.ensure_future(queue.dequeue_batch(2, LONG_LEASE_MS))
            while not gated.entered.is_set():
                await asyncio.sleep(0.01)
            gated.gate.set()
            assert gated.left.wait(30)  # the loop does not run meanwhile
            await cancelled(finished)
            assert (await queue.stats())["requeued_total"] == 3 and await queue.in_flight() == 0
            # Likewise a call that acknowledges one delivery and leases the next.
            queue._queue = gated = Gated(queue._queue._queue, "ack_and_dequeue")
            finished = asyncio.ensure_future(queue.ack_and_dequeue(9, lease_ms=LONG_LEASE_MS))
            while not gated.entered.is_set():
                await asyncio.sleep(0.01)
            gated.gate.set()
            assert gated.left.wait(30)
            await cancelled(finished)
            assert (await queue.stats())["requeued_total"] == 4 and await queue.in_flight() == 0

            # Asleep in a wait: it leases nothing, then or later.
            assert len(await queue.dequeue_batch(2, LONG_LEASE_MS)) == 2
            asleep = asyncio.ensure_future(queue.dequeue_wait(WAIT_MS, LONG_LEASE_MS))
            await asyncio.sleep(0.2)
            await cancelled(asleep)
            await queue.nack(0)
            await asyncio.sleep(0.2)
            assert await queue.in_flight() == 1
            assert (await queue.dequeue(LONG_LEASE_MS))[:3] == (0, b"a", 5)

    run(scenario())


@pytest.mark.both_backends
def test_a_time_out_around_a_wait_leaves_nothing_leased(where):
    async def scenario():
        async with open_async(where) as queue:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(queue.dequeue_batch_wait(5, WAIT_MS), 0.2)
            if sys.version_info >= (3, 11):
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(0.2):
                        await queue.dequeue_wait(WAIT_MS)
            await queue.enqueue(b"after")
            assert await queue.in_flight() == 0 and await queue.available() == 1
            await queue.dequeue(LONG_LEASE_MS)
            # Closing ends the waits still asleep.
            waiting = asyncio.ensure_future(queue.dequeue_batch_wait(5, WAIT_MS))
            await asyncio.sleep(0.1)
            await queue.close()
            with pytest.raises(ValueError, match="closed queue"):
                await waiting

    run(scenario())


SHUTDOWN_SCRIPT = """
import asyncio, sys
sys.path.insert(0, {tests!r})
from sharing_support import open_async

async def main():
    queue = open_async({where!r})
    waits = [asyncio.ensure_future(queue.dequeue_wait(3_600_000)) for _ in range(3)]
    waits.append(asyncio.ensure_future(queue.dequeue_batch_wait(5, 3_600_000)))
    await asyncio.sleep(0.5)
    print("waiting", flush=True)

asyncio.run(main())
print("ended", flush=True)
"""


@pytest.mark.both_backends
def test_asyncio_run_ends_with_waits_pending(where):
    # An hour each: the run ends only if leaving main() cancels them.
    script = SHUTDOWN_SCRIPT.format(tests=str(TESTS), where=where)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (done.stdout, done.returncode) == ("waiting\nended\n", 0), done.stderr
    assert open_shared(where).stats()["in_flight"] == 0


CONSUMER_SCRIPT = """
import asyncio, sys, time
sys.path.insert(0, {tests!r})
from sharing_support import open_async

async def main():
    queue = open_async({where!r})
    leased = [await queue.dequeue_wait(60_000, 500) for _ in range(3)]
    print(" ".join(str(delivery[0]) for delivery in leased), flush=True)
    await asyncio.sleep(3600)

asyncio.run(main())
"""


@pytest.mark.both_backends
def test_leases_of_a_killed_consumer_process_come_back_to_a_waiting_one(where):
    open_shared(where).enqueue_batch([b"x", b"y", b"z"])
    script = CONSUMER_SCRIPT.format(tests=str(TESTS), where=where)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "0 1 2\n"
    finally:
        child.kill()
        child.wait(30)

    async def scenario():
        async with open_async(where) as queue:
            started = time.monotonic()
            # Nothing is written when the leases run out: the wait times
            # itself by the earliest one.
            back = []
            while len(back) < 3:
                back += await queue.dequeue_batch_wait(5, WAIT_MS, LONG_LEASE_MS)
            assert time.monotonic() - started < WAIT_MS / 2000, "the wait ran to its time-out"
            assert sorted(d[:3] for d in back) == [(0, b"x", 2), (1, b"y", 2), (2, b"z", 2)]

    run(scenario())


def test_a_call_that_may_not_wait_is_refused_before_it_changes_anything(tmp_path):
    core = tollivane.TollivaneCore(str(tmp_path), sync_interval_ms=3_600_000)
    assert core._nowait(core.enqueue, b"inline") == 0
    assert core._nowait(core.dequeue, lease_ms=LONG_LEASE_MS)[0] == 0
    for call in (lambda: core._nowait(core.enqueue_batch, [b"b"]), lambda: core._nowait(core.flush),
                 lambda: core._nowait(core.dequeue_wait, WAIT_MS)):
        with pytest.raises(BlockingIOError):
            call()
    with pytest.raises(BlockingIOError):  # every call with an interval of 0 may owe an fsync
        durable = tollivane.TollivaneCore(str(tmp_path))
        durable._nowait(durable.available)
    with pytest.raises(TypeError, match="own object"):
        core._nowait(durable.enqueue, b"x")
    size = (tmp_path / "queue.log").stat().st_size

    async def scenario():
        async with AsyncQueue(tmp_path, sync_interval_ms=3_600_000) as queue:
            with open(tmp_path / ".proc_lock", "rb") as held:
                fcntl.flock(held, fcntl.LOCK_EX)
                with pytest.raises(BlockingIOError):
                    core._nowait(core.enqueue, b"x")
                assert (tmp_path / "queue.log").stat().st_size == size
                # The face hands it to its worker, which waits; the loop goes on.
                enqueued = asyncio.ensure_future(queue.enqueue(b"behind the lock"))
                await asyncio.sleep(0.2)
                assert not enqueued.done()
            assert await enqueued == 1

    run(scenario())


@pytest.mark.both_backends
def test_watch_is_readable_from_an_enqueue_until_cleared(where):
    import select

    consumer, producer = open_shared(where), open_shared(where)
    with consumer.watch_changes() as watch:
        assert not select.select([watch], [], [], 0)[0]
        producer.enqueue(b"m")
        assert select.select([watch], [], [], 10)[0]
        assert watch.clear() is True
        assert not select.select([watch], [], [], 0.1)[0]
        assert consumer.next_due_ms() is None
        consumer.dequeue(LONG_LEASE_MS)
        assert 0 < consumer.next_due_ms() <= LONG_LEASE_MS
    with pytest.raises(ValueError, match="closed watch"):
        watch.fileno()


def test_the_worker_example_hands_back_what_it_did_not_finish(tmp_path):
    example = TESTS.parents[1] / "examples" / "asyncio_worker.py"
    tollivane.TollivaneCore(str(tmp_path)).enqueue_batch([b"0"] * 5 + [b"3600"] * 3)
    worker = subprocess.Popen([sys.executable, str(example), str(tmp_path)], stdout=subprocess.PIPE, text=True,
                              env={**os.environ, "PYTHONPATH": ""})
    try:
        assert worker.stdout.readline() == "ready\n"
        queue = tollivane.TollivaneCore(str(tmp_path))
        give_up = time.monotonic() + 30
        while queue.stats()["acked_total"] < 5 and time.monotonic() < give_up:
            time.sleep(0.05)
        worker.send_signal(signal.SIGTERM)
        assert worker.wait(60) == 0
    finally:
        worker.kill()
    stats = queue.stats()
    assert (stats["acked_total"], stats["ready"], stats["in_flight"]) == (5, 3, 0)


def test_the_async_face_is_typed_strictly(tmp_path):
    pytest.importorskip("mypy")
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent("""
        from typing import Optional
        from typing_extensions import assert_type
        from tollivane import Delivery, Stats
        from tollivane_asyncio import AsyncPostgresQueue, AsyncQueue

        async def use(queue: AsyncQueue, server: AsyncPostgresQueue) -> None:
            assert_type(await queue.enqueue(b"x"), int)
            assert_type(await server.dequeue_wait(1000, lease_ms=5), Optional[Delivery])
            assert_type(await queue.dequeue_batch_wait(5, 1000), list[Delivery])
            stats: Stats = await server.stats()
            async with AsyncQueue("/var/lib/jobs") as scoped:
                assert_type(scoped, AsyncQueue)
            await queue.enqueue("text")  # type: ignore[arg-type]
            await queue.dequeue_wait()  # type: ignore[call-arg]
    """))
    example = TESTS.parents[1] / "examples" / "asyncio_worker.py"
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental",
                           str(usage), str(example), str(TESTS.parents[1] / "python" / "tollivane_asyncio")],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
