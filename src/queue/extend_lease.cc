#include "queue/queue.h"

namespace tollivane {

Result<bool> QueueCall::extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms) {
  const MessageEntry* entry = queue_->inner_.state.find(seq);
  // Only a leased message has a lease to renew. No sweep runs first, so a
  // lease past its deadline that no sweep has reclaimed can still be kept.
  if (entry == nullptr || !queue_->inner_.state.lease_deadline(seq)) return false;
  // The new deadline counts from now, not from the old one, and may be
  // earlier. The delivery count is rewritten unchanged: this is no delivery.
  const uint64_t deadline = lease_deadline(queue_->now(), queue_->lease_or_default(lease_ms));
  if (Status committed = queue_->commit(logfile::Lease{seq, deadline, entry->deliveries}, /*defer_sync=*/false);
      !committed.ok()) {
    return committed;
  }
  return true;
}

}  // namespace tollivane
