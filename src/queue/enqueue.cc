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

Result<uint64_t> QueueCall::enqueue(std::span<const uint8_t> body) {
  if (Status valid = check_body_len(body.size()); !valid.ok()) return valid;
  const uint64_t seq = queue_->inner_.state.counters().next_seq;
  Status committed = queue_->commit(logfile::EnqueueView{seq, queue_->now(), body}, /*defer_sync=*/false);
  if (!committed.ok()) return committed;
  return seq;
}

Result<std::vector<uint64_t>> QueueCall::enqueue_batch(std::span<const std::span<const uint8_t>> bodies) {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  // Refuse the whole batch before appending any of it.
  for (const auto& body : bodies) {
    if (Status valid = check_body_len(body.size()); !valid.ok()) return valid;
  }
  // One timestamp for the batch: its messages were enqueued together. Ids
  // are consecutive from next_seq, as applying the records one by one makes
  // them (wrapping like next_seq itself).
  const uint64_t enqueued_ts_ms = queue_->now();
  const uint64_t first_seq = queue_->inner_.state.counters().next_seq;
  std::vector<logfile::RecordView> records;
  records.reserve(bodies.size());
  std::vector<uint64_t> seqs;
  seqs.reserve(bodies.size());
  for (const auto& body : bodies) {
    const uint64_t seq = first_seq + seqs.size();
    records.emplace_back(logfile::EnqueueView{seq, enqueued_ts_ms, body});
    seqs.push_back(seq);
  }
  if (Status committed = queue_->commit_batch(records); !committed.ok()) return committed;
  if (Status synced = queue_->maybe_sync(/*force=*/true); !synced.ok()) return synced;
  return seqs;
}

}  // namespace tollivane
