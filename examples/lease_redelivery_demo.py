"""A producer process, two consumer processes, and a lease that runs out.

All three share one queue directory. Consumer A leases a message and dies
without acknowledging it (it is killed). Once its lease expires the queue
hands the same message to consumer B, which sees deliveries == 2, processes
it and acknowledges it. Nothing is lost, although a worker crashed holding it.
"""

import multiprocessing
import os
import signal
import tempfile
import time

import tollivane


def producer(directory: str) -> None:
    queue = tollivane.TollivaneCore(directory)
    seqs = queue.enqueue_batch([f"job {n}".encode() for n in range(3)])
    print(f"producer   (pid {os.getpid()}): enqueued {seqs}", flush=True)


def crashing_consumer(directory: str, leased) -> None:
    queue = tollivane.TollivaneCore(directory)
    seq, body, deliveries, _ = queue.dequeue(lease_ms=500)
    print(f"consumer A (pid {os.getpid()}): leased seq={seq} {body!r} (delivery {deliveries}) ...", flush=True)
    leased.set()
    time.sleep(60)  # "working" until it is killed, never acknowledging


def steady_consumer(directory: str) -> None:
    queue = tollivane.TollivaneCore(directory)
    while queue.available() or queue.in_flight():
        # Sleeps until there is a message to lease: here, until the dead
        # consumer's lease runs out.
        delivery = queue.dequeue_wait(timeout_ms=10_000, lease_ms=5_000)
        if delivery is None:
            continue
        seq, body, deliveries, _ = delivery
        note = "  <- redelivered after the dead consumer's lease expired" if deliveries > 1 else ""
        print(f"consumer B (pid {os.getpid()}): got seq={seq} {body!r} delivery={deliveries}{note}", flush=True)
        queue.ack(seq)


def main() -> None:
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory() as directory:
        run = context.Process(target=producer, args=(directory,))
        run.start()
        run.join()

        leased = context.Event()
        consumer_a = context.Process(target=crashing_consumer, args=(directory, leased))
        consumer_a.start()
        leased.wait(30)
        os.kill(consumer_a.pid, signal.SIGKILL)
        consumer_a.join()
        print("consumer A: killed before it could ack", flush=True)

        consumer_b = context.Process(target=steady_consumer, args=(directory,))
        consumer_b.start()
        consumer_b.join()

        stats = tollivane.TollivaneCore(directory).stats()
        print(f"done: acked={stats['acked_total']} requeued={stats['requeued_total']} left={stats['total']}")
        assert stats["acked_total"] == 3 and stats["requeued_total"] == 1 and stats["total"] == 0


if __name__ == "__main__":
    main()
