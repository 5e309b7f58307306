// Buried messages: dead letters kept aside instead of dropped, so that an
// operator can look at them and, once the cause is mended, kick them back.
// A buried message carries a Lease whose deadline is kBuriedDeadlineMs: no
// sweep ever reaches it and no dequeue takes it, and a compaction keeps it
// like any lease. Kicking it is a requeue, its delivery count kept.
#include <vector>

#include "queue/queue.h"

namespace tollivane {

Result<bool> QueueCall::bury(uint64_t seq, std::optional<uint64_t> deliveries) {
  QueueState& state = queue_->inner_.state;
  const MessageEntry* entry = state.find(seq);
  if (entry == nullptr || state.hold_of(seq) == Hold::kBuried || !Queue::is_delivery(*entry, deliveries)) {
    return false;
  }
  const logfile::Lease buried{seq, logfile::kBuriedDeadlineMs, entry->deliveries};
  if (Status committed = queue_->commit(buried, /*defer_sync=*/false); !committed.ok()) return committed;
  return true;
}

Result<bool> QueueCall::kick(uint64_t seq) {
  QueueState& state = queue_->inner_.state;
  if (state.hold_of(seq) != Hold::kBuried) return false;
  const logfile::Requeue kicked = state.requeue_of(seq);
  if (Status committed = queue_->commit(kicked, /*defer_sync=*/false); !committed.ok()) return committed;
  return true;
}

Result<uint64_t> QueueCall::kick_all() {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  QueueState& state = queue_->inner_.state;
  if (state.buried_count() == 0) return uint64_t{0};
  // In ascending id order, like a batch: one write, one sync, whole or not at all.
  std::vector<logfile::RecordView> requeues;
  requeues.reserve(static_cast<size_t>(state.buried_count()));
  state.for_each_message([&](uint64_t seq, const MessageEntry& entry, std::optional<uint64_t> deadline_ms) {
    if (deadline_ms == logfile::kBuriedDeadlineMs) requeues.emplace_back(logfile::Requeue{seq, entry.deliveries});
  });
  if (Status committed = queue_->commit_batch(requeues); !committed.ok()) return committed;
  if (Status synced = queue_->maybe_sync(/*force=*/true); !synced.ok()) return synced;
  return static_cast<uint64_t>(requeues.size());
}

}  // namespace tollivane
