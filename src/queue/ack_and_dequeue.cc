// The consumer's steady step: acknowledge the message just processed and
// lease the next one in the same call. Done as ack() then dequeue(), that
// is two records each written and synced on its own: two fsyncs per message
// for a durable consumer. Here the Ack, the sweep's Requeues and the Lease
// go out as one batch, in one write and under one sync decision.
#include <algorithm>
#include <optional>
#include <vector>

#include "queue/queue.h"

namespace tollivane {
namespace {

// The smallest ready id other than `except`.
std::optional<uint64_t> first_ready_but(const QueueState& state, std::optional<uint64_t> except) {
  std::optional<uint64_t> first;
  state.for_each_ready([&](uint64_t seq, const MessageEntry&) {
    if (seq == except) return true;
    first = seq;
    return false;
  });
  return first;
}

}  // namespace

Result<QueueCall::AckedAndLeased> QueueCall::ack_and_dequeue(uint64_t seq, std::optional<uint64_t> deliveries,
                                                             std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  Queue& queue = *queue_;
  QueueState& state = queue.inner_.state;
  const uint64_t now = queue.now();
  const MessageEntry* settled = state.find(seq);
  const bool acked = settled != nullptr && settles_delivery(*settled, deliveries);
  const std::vector<LeasePair> expired = state.take_expired_leases(now);
  // The records are applied only once all of them are written, so the next
  // delivery is chosen from the state they will leave: the ready messages
  // without the one acknowledged, and the expired ones the sweep requeues
  // (the acknowledged message's own expired lease is ended by its Ack).
  std::vector<logfile::RecordView> records;
  records.reserve(expired.size() + 2);
  if (acked) records.emplace_back(logfile::Ack{seq});
  std::optional<uint64_t> next = first_ready_but(state, acked ? std::optional<uint64_t>(seq) : std::nullopt);
  for (const LeasePair& lease : expired) {
    if (acked && lease.seq == seq) continue;
    records.emplace_back(state.requeue_of(lease.seq));
    next = std::min(next.value_or(lease.seq), lease.seq);
  }
  if (next) {
    const uint64_t deadline = lease_deadline(now, queue.lease_or_default(lease_ms));
    records.emplace_back(logfile::Lease{*next, deadline, state.find(*next)->deliveries + 1});
  }
  // Whole or not at all: if the write fails nothing is acknowledged or
  // leased, and the sweep's pairs go back on the heap for the next call.
  if (Status committed = queue.commit_batch(records); !committed.ok()) {
    state.push_leases(expired);
    return committed;
  }
  if (Status synced = queue.maybe_sync(/*force=*/false); !synced.ok()) return synced;
  if (next) {
    if (Status handed = queue.hand_out(*next, sink); !handed.ok()) return handed;
  }
  // After the delivery is handed out: a compaction rewrites the log the
  // body is read from. Its failure is reported as ack()'s is, with the
  // acknowledgement and the lease applied; the message leased comes back
  // when its lease runs out.
  if (acked) {
    if (Status compacted = queue.after_removal(); !compacted.ok()) return compacted;
  }
  return AckedAndLeased{acked, next.has_value()};
}

}  // namespace tollivane
