// The in-memory model of one queue: live messages, the ready set, leases and
// the counters that stats() reports.
//
// It changes only through apply(). Replay at open, catch-up with other
// processes and every operation all go through it, so any two objects that
// applied the same log hold the same state.
//
// Memory is what limits how many live messages a process can hold, so the
// messages are kept in pages of 64 consecutive sequence ids. A page holds
// two bitmaps (which ids are live, which of those are ready) and the entries
// of its live ids only, packed in id order, so an entry is found by counting
// the bits below it. Ids handed out in order fill pages densely (about 34
// bytes a message); ids left scattered by a long run cost at most one page
// each, still a bounded amount per live message. The pages that hold a
// ready message are kept in order, so the smallest ready id is the lowest
// bit of the first of them.
//
// A message that is not ready is held by its last Lease, for one of three
// reasons that the Lease alone tells (logfile/format.h): buried, scheduled
// (never delivered, waiting for its time) or in flight. Every object and
// process derives the same from the same records, and the counts of each
// are kept as records are applied, so no count needs a scan.
#pragma once

#include <algorithm>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <queue>
#include <set>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "logfile/record.h"

namespace tollivane {

struct MessageEntry {
  uint64_t enqueued_ts_ms = 0;
  // Absolute offset of the first body byte in queue.log (frame start + 33).
  uint64_t body_offset = 0;
  uint32_t deliveries = 0;
  uint32_t body_len = 0;
};

// Why a message that is not ready is held.
enum class Hold : uint8_t { kInFlight, kScheduled, kBuried };

constexpr Hold hold_of_lease(uint64_t deadline_ms, uint32_t deliveries) {
  if (deadline_ms == logfile::kBuriedDeadlineMs) return Hold::kBuried;
  return deliveries == 0 ? Hold::kScheduled : Hold::kInFlight;
}

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
  // for a queue without a log, which must hold its bodies in memory: the
  // body is copied then, and only then.
  void apply(const logfile::RecordView& record, uint64_t frame_offset, bool keep_body);

  // The entry of a live message; valid until the next apply().
  const MessageEntry* find(uint64_t seq) const;
  std::optional<uint64_t> lease_deadline(uint64_t seq) const;
  // Why `seq` is held; none for a ready or missing message.
  std::optional<Hold> hold_of(uint64_t seq) const;
  std::optional<uint64_t> first_ready() const;
  // The enqueue time of the ready message that has waited longest, none
  // when nothing is ready. O(1).
  std::optional<uint64_t> oldest_ready_ts_ms() const;
  // The body kept in memory for `seq` (a queue without a log only).
  std::optional<std::span<const uint8_t>> memory_body(uint64_t seq) const;

  // Calls `visit(seq, entry)` for ready messages in ascending id order
  // until it returns false. The state must not change meanwhile.
  template <typename Visit>
  void for_each_ready(Visit&& visit) const;
  // Calls `visit(seq, entry, lease deadline or nullopt)` for every live
  // message in ascending id order. The state must not change meanwhile.
  template <typename Visit>
  void for_each_message(Visit&& visit) const;

  uint64_t message_count() const { return message_count_; }
  uint64_t ready_count() const { return ready_count_; }
  // Messages not ready, whatever holds them: each carries a Lease record
  // in a compacted log.
  uint64_t held_count() const { return message_count_ - ready_count_; }
  uint64_t in_flight_count() const { return held_count() - scheduled_count_ - buried_count_; }
  uint64_t scheduled_count() const { return scheduled_count_; }
  uint64_t buried_count() const { return buried_count_; }
  // Live messages delivered at least once, whose delivery count a compacted
  // log must carry in a Requeue record of its own.
  uint64_t delivered_count() const { return delivered_count_; }

  // Copies for tests and checks: O(messages).
  std::set<uint64_t> ready_seqs() const;
  std::map<uint64_t, uint64_t> in_flight_deadlines() const;
  std::map<uint64_t, MessageEntry> messages_by_seq() const;

  // An ended lease is not searched for when it ends, only skipped when its
  // pair surfaces in the sweep. A buried message has no pair: nothing ends.
  const LeaseHeap& lease_heap() const { return lease_heap_; }
  // The sweep's first step: takes off the heap every pair whose deadline is
  // at or before `now` and returns those of current leases, each once, in
  // (deadline, seq) order. Pairs of leases settled, requeued or replaced
  // since they were pushed are stale and dropped.
  std::vector<LeasePair> take_expired_leases(uint64_t now);
  // The Requeue that returns the leased message `seq` to the ready set with
  // its delivery count.
  logfile::Requeue requeue_of(uint64_t seq) const;
  // Puts back pairs the sweep took off but could not requeue.
  void push_leases(std::span<const LeasePair> pairs) {
    for (const LeasePair& pair : pairs) lease_heap_.push(pair);
  }

  // Compaction moves bodies to new offsets; nothing else changes.
  void set_body_offset(uint64_t seq, uint64_t body_offset);

  const QueueCounters& counters() const { return counters_; }

 private:
  static constexpr unsigned kPageShift = 6;
  static constexpr uint64_t kPageMask = (uint64_t{1} << kPageShift) - 1;

  struct Slot {
    MessageEntry entry;
    uint64_t deadline_ms = 0;  // meaningful while the message is leased
  };

  struct Page {
    uint64_t live = 0;   // bit i: id (page << 6) + i is live
    uint64_t ready = 0;  // the live ids that are ready; the others are leased
    std::vector<Slot> slots;  // one per live bit, in id order
  };

  static uint64_t page_of(uint64_t seq) { return seq >> kPageShift; }
  static uint64_t bit_of(uint64_t seq) { return uint64_t{1} << (seq & kPageMask); }
  static size_t rank_of(const Page& page, uint64_t bit);

  Page* find_page(uint64_t page_number) const;
  Slot* find_slot(uint64_t seq) const;
  void set_ready(Page& page, uint64_t page_number, uint64_t bit);
  void clear_ready(Page& page, uint64_t page_number, uint64_t bit);
  void drop_page(uint64_t page_number);

  // `body` is the body to keep in memory, or null.
  void apply_enqueue(uint64_t seq, uint64_t enqueued_ts_ms, uint32_t body_len, uint64_t frame_offset,
                     std::vector<uint8_t>* body);
  // Lease, Requeue, Ack and DeadLetter, from either kind of record.
  void apply_settlement(const logfile::RecordView& record);
  void apply_lease(const logfile::Lease& record);
  void apply_requeue(const logfile::Requeue& record);
  // Ack and DeadLetter differ only in the counter they raise.
  void remove_message(uint64_t seq, uint64_t& settled_counter);
  void release_live_bytes(const MessageEntry& entry);
  void set_deliveries(MessageEntry& entry, uint32_t deliveries);
  // Adds `slot`, which is held (not ready), to the count of its hold, or
  // takes it off with `count` false.
  void count_hold(const Slot& slot, bool count);
  // Leaves only the pairs of current leases once stale ones dominate.
  void prune_lease_heap();

  std::unordered_map<uint64_t, Page> pages_;
  // Pages with at least one ready message, in id order.
  std::set<uint64_t> ready_pages_;
  // The page of the last lookup: operations mostly touch one page in a row.
  // A copied or moved state starts without one.
  struct PageCache {
    uint64_t number = 0;
    Page* page = nullptr;
    PageCache() = default;
    PageCache(const PageCache&) {}
    PageCache& operator=(const PageCache&) {
      page = nullptr;
      return *this;
    }
  };
  mutable PageCache cache_;
  uint64_t message_count_ = 0;
  uint64_t ready_count_ = 0;
  uint64_t delivered_count_ = 0;
  uint64_t scheduled_count_ = 0;
  uint64_t buried_count_ = 0;
  std::unordered_map<uint64_t, std::vector<uint8_t>> memory_bodies_;
  LeaseHeap lease_heap_;
  QueueCounters counters_;
};

template <typename Visit>
void QueueState::for_each_ready(Visit&& visit) const {
  for (const uint64_t page_number : ready_pages_) {
    const Page& page = *find_page(page_number);
    for (uint64_t bits = page.ready; bits != 0; bits &= bits - 1) {
      const uint64_t bit = bits & (~bits + 1);
      const uint64_t seq = (page_number << kPageShift) | static_cast<uint64_t>(std::countr_zero(bits));
      if (!visit(seq, page.slots[rank_of(page, bit)].entry)) return;
    }
  }
}

template <typename Visit>
void QueueState::for_each_message(Visit&& visit) const {
  std::vector<uint64_t> page_numbers;
  page_numbers.reserve(pages_.size());
  for (const auto& [page_number, page] : pages_) page_numbers.push_back(page_number);
  std::sort(page_numbers.begin(), page_numbers.end());
  for (const uint64_t page_number : page_numbers) {
    const Page& page = pages_.find(page_number)->second;
    size_t rank = 0;
    for (uint64_t bits = page.live; bits != 0; bits &= bits - 1, ++rank) {
      const uint64_t bit = bits & (~bits + 1);
      const uint64_t seq = (page_number << kPageShift) | static_cast<uint64_t>(std::countr_zero(bits));
      const Slot& slot = page.slots[rank];
      visit(seq, slot.entry, (page.ready & bit) != 0 ? std::nullopt : std::optional<uint64_t>(slot.deadline_ms));
    }
  }
}

}  // namespace tollivane
