"""An asyncio worker on a tollivane queue directory.

It runs at most CONCURRENCY jobs at once, keeps the lease of a long job
alive by extending it every third of its length, drops a message that keeps
failing, and on SIGTERM (or Ctrl-C) stops taking messages, gives the running
jobs GRACE_S to finish and hands back, with a requeuing nack, every message
it leased and did not finish, so that another worker takes them at once
instead of after their leases run out.

    python examples/asyncio_worker.py QUEUE_DIRECTORY

A job here is a body holding a number of seconds to sleep: it stands for
real work. The same worker runs on PostgreSQL with
`tollivane_asyncio.AsyncPostgresQueue(conninfo, name)` instead.
"""

from __future__ import annotations

import asyncio
import signal
import sys
from typing import TYPE_CHECKING

from tollivane_asyncio import AsyncQueue

if TYPE_CHECKING:
    from tollivane import Delivery

CONCURRENCY = 8
LEASE_MS = 30_000
MAX_DELIVERIES = 5
GRACE_S = 10.0


async def handle(body: bytes) -> None:
    await asyncio.sleep(float(body.decode()))


async def keep_leased(queue: AsyncQueue, seq: int) -> None:
    while True:
        await asyncio.sleep(LEASE_MS / 3 / 1000)
        if not await queue.extend_lease(seq, LEASE_MS):
            return  # settled, or gone to another worker after all


async def process(queue: AsyncQueue, delivery: Delivery) -> None:
    seq, body, deliveries, _ = delivery
    if deliveries > MAX_DELIVERIES:
        await queue.nack(seq, requeue=False)  # a poison message
        return
    keeper = asyncio.create_task(keep_leased(queue, seq))
    try:
        await handle(body)
    except asyncio.CancelledError:
        await queue.nack(seq)  # shutting down: another worker takes it now
        raise
    except Exception:
        await queue.nack(seq)  # failed: again later, counted in `deliveries`
    else:
        await queue.ack(seq)
    finally:
        keeper.cancel()


async def consume(queue: AsyncQueue, stop: asyncio.Event) -> None:
    slots = asyncio.Semaphore(CONCURRENCY)
    jobs: set[asyncio.Task[None]] = set()
    stopping = asyncio.create_task(stop.wait())
    while not stop.is_set():
        await slots.acquire()
        waiting = asyncio.create_task(queue.dequeue_wait(60_000, LEASE_MS))
        await asyncio.wait({waiting, stopping}, return_when=asyncio.FIRST_COMPLETED)
        # A wait cancelled while it sleeps has leased nothing; one cancelled
        # as it leased hands the message back before it ends.
        waiting.cancel()
        delivery = None if waiting.cancelled() else await _result(waiting)
        if delivery is None:
            slots.release()
            continue
        job = asyncio.create_task(process(queue, delivery))
        jobs.add(job)
        job.add_done_callback(jobs.discard)
        job.add_done_callback(lambda _: slots.release())
    if jobs:
        _, unfinished = await asyncio.wait(jobs, timeout=GRACE_S)
        for job in unfinished:
            job.cancel()
        await asyncio.gather(*unfinished, return_exceptions=True)


async def _result(waiting: asyncio.Task[Delivery | None]) -> Delivery | None:
    try:
        return await waiting
    except asyncio.CancelledError:
        return None


async def main(path: str) -> None:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    async with AsyncQueue(path, default_lease_ms=LEASE_MS) as queue:
        print("ready", flush=True)
        await consume(queue, stop)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
