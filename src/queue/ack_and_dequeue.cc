// The consumer's steady step: acknowledge the message just processed and
// lease the next one in the same call. Made as two calls, ack() then
// dequeue(), each ends with an fsync of its own: two per message for a
// durable consumer. Here the Ack and the dequeue's records are written
// under one process lock, and the call ends with one sync decision and so
// with one fsync (append.cc: a call's records are synced once, as it
// leaves).
#include "queue/queue.h"

namespace tollivane {

Result<QueueCall::AckedAndLeased> QueueCall::ack_and_dequeue(uint64_t seq, std::optional<uint64_t> deliveries,
                                                             std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  // The guard of ack_delivery(), and then ack()'s record: a settlement that
  // names a delivery the message no longer counts writes nothing.
  const MessageEntry* settled = queue_->inner_.state.find(seq);
  const bool acked = settled != nullptr && Queue::is_delivery(*settled, deliveries);
  if (acked) {
    if (Status committed = queue_->commit(logfile::Ack{seq}, /*defer_sync=*/false); !committed.ok()) {
      return committed;
    }
  }
  // The lease is dequeue()'s own: the sweep, then the smallest ready message
  // (never a scheduled or buried one), leased and handed out. A failure from
  // here on is reported with the acknowledgement made, as a failed dequeue()
  // after an ack() would be.
  Result<bool> delivered = dequeue(lease_ms, sink);
  if (!delivered.ok()) return delivered.take_error();
  // After the delivery is handed out: a compaction rewrites the log its body
  // is read from. The message leased comes back when its lease runs out if
  // the compaction fails.
  if (acked) {
    if (Status compacted = queue_->after_removal(); !compacted.ok()) return compacted;
  }
  return AckedAndLeased{acked, *delivered};
}

}  // namespace tollivane
