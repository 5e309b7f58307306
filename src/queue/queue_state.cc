#include "queue/queue_state.h"

#include <type_traits>
#include <utility>

#include "logfile/format.h"

namespace tollivane {
namespace {

uint64_t frame_bytes_of(const MessageEntry& entry) {
  return uint64_t{entry.body_len} + logfile::kEnqueueFrameOverhead;
}

}  // namespace

void QueueState::apply(logfile::Record record, uint64_t frame_offset, bool keep_body) {
  std::visit(
      [&](auto&& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, logfile::Enqueue>) {
          apply_enqueue(std::move(rec), frame_offset, keep_body);
        } else if constexpr (std::is_same_v<Kind, logfile::Lease>) {
          apply_lease(rec);
        } else if constexpr (std::is_same_v<Kind, logfile::Requeue>) {
          apply_requeue(rec);
        } else if constexpr (std::is_same_v<Kind, logfile::Ack>) {
          remove_message(rec.seq, counters_.acked_total);
        } else {
          static_assert(std::is_same_v<Kind, logfile::DeadLetter>);
          remove_message(rec.seq, counters_.dead_total);
        }
      },
      std::move(record));
}

void QueueState::apply_enqueue(logfile::Enqueue record, uint64_t frame_offset, bool keep_body) {
  const uint64_t seq = record.seq;
  if (seq >= counters_.next_seq) counters_.next_seq = seq + 1;

  MessageEntry entry;
  entry.enqueued_ts_ms = record.enqueued_ts_ms;
  entry.body_offset = frame_offset + logfile::kEnqueueFrameOverhead;
  // Bodies longer than a record can hold are refused before they are logged.
  entry.body_len = static_cast<uint32_t>(record.body.size());
  if (keep_body) entry.body = std::move(record.body);

  // A repeated Enqueue (only a damaged or foreign log has one) replaces the
  // message. Its old size and lease go with it, so that live_bytes stays the
  // sum over live messages and the message sits in exactly one of ready and
  // in_flight.
  auto [it, inserted] = messages_.try_emplace(seq);
  if (!inserted) {
    release_live_bytes(it->second);
    in_flight_.erase(seq);
  }
  it->second = std::move(entry);
  counters_.live_bytes += frame_bytes_of(it->second);
  ready_.insert(seq);
  counters_.enqueued_total += 1;
}

void QueueState::apply_lease(const logfile::Lease& record) {
  auto it = messages_.find(record.seq);
  if (it == messages_.end()) return;
  it->second.deliveries = record.deliveries;
  ready_.erase(record.seq);
  in_flight_[record.seq] = record.deadline_ms;
  lease_heap_.push(LeasePair{record.deadline_ms, record.seq});
}

void QueueState::apply_requeue(const logfile::Requeue& record) {
  auto it = messages_.find(record.seq);
  if (it == messages_.end()) return;
  it->second.deliveries = record.deliveries;
  // The heap pair of the ended lease stays; the sweep skips it.
  in_flight_.erase(record.seq);
  ready_.insert(record.seq);
  counters_.requeued_total += 1;
}

void QueueState::remove_message(uint64_t seq, uint64_t& settled_counter) {
  auto it = messages_.find(seq);
  if (it == messages_.end()) return;
  release_live_bytes(it->second);
  messages_.erase(it);
  ready_.erase(seq);
  in_flight_.erase(seq);
  settled_counter += 1;
}

void QueueState::release_live_bytes(const MessageEntry& entry) {
  const uint64_t bytes = frame_bytes_of(entry);
  counters_.live_bytes = counters_.live_bytes > bytes ? counters_.live_bytes - bytes : 0;
}

const MessageEntry* QueueState::find(uint64_t seq) const {
  auto it = messages_.find(seq);
  return it == messages_.end() ? nullptr : &it->second;
}

std::optional<uint64_t> QueueState::lease_deadline(uint64_t seq) const {
  auto it = in_flight_.find(seq);
  if (it == in_flight_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint64_t> QueueState::first_ready() const {
  if (ready_.empty()) return std::nullopt;
  return *ready_.begin();
}

void QueueState::set_body_offset(uint64_t seq, uint64_t body_offset) {
  auto it = messages_.find(seq);
  if (it != messages_.end()) it->second.body_offset = body_offset;
}

}  // namespace tollivane
