"""Random operation sequences against a small pure-Python model of the queue.

Leases are an hour long, so no lease ever expires during a run and the
model can ignore time entirely."""

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS, MEMORY

bodies = st.binary(max_size=24)


class QueueModel:
    def __init__(self):
        self.reset()

    def reset(self):
        self.messages = {}  # seq -> [body, deliveries]
        self.ready = set()
        self.in_flight = set()
        self.next_seq = 0
        self.enqueued_total = self.acked_total = 0
        self.requeued_total = self.dead_total = 0

    def enqueue(self, body):
        seq = self.next_seq
        self.next_seq += 1
        self.messages[seq] = [body, 0]
        self.ready.add(seq)
        self.enqueued_total += 1
        return seq

    def dequeue(self):
        if not self.ready:
            return None
        seq = min(self.ready)
        self.ready.remove(seq)
        self.in_flight.add(seq)
        entry = self.messages[seq]
        entry[1] += 1
        return (seq, entry[0], entry[1])

    def remove(self, seq):
        if seq not in self.messages:
            return False
        del self.messages[seq]
        self.ready.discard(seq)
        self.in_flight.discard(seq)
        return True

    def ack(self, seq):
        removed = self.remove(seq)
        self.acked_total += removed
        return removed

    def nack(self, seq, requeue):
        if not requeue:
            removed = self.remove(seq)
            self.dead_total += removed
            return removed
        if seq not in self.messages:
            return False
        self.in_flight.discard(seq)
        self.ready.add(seq)
        self.requeued_total += 1
        return True

    def stats(self):
        return {
            "ready": len(self.ready), "in_flight": len(self.in_flight),
            "total": len(self.messages), "enqueued_total": self.enqueued_total,
            "acked_total": self.acked_total, "requeued_total": self.requeued_total,
            "dead_total": self.dead_total, "next_seq": self.next_seq,
            "live_bytes": sum(len(body) + 33 for body, _ in self.messages.values()),
            "log_bytes": 16, "generation": 0, "persistent": False,
        }


class QueueAgreesWithModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.queue = TollivaneCore(MEMORY, default_lease_ms=LONG_LEASE_MS)
        self.model = QueueModel()

    def some_seq(self, data):
        # Mostly ids that were handed out, sometimes ones that never were.
        return data.draw(st.integers(min_value=0, max_value=self.model.next_seq + 2))

    @rule(body=bodies)
    def enqueue(self, body):
        assert self.queue.enqueue(body) == self.model.enqueue(body)

    @rule(batch=st.lists(bodies, max_size=5))
    def enqueue_batch(self, batch):
        assert self.queue.enqueue_batch(batch) == [self.model.enqueue(b) for b in batch]

    @rule(explicit_lease=st.booleans())
    def dequeue(self, explicit_lease):
        delivery = self.queue.dequeue(LONG_LEASE_MS if explicit_lease else None)
        expected = self.model.dequeue()
        if expected is None:
            assert delivery is None
        else:
            assert delivery[:3] == expected

    @rule(limit=st.integers(min_value=0, max_value=6))
    def dequeue_batch(self, limit):
        delivered = self.queue.dequeue_batch(limit, LONG_LEASE_MS)
        expected = []
        while len(expected) < limit and self.model.ready:
            expected.append(self.model.dequeue())
        assert [d[:3] for d in delivered] == expected

    @rule(data=st.data())
    def ack(self, data):
        seq = self.some_seq(data)
        assert self.queue.ack(seq) is self.model.ack(seq)

    @rule(data=st.data())
    def ack_batch(self, data):
        seqs = data.draw(st.lists(
            st.integers(min_value=0, max_value=self.model.next_seq + 2), max_size=5))
        expected = sum(self.model.ack(seq) for seq in seqs)
        assert self.queue.ack_batch(seqs) == expected

    @rule(data=st.data(), requeue=st.booleans())
    def nack(self, data, requeue):
        seq = self.some_seq(data)
        assert self.queue.nack(seq, requeue=requeue) is self.model.nack(seq, requeue)

    @rule(data=st.data())
    def extend_lease(self, data):
        seq = self.some_seq(data)
        assert self.queue.extend_lease(seq, LONG_LEASE_MS) is (seq in self.model.in_flight)

    @precondition(lambda self: self.model.messages)
    @rule(data=st.data())
    def nack_live_message(self, data):
        # Picks a live id directly, so requeue paths are hit often.
        seq = data.draw(st.sampled_from(sorted(self.model.messages)))
        requeue = data.draw(st.booleans())
        assert self.queue.nack(seq, requeue=requeue) is self.model.nack(seq, requeue)

    @rule()
    def purge(self):
        assert self.queue.purge() is None
        self.model.reset()

    @invariant()
    def counters_agree(self):
        expected = self.model.stats()
        assert self.queue.in_flight() == expected["in_flight"]
        assert self.queue.available() == expected["ready"]
        assert self.queue.stats() == expected


QueueAgreesWithModel.TestCase.settings = settings(
    max_examples=150, stateful_step_count=40, deadline=None)
test_queue_agrees_with_model = QueueAgreesWithModel.TestCase
