#include "queue/queue.h"

namespace tollivane {

Status Queue::reclaim_expired(uint64_t now) {
  QueueState& state = inner_.state;
  const std::vector<LeasePair> expired = state.take_expired_leases(now);
  if (expired.empty()) return Status();
  // The requeues of one sweep go out like a batch: a crashed consumer may
  // leave thousands of leases, and one write and one sync decision for all
  // of them keeps the sweep from holding the process lock for an fsync each.
  std::vector<logfile::RecordView> requeues;
  requeues.reserve(expired.size());
  for (const LeasePair& lease : expired) requeues.emplace_back(state.requeue_of(lease.seq));
  // A batch lands whole or not at all. If its write fails, no requeue is in
  // the log or the state, and the pairs go back on the heap, so that the
  // next call sweeps the same leases again.
  if (Status committed = commit_batch(requeues); !committed.ok()) {
    state.push_leases(expired);
    return committed;
  }
  // As each requeue once did on its own: fsynced before the call returns
  // with a sync interval of 0, otherwise by the timed rule.
  return maybe_sync(/*force=*/false);
}

Status QueueCall::reclaim_expired(uint64_t now) { return queue_->reclaim_expired(now); }

Status Queue::deliver_next(uint64_t deadline, bool defer_sync, DeliverySink& sink) {
  const uint64_t seq = *inner_.state.first_ready();
  const uint32_t deliveries = inner_.state.find(seq)->deliveries + 1;
  if (Status committed = commit(logfile::Lease{seq, deadline, deliveries}, defer_sync); !committed.ok()) {
    return committed;
  }
  return hand_out(seq, sink);
}

Status Queue::hand_out(uint64_t seq, DeliverySink& sink) {
  // The message is leased by now; if its body cannot be handed out it comes
  // back when the lease runs out.
  const MessageEntry& entry = *inner_.state.find(seq);
  Result<std::span<const uint8_t>> body = this->body(seq, entry);
  if (!body.ok()) return body.take_error();
  if (!sink.accept(Delivery{seq, *body, entry.deliveries, entry.enqueued_ts_ms})) return Error::sink_aborted();
  return Status();
}

Result<bool> QueueCall::dequeue(std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  const uint64_t now = queue_->now();
  if (Status swept = queue_->reclaim_expired(now); !swept.ok()) return swept;
  if (!queue_->inner_.state.first_ready()) return false;
  if (Status delivered = queue_->deliver_next(lease_deadline(now, queue_->lease_or_default(lease_ms)), /*defer_sync=*/false, sink);
      !delivered.ok()) {
    return delivered;
  }
  return true;
}

Result<uint64_t> QueueCall::dequeue_batch(uint64_t max, std::optional<uint64_t> lease_ms, DeliverySink& sink,
                                          EmptyBatchSync empty) {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  const uint64_t now = queue_->now();
  if (Status swept = queue_->reclaim_expired(now); !swept.ok()) return swept;
  // One deadline for the whole batch: the smallest ready ids, in order,
  // each leased once, written together.
  const uint64_t deadline = lease_deadline(now, queue_->lease_or_default(lease_ms));
  std::vector<logfile::RecordView> leases;
  std::vector<uint64_t> seqs;
  queue_->inner_.state.for_each_ready([&](uint64_t seq, const MessageEntry& entry) {
    if (seqs.size() >= max) return false;
    leases.emplace_back(logfile::Lease{seq, deadline, entry.deliveries + 1});
    seqs.push_back(seq);
    return true;
  });
  if (Status committed = queue_->commit_batch(leases); !committed.ok()) return committed;
  // Every message of the batch is leased now; one whose body cannot be
  // handed out comes back when its lease runs out.
  for (const uint64_t seq : seqs) {
    if (Status handed = queue_->hand_out(seq, sink); !handed.ok()) return handed;
  }
  if (!seqs.empty() || empty == EmptyBatchSync::kForced) {
    if (Status synced = queue_->maybe_sync(/*force=*/true); !synced.ok()) return synced;
  }
  return static_cast<uint64_t>(seqs.size());
}

ChangeWatch QueueCall::watch_changes() const {
  return ChangeWatch::arm(queue_->persistent_ ? &queue_->directory_ : nullptr, queue_->changes_);
}

std::optional<uint64_t> QueueCall::ms_to_next_lease_expiry() const {
  const QueueState::LeaseHeap& leases = queue_->inner_.state.lease_heap();
  if (leases.empty()) return std::nullopt;
  const uint64_t deadline = leases.top().deadline_ms;
  const uint64_t now = queue_->now();
  return deadline > now ? deadline - now : 0;
}

}  // namespace tollivane
