#include <string>
#include <utility>

#include "queue/queue.h"

namespace tollivane {
namespace {

// A body whose record would exceed the frame limit is refused up front:
// written, it would be cut off as damage by the next reader.
Status check_body_len(uint64_t body_len) {
  if (body_len <= logfile::kMaxBodyLen) return Status();
  return Error::invalid_argument("message body of " + std::to_string(body_len) +
                                 " bytes is too large: a record holds at most " +
                                 std::to_string(logfile::kMaxRecordLen) + " bytes, so a body at most " +
                                 std::to_string(logfile::kMaxBodyLen));
}

}  // namespace

Result<uint64_t> QueueCall::enqueue(std::span<const uint8_t> body) { return enqueue_delayed(body, 0); }

Result<uint64_t> QueueCall::enqueue_delayed(std::span<const uint8_t> body, uint64_t delay_ms) {
  if (Status valid = check_body_len(body.size()); !valid.ok()) return valid;
  const uint64_t seq = queue_->inner_.state.counters().next_seq;
  const uint64_t now = queue_->now();
  if (delay_ms == 0) {
    if (Status committed = queue_->commit(logfile::EnqueueView{seq, now, body}, /*defer_sync=*/false); !committed.ok()) {
      return committed;
    }
    return seq;
  }
  // The Lease that holds the message back goes out in the same write as its
  // Enqueue, so that no reader ever finds the message without it unless the
  // write itself was torn by a power loss, before the call returned.
  const std::vector<logfile::RecordView> records = {logfile::EnqueueView{seq, now, body},
                                                    logfile::Lease{seq, lease_deadline(now, delay_ms), 0}};
  if (Status committed = queue_->commit_batch(records); !committed.ok()) return committed;
  if (Status synced = queue_->maybe_sync(/*force=*/false); !synced.ok()) return synced;
  return seq;
}

Result<std::vector<uint64_t>> QueueCall::enqueue_batch(std::span<const std::span<const uint8_t>> bodies) {
  return enqueue_batch_delayed(bodies, 0);
}

Result<std::vector<uint64_t>> QueueCall::enqueue_batch_delayed(std::span<const std::span<const uint8_t>> bodies,
                                                               uint64_t delay_ms) {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  // Refuse the whole batch before appending any of it.
  for (const auto& body : bodies) {
    if (Status valid = check_body_len(body.size()); !valid.ok()) return valid;
  }
  // One timestamp for the batch: its messages were enqueued together. Ids
  // are consecutive from next_seq, as applying the records one by one makes
  // them (wrapping like next_seq itself). Each delayed message's Lease
  // follows its own Enqueue, so that a torn write leaves at most one of
  // them without its delay.
  const uint64_t enqueued_ts_ms = queue_->now();
  const uint64_t due_ms = lease_deadline(enqueued_ts_ms, delay_ms);
  const uint64_t first_seq = queue_->inner_.state.counters().next_seq;
  std::vector<logfile::RecordView> records;
  records.reserve(delay_ms == 0 ? bodies.size() : 2 * bodies.size());
  std::vector<uint64_t> seqs;
  seqs.reserve(bodies.size());
  for (const auto& body : bodies) {
    const uint64_t seq = first_seq + seqs.size();
    records.emplace_back(logfile::EnqueueView{seq, enqueued_ts_ms, body});
    if (delay_ms != 0) records.emplace_back(logfile::Lease{seq, due_ms, 0});
    seqs.push_back(seq);
  }
  if (Status committed = queue_->commit_batch(records); !committed.ok()) return committed;
  if (Status synced = queue_->maybe_sync(/*force=*/true); !synced.ok()) return synced;
  return seqs;
}

}  // namespace tollivane
