// Settlement: ack, ack_batch and nack. Keyed by sequence id alone; whoever
// names a live message settles it, leased or not.
#include "queue/queue.h"

namespace tollivane {

Result<bool> Queue::ack(uint64_t seq) {
  if (inner_.state.find(seq) == nullptr) return false;
  if (Status committed = commit(logfile::Ack{seq}, /*defer_sync=*/false); !committed.ok()) return committed;
  if (Status compacted = after_removal(); !compacted.ok()) return compacted;
  return true;
}

Result<uint64_t> Queue::ack_batch(const std::vector<uint64_t>& seqs) {
  uint64_t acked = 0;
  for (const uint64_t seq : seqs) {
    // Unknown ids, and ids repeated after their first ack, are skipped.
    if (inner_.state.find(seq) == nullptr) continue;
    if (Status committed = commit(logfile::Ack{seq}, /*defer_sync=*/true); !committed.ok()) return committed;
    ++acked;
  }
  if (Status synced = maybe_sync(/*force=*/true); !synced.ok()) return synced;
  if (Status compacted = after_removal(); !compacted.ok()) return compacted;
  return acked;
}

Result<bool> Queue::nack(uint64_t seq, bool requeue) {
  const MessageEntry* entry = inner_.state.find(seq);
  if (entry == nullptr) return false;
  // A requeue is not a delivery: the count is carried over unchanged and the
  // next lease raises it.
  logfile::Record record = requeue ? logfile::Record(logfile::Requeue{seq, entry->deliveries})
                                   : logfile::Record(logfile::DeadLetter{seq});
  if (Status committed = commit(std::move(record), /*defer_sync=*/false); !committed.ok()) return committed;
  // Only a drop frees log space; a requeue keeps the message live.
  if (!requeue) {
    if (Status compacted = after_removal(); !compacted.ok()) return compacted;
  }
  return true;
}

}  // namespace tollivane
