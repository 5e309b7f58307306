// The in-memory model of one queue: live messages, the ready set, leases and
// the counters that stats() reports.
//
// It changes only through apply(). Replay at open, catch-up with other
// processes and every operation all go through it, so any two objects that
// applied the same log hold the same state.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <set>
#include <unordered_map>
#include <vector>

#include "logfile/record.h"

namespace tollivane {

struct MessageEntry {
  uint64_t enqueued_ts_ms = 0;
  // Absolute offset of the first body byte in queue.log (frame start + 33).
  uint64_t body_offset = 0;
  uint32_t deliveries = 0;
  uint32_t body_len = 0;
  // The body itself, kept only by a queue without a log (":memory:").
  std::optional<std::vector<uint8_t>> body;
};

// One applied Lease: the sweep visits these in (deadline, seq) order.
struct LeasePair {
  uint64_t deadline_ms;
  uint64_t seq;
  auto operator<=>(const LeasePair&) const = default;
};

struct QueueCounters {
  uint64_t next_seq = 0;
  uint64_t live_bytes = 0;
  uint64_t enqueued_total = 0;
  uint64_t acked_total = 0;
  uint64_t dead_total = 0;
  uint64_t requeued_total = 0;
};

class QueueState {
 public:
  using LeaseHeap = std::priority_queue<LeasePair, std::vector<LeasePair>, std::greater<LeasePair>>;

  // Applies one record; cannot fail. `frame_offset` is where the record's
  // frame starts in the log (only Enqueue uses it). `keep_body` is true only
  // for a queue without a log, which must hold its bodies in memory.
  void apply(logfile::Record record, uint64_t frame_offset, bool keep_body);

  const MessageEntry* find(uint64_t seq) const;
  std::optional<uint64_t> lease_deadline(uint64_t seq) const;
  std::optional<uint64_t> first_ready() const;

  // The sweep takes pairs off the heap itself: an ended lease is not searched
  // for when it ends, only skipped when its pair surfaces.
  const LeaseHeap& lease_heap() const { return lease_heap_; }
  void pop_lease() { lease_heap_.pop(); }

  // Compaction moves bodies to new offsets; nothing else changes.
  void set_body_offset(uint64_t seq, uint64_t body_offset);

  const std::unordered_map<uint64_t, MessageEntry>& messages() const { return messages_; }
  const std::unordered_map<uint64_t, uint64_t>& in_flight() const { return in_flight_; }
  const std::set<uint64_t>& ready() const { return ready_; }
  const QueueCounters& counters() const { return counters_; }

 private:
  void apply_enqueue(logfile::Enqueue record, uint64_t frame_offset, bool keep_body);
  void apply_lease(const logfile::Lease& record);
  void apply_requeue(const logfile::Requeue& record);
  // Ack and DeadLetter differ only in the counter they raise.
  void remove_message(uint64_t seq, uint64_t& settled_counter);
  void release_live_bytes(const MessageEntry& entry);

  std::unordered_map<uint64_t, MessageEntry> messages_;
  std::unordered_map<uint64_t, uint64_t> in_flight_;  // seq -> deadline_ms
  std::set<uint64_t> ready_;
  LeaseHeap lease_heap_;
  QueueCounters counters_;
};

}  // namespace tollivane
