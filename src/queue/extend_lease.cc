#include "queue/queue.h"

namespace tollivane {

Result<bool> QueueCall::extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms) {
  const MessageEntry* entry = queue_->inner_.state.find(seq);
  // Only a message in flight has a lease to renew; one that waits for its
  // time or is buried was never handed out by this lease. No sweep runs
  // first, so a lease past its deadline that no sweep has reclaimed can
  // still be kept.
  if (entry == nullptr || queue_->inner_.state.hold_of(seq) != Hold::kInFlight) return false;
  // The new deadline counts from now, not from the old one, and may be
  // earlier. The delivery count is rewritten unchanged: this is no delivery.
  const uint64_t deadline = lease_deadline(queue_->now(), queue_->lease_or_default(lease_ms));
  if (Status committed = queue_->commit(logfile::Lease{seq, deadline, entry->deliveries}, /*defer_sync=*/false);
      !committed.ok()) {
    return committed;
  }
  return true;
}

Result<bool> QueueCall::extend_delivery(uint64_t seq, uint64_t deliveries, std::optional<uint64_t> lease_ms) {
  const MessageEntry* entry = queue_->inner_.state.find(seq);
  if (entry == nullptr || !Queue::is_delivery(*entry, deliveries)) return false;
  return extend_lease(seq, lease_ms);
}

}  // namespace tollivane
