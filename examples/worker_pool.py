"""A pool of worker processes on one queue directory, with a job whose
downstream service is down.

The failing job is enqueued first, so it has the smallest id: with a plain
`nack` every worker would get it straight back, again and again, and the
healthy jobs behind it would wait. Here a worker that cannot reach the
downstream service retries the job with a growing delay, and buries it once
it has been delivered MAX_DELIVERIES times. The healthy jobs go past it
meanwhile. When the service is back, an operator kicks the buried job (as
`tollivane kick DIR --all` does) and a worker finishes it.

Every settle names the delivery it is about (`ack_delivery`, and the
`deliveries=` of `retry` and `bury`): a worker whose lease ran out while it
worked cannot settle the message another worker now holds.
"""

from __future__ import annotations

import multiprocessing
import os
import tempfile
import time

import tollivane

WORKERS = 3
HEALTHY_JOBS = 50
MAX_DELIVERIES = 4
LEASE_MS = 5_000


class DownstreamDown(Exception):
    pass


def retry_delay_ms(deliveries: int) -> int:
    """100 ms after the first failure, doubling each time, at most 10 s."""
    return min(100 * 2 ** (deliveries - 1), 10_000)


def handle(body: bytes, directory: str) -> None:
    if body.startswith(b"charge") and not os.path.exists(os.path.join(directory, "payments-up")):
        raise DownstreamDown("the payments service does not answer")
    time.sleep(0.005)  # the work itself


def worker(directory: str, ready, stop, log) -> None:
    queue = tollivane.TollivaneCore(directory)
    ready.release()
    while not stop.is_set():
        delivery = queue.dequeue_wait(timeout_ms=100, lease_ms=LEASE_MS)
        if delivery is None:
            continue
        seq, body, deliveries, _ = delivery
        try:
            handle(body, directory)
        except DownstreamDown:
            if deliveries >= MAX_DELIVERIES:
                outcome = "buried" if queue.bury(seq, deliveries=deliveries) else "lost its lease"
            else:
                delay = retry_delay_ms(deliveries)
                outcome = f"retry in {delay} ms" if queue.retry(seq, delay, deliveries=deliveries) else "lost its lease"
            log.put((time.monotonic(), seq, deliveries, outcome))
            continue
        log.put((time.monotonic(), seq, deliveries, "done" if queue.ack_delivery(seq, deliveries) else "lost its lease"))


def main() -> dict:
    """Runs the pool; returns what happened, for the caller to show or check."""
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory() as directory:
        queue = tollivane.TollivaneCore(directory)
        ready, stop, log = context.Semaphore(0), context.Event(), context.Queue()
        workers = [context.Process(target=worker, args=(directory, ready, stop, log)) for _ in range(WORKERS)]
        for process in workers:
            process.start()
        for _ in workers:
            ready.acquire()

        started = time.monotonic()
        failing = queue.enqueue(b"charge card 4242")
        queue.enqueue_batch([f"resize image {n}".encode() for n in range(HEALTHY_JOBS)])
        events, healthy_done_s = [], None
        while queue.buried() == 0 or healthy_done_s is None:
            at, seq, deliveries, outcome = log.get(timeout=30)
            events.append((at - started, seq, deliveries, outcome))
            done = sum(1 for _, s, _, o in events if s != failing and o == "done")
            if done == HEALTHY_JOBS and healthy_done_s is None:
                healthy_done_s = at - started

        # The operator mends the service and kicks the buried job back.
        open(os.path.join(directory, "payments-up"), "w").close()
        kicked = queue.kick_all()
        while events[-1][1:] != (failing, MAX_DELIVERIES + 1, "done"):
            at, seq, deliveries, outcome = log.get(timeout=30)
            events.append((at - started, seq, deliveries, outcome))
        stop.set()
        for process in workers:
            process.join(30)
        stats = queue.stats()
    return {"healthy_done_s": healthy_done_s, "kicked": kicked, "stats": stats,
            "failing": [event for event in events if event[1] == failing]}


if __name__ == "__main__":
    summary = main()
    for at, seq, deliveries, outcome in summary["failing"]:
        print(f"{at * 1000:7.0f} ms  job {seq} (delivery {deliveries}): {outcome}")
    print(f"all {HEALTHY_JOBS} healthy jobs done in {summary['healthy_done_s'] * 1000:.0f} ms, "
          f"beside the failing one; {summary['kicked']} buried job kicked back and done")
    assert summary["healthy_done_s"] < 1.0, "the healthy jobs took more than a second"
