"""Figures of the asyncio face (tollivane_asyncio) on a queue directory.

1. Event-loop stall: the largest gap between two ticks of a 1 ms ticker
   while 4 coroutines enqueue durably (sync_interval_ms=0) and 4 consume
   (dequeue_wait, then ack), beside the disk's own fsync time.
2. Wake latency of an awaiting consumer for an enqueue made by another
   process, and the CPU and threads of 1,000 idle awaiting consumers in one
   loop.
3. Relaxed enqueue (sync_interval_ms=10**9) through the async face against
   the sync object, in the same run, one awaiting coroutine and four.
"""

from __future__ import annotations

import argparse
import asyncio
import multiprocessing
import os
import shutil
import statistics
import tempfile
import threading
import time

import tollivane
from tollivane_asyncio import AsyncQueue

BODY = b"x" * 100


def fsync_ms(directory: str, count: int) -> float:
    """The median time of a 100-byte append and its fsync, in ms."""
    path = os.path.join(directory, "fsync-probe")
    times = []
    with open(path, "ab") as probe:
        for _ in range(count):
            started = time.perf_counter()
            probe.write(BODY)
            probe.flush()
            os.fsync(probe.fileno())
            times.append(time.perf_counter() - started)
    os.unlink(path)
    return statistics.median(times) * 1000


async def largest_stall_ms(path: str, seconds: float) -> tuple[float, int]:
    """The largest gap between ticks of a 1 ms ticker, minus the 1 ms, while
    4 coroutines enqueue durably and 4 consume; and how many messages moved."""
    async with AsyncQueue(path) as queue:
        stop = time.monotonic() + seconds
        largest = 0.0
        acked = 0

        async def ticker() -> None:
            nonlocal largest
            last = time.perf_counter()
            while time.monotonic() < stop:
                await asyncio.sleep(0.001)
                now = time.perf_counter()
                largest = max(largest, now - last - 0.001)
                last = now

        async def producer() -> None:
            while time.monotonic() < stop:
                await queue.enqueue(BODY)

        async def consumer() -> None:
            nonlocal acked
            while time.monotonic() < stop:
                delivery = await queue.dequeue_wait(100)
                if delivery is not None:
                    await queue.ack(delivery[0])
                    acked += 1

        await asyncio.gather(ticker(), *(producer() for _ in range(4)), *(consumer() for _ in range(4)))
    return largest * 1000, acked


def _enqueue_with_times(path: str, count: int, pause_s: float, ready: multiprocessing.synchronize.Event) -> None:
    queue = tollivane.TollivaneCore(path)
    ready.wait()
    for _ in range(count):
        time.sleep(pause_s)  # the consumer is asleep again
        # CLOCK_MONOTONIC is one clock for every process of the machine.
        queue.enqueue(repr(time.monotonic()).encode())


async def wake_latencies_ms(path: str, count: int) -> list[float]:
    spawn = multiprocessing.get_context("spawn")
    ready = spawn.Event()
    producer = spawn.Process(target=_enqueue_with_times, args=(path, count, 0.05, ready), daemon=True)
    producer.start()
    latencies = []
    async with AsyncQueue(path) as queue:
        ready.set()
        for _ in range(count):
            delivery = await queue.dequeue_wait(60_000)
            assert delivery is not None
            latencies.append((time.monotonic() - float(delivery[1])) * 1000)
            await queue.ack(delivery[0])
    producer.join(30)
    return latencies


async def idle_consumers(path: str, count: int, seconds: float) -> tuple[float, int, int]:
    """The CPU (% of one core) of `count` awaiting consumers over `seconds`,
    the process's threads while they wait, and those before they started."""
    async with AsyncQueue(path) as queue:
        threads_before = threading.active_count()
        waits = [asyncio.ensure_future(queue.dequeue_wait(3_600_000)) for _ in range(count)]
        await asyncio.sleep(1.0)  # all asleep
        threads = len(os.listdir("/proc/self/task"))
        used, started = time.process_time(), time.monotonic()
        await asyncio.sleep(seconds)
        cpu = (time.process_time() - used) / (time.monotonic() - started) * 100
        for wait in waits:
            wait.cancel()
        await asyncio.gather(*waits, return_exceptions=True)
    return cpu, threads, threads_before


def sync_enqueues_per_s(path: str, count: int) -> float:
    queue = tollivane.TollivaneCore(path, sync_interval_ms=10**9)
    started = time.perf_counter()
    for _ in range(count):
        queue.enqueue(BODY)
    rate = count / (time.perf_counter() - started)
    queue.close()
    return rate


async def async_enqueues_per_s(path: str, count: int, coroutines: int) -> float:
    async with AsyncQueue(path, sync_interval_ms=10**9) as queue:
        async def producer(share: int) -> None:
            for _ in range(share):
                await queue.enqueue(BODY)

        started = time.perf_counter()
        await asyncio.gather(*(producer(count // coroutines) for _ in range(coroutines)))
        return count // coroutines * coroutines / (time.perf_counter() - started)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", help="where to make the queue directories (default: the system temp dir)")
    parser.add_argument("--runs", type=int, default=5, help="runs of the throughput figures (median)")
    parser.add_argument("--quick", action="store_true", help="short runs, rough figures")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tollivane-bench-asyncio-", dir=args.dir)
    seconds, wakes, count = (1.0, 10, 5_000) if args.quick else (5.0, 100, 50_000)
    try:
        def fresh() -> str:
            return tempfile.mkdtemp(dir=work)

        print(f"load average: {' '.join(f'{load:.2f}' for load in os.getloadavg())} on {os.cpu_count()} cores")
        stall, moved = asyncio.run(largest_stall_ms(fresh(), seconds))
        print(f"event-loop stall: largest {stall:.2f} ms over {seconds:.0f} s ({moved} messages enqueued "
              f"durably and acked); fsync of 100 bytes on this disk: median {fsync_ms(work, 200):.2f} ms")

        latencies = sorted(asyncio.run(wake_latencies_ms(fresh(), wakes)))
        print(f"wake latency for an enqueue in another process: median {statistics.median(latencies):.2f} ms, "
              f"90th percentile {latencies[len(latencies) * 9 // 10]:.2f} ms ({wakes} wakes)")
        cpu, threads, before = asyncio.run(idle_consumers(fresh(), 1000, seconds))
        print(f"1000 idle awaiting consumers: {cpu:.2f} % of a core over {seconds:.0f} s; "
              f"{threads} threads in the process while they wait ({before} Python threads before)")

        ratios: dict[int, list[float]] = {1: [], 4: []}
        rates: dict[str, list[float]] = {"sync": [], "async 1": [], "async 4": []}
        for _ in range(1 if args.quick else args.runs):
            # Interleaved, so that a change of the machine's load hits both.
            for coroutines in (1, 4):
                plain = sync_enqueues_per_s(fresh(), count)
                face = asyncio.run(async_enqueues_per_s(fresh(), count, coroutines))
                rates["sync"].append(plain)
                rates[f"async {coroutines}"].append(face)
                ratios[coroutines].append(face / plain)
        print(f"relaxed enqueue: sync object {statistics.median(rates['sync']):,.0f}/s; async face, one "
              f"coroutine {statistics.median(rates['async 1']):,.0f}/s (ratio {statistics.median(ratios[1]):.2f}), "
              f"four {statistics.median(rates['async 4']):,.0f}/s (ratio {statistics.median(ratios[4]):.2f})")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
