"""Random operation sequences against a small pure-Python model of the queue.
Leases last an hour, so none expires during a run and the model ignores time."""

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tollivane import TollivaneCore

from conftest import LONG_LEASE_MS, MEMORY

bodies = st.binary(max_size=24)


class QueueModel:
    def __init__(self):
        self.messages = {}  # seq -> [body, deliveries]
        self.ready, self.in_flight = set(), set()
        self.next_seq = self.enqueued = self.acked = self.requeued = self.dead = 0

    def enqueue(self, body):
        seq, self.next_seq = self.next_seq, self.next_seq + 1
        self.messages[seq] = [body, 0]
        self.ready.add(seq)
        self.enqueued += 1
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
        if self.messages.pop(seq, None) is None:
            return False
        self.ready.discard(seq)
        self.in_flight.discard(seq)
        return True

    def ack(self, seq):
        removed = self.remove(seq)
        self.acked += removed
        return removed

    def nack(self, seq, requeue):
        if not requeue:
            removed = self.remove(seq)
            self.dead += removed
            return removed
        if seq not in self.messages:
            return False
        self.in_flight.discard(seq)
        self.ready.add(seq)
        self.requeued += 1
        return True

    def stats(self):
        return {
            "ready": len(self.ready), "in_flight": len(self.in_flight),
            "total": len(self.messages), "enqueued_total": self.enqueued,
            "acked_total": self.acked, "requeued_total": self.requeued,
            "dead_total": self.dead, "next_seq": self.next_seq,
            "live_bytes": sum(len(body) + 33 for body, _ in self.messages.values()),
            "log_bytes": 16, "generation": 0, "persistent": False,
        }


class QueueAgreesWithModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.queue = TollivaneCore(MEMORY, default_lease_ms=LONG_LEASE_MS)
        self.model = QueueModel()

    def any_seq(self):
        # Ids handed out so far, plus a couple that were never handed out.
        return st.integers(min_value=0, max_value=self.model.next_seq + 2)

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
        assert (delivery if delivery is None else delivery[:3]) == expected

    @rule(limit=st.integers(min_value=0, max_value=6))
    def dequeue_batch(self, limit):
        delivered = self.queue.dequeue_batch(limit, LONG_LEASE_MS)
        expected = [self.model.dequeue() for _ in range(min(limit, len(self.model.ready)))]
        assert [d[:3] for d in delivered] == expected

    @rule(data=st.data())
    def ack(self, data):
        seq = data.draw(self.any_seq())
        assert self.queue.ack(seq) is self.model.ack(seq)

    @rule(data=st.data())
    def ack_batch(self, data):
        seqs = data.draw(st.lists(self.any_seq(), max_size=5))
        assert self.queue.ack_batch(seqs) == sum(self.model.ack(seq) for seq in seqs)

    @rule(data=st.data(), requeue=st.booleans())
    def nack(self, data, requeue):
        seq = data.draw(self.any_seq())
        assert self.queue.nack(seq, requeue=requeue) is self.model.nack(seq, requeue)

    @precondition(lambda self: self.model.messages)
    @rule(data=st.data(), requeue=st.booleans())
    def nack_live_message(self, data, requeue):
        # Aimed at live ids so that requeues of leased messages happen often.
        seq = data.draw(st.sampled_from(sorted(self.model.messages)))
        assert self.queue.nack(seq, requeue=requeue) is self.model.nack(seq, requeue)

    @rule(data=st.data())
    def extend_lease(self, data):
        seq = data.draw(self.any_seq())
        assert self.queue.extend_lease(seq, LONG_LEASE_MS) is (seq in self.model.in_flight)

    @rule()
    def purge(self):
        assert self.queue.purge() is None
        self.model = QueueModel()

    @invariant()
    def counters_agree(self):
        expected = self.model.stats()
        assert self.queue.in_flight() == expected["in_flight"]
        assert self.queue.available() == expected["ready"]
        assert self.queue.stats() == expected


QueueAgreesWithModel.TestCase.settings = settings(
    max_examples=150, stateful_step_count=40, deadline=None)
test_queue_agrees_with_model = QueueAgreesWithModel.TestCase
