// Settlement: ack, ack_batch, nack and retry. Keyed by sequence id; whoever
// names a live message settles it, leased or not, unless the call also names
// the delivery (ack_delivery, a guarded retry): then only while the message's
// delivery count is still the one that delivery saw, since every lease
// raises it.
#include <algorithm>
#include <functional>
#include <unordered_set>
#include <vector>

#include "queue/queue.h"

namespace tollivane {
namespace {

// Keeps the first occurrence of each id, in order. Repeats are rare and ids
// usually come in ascending order, so the common case costs one pass.
void drop_repeats(std::vector<uint64_t>& seqs) {
  if (std::adjacent_find(seqs.begin(), seqs.end(), std::greater_equal<uint64_t>()) == seqs.end()) return;
  std::vector<uint64_t> sorted = seqs;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return;
  std::unordered_set<uint64_t> seen;
  seen.reserve(seqs.size());
  std::erase_if(seqs, [&](uint64_t seq) { return !seen.insert(seq).second; });
}

}  // namespace

Result<bool> QueueCall::ack(uint64_t seq) {
  if (queue_->inner_.state.find(seq) == nullptr) return false;
  if (Status committed = queue_->commit(logfile::Ack{seq}, /*defer_sync=*/false); !committed.ok()) return committed;
  if (Status compacted = queue_->after_removal(); !compacted.ok()) return compacted;
  return true;
}

Result<bool> QueueCall::ack_delivery(uint64_t seq, uint64_t deliveries) {
  const MessageEntry* entry = queue_->inner_.state.find(seq);
  if (entry == nullptr || !Queue::is_delivery(*entry, deliveries)) return false;
  return ack(seq);
}

Result<uint64_t> QueueCall::ack_batch(const std::vector<uint64_t>& seqs) {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  // Unknown ids, and ids repeated after their first ack, are skipped.
  std::vector<uint64_t> known;
  known.reserve(seqs.size());
  for (const uint64_t seq : seqs) {
    if (queue_->inner_.state.find(seq) != nullptr) known.push_back(seq);
  }
  drop_repeats(known);
  std::vector<logfile::RecordView> acks;
  acks.reserve(known.size());
  for (const uint64_t seq : known) acks.emplace_back(logfile::Ack{seq});
  if (Status committed = queue_->commit_batch(acks); !committed.ok()) return committed;
  if (Status synced = queue_->maybe_sync(/*force=*/true); !synced.ok()) return synced;
  if (Status compacted = queue_->after_removal(); !compacted.ok()) return compacted;
  return static_cast<uint64_t>(known.size());
}

Result<bool> QueueCall::nack(uint64_t seq, bool requeue) {
  const MessageEntry* entry = queue_->inner_.state.find(seq);
  if (entry == nullptr) return false;
  // A requeue is not a delivery: the count is carried over unchanged and the
  // next lease raises it.
  const logfile::RecordView record = requeue ? logfile::RecordView(logfile::Requeue{seq, entry->deliveries})
                                             : logfile::RecordView(logfile::DeadLetter{seq});
  if (Status committed = queue_->commit(record, /*defer_sync=*/false); !committed.ok()) return committed;
  // Only a drop frees log space; a requeue keeps the message live.
  if (!requeue) {
    if (Status compacted = queue_->after_removal(); !compacted.ok()) return compacted;
  }
  return true;
}

Result<bool> QueueCall::retry(uint64_t seq, uint64_t delay_ms, std::optional<uint64_t> deliveries) {
  QueueState& state = queue_->inner_.state;
  const MessageEntry* entry = state.find(seq);
  if (entry == nullptr || state.hold_of(seq) != Hold::kInFlight || !Queue::is_delivery(*entry, deliveries)) {
    return false;
  }
  // A lease to the retry time, the count kept: the log cannot tell it from a
  // delivered lease, so until it falls due the message counts as in flight,
  // and the sweep then returns it as it returns any lease that ran out.
  const logfile::Lease lease{seq, lease_deadline(queue_->now(), delay_ms), entry->deliveries};
  if (Status committed = queue_->commit(lease, /*defer_sync=*/false); !committed.ok()) return committed;
  return true;
}

}  // namespace tollivane
