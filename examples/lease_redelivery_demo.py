"""A producer, two consumers, and a lease that runs out.

The first consumer leases a message and "crashes" without acknowledging it.
Once its lease expires the queue hands the same message to the second
consumer, which sees deliveries == 2, processes it and acknowledges it.
"""

import threading
import time

import tollivane


def producer(queue: tollivane.TollivaneCore) -> None:
    for n in range(3):
        seq = queue.enqueue(f"job {n}".encode())
        print(f"producer: enqueued seq={seq}")


def crashing_consumer(queue: tollivane.TollivaneCore) -> None:
    seq, body, deliveries, _ = queue.dequeue(lease_ms=200)
    print(f"consumer A: leased seq={seq} {body!r} (delivery {deliveries}) ... and crashed before ack")


def steady_consumer(queue: tollivane.TollivaneCore) -> None:
    while queue.available() or queue.in_flight():
        delivery = queue.dequeue(lease_ms=5_000)
        if delivery is None:
            time.sleep(0.05)  # the crashed consumer's lease has not run out yet
            continue
        seq, body, deliveries, enqueued_ts_ms = delivery
        note = "  <- redelivered after the lease expired" if deliveries > 1 else ""
        print(f"consumer B: got seq={seq} {body!r} delivery={deliveries}{note}")
        queue.ack(seq)


def main() -> None:
    queue = tollivane.TollivaneCore(":memory:", default_lease_ms=1_000)
    producer(queue)
    crashing_consumer(queue)
    worker = threading.Thread(target=steady_consumer, args=(queue,))
    worker.start()
    worker.join()
    stats = queue.stats()
    print(
        f"done: acked={stats['acked_total']} requeued={stats['requeued_total']} "
        f"left={stats['total']}"
    )
    assert stats["acked_total"] == 3 and stats["requeued_total"] == 1 and stats["total"] == 0


if __name__ == "__main__":
    main()
