#include "queue/queue_state.h"

#include <type_traits>
#include <utility>

#include "logfile/format.h"

namespace tollivane {
namespace {

uint64_t frame_bytes_of(const MessageEntry& entry) {
  return uint64_t{entry.body_len} + logfile::kEnqueueFrameOverhead;
}

// Below this many pairs the lease heap is never pruned.
constexpr size_t kLeaseHeapFloor = 1024;

}  // namespace

void QueueState::apply(const logfile::RecordView& record, uint64_t frame_offset, bool keep_body) {
  if (auto* enqueue = std::get_if<logfile::EnqueueView>(&record)) {
    std::vector<uint8_t> body;
    // Only a queue without a log keeps bodies, and its records are whole.
    if (keep_body) body.assign(enqueue->body.begin(), enqueue->body.end());
    apply_enqueue(enqueue->seq, enqueue->enqueued_ts_ms, static_cast<uint32_t>(enqueue->body_len), frame_offset,
                  keep_body ? &body : nullptr);
    return;
  }
  apply_settlement(record);
}

void QueueState::apply_settlement(const logfile::RecordView& record) {
  std::visit(
      [&](const auto& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, logfile::Lease>) {
          apply_lease(rec);
        } else if constexpr (std::is_same_v<Kind, logfile::Requeue>) {
          apply_requeue(rec);
        } else if constexpr (std::is_same_v<Kind, logfile::Ack>) {
          remove_message(rec.seq, counters_.acked_total);
        } else if constexpr (std::is_same_v<Kind, logfile::DeadLetter>) {
          remove_message(rec.seq, counters_.dead_total);
        }
      },
      record);
}

size_t QueueState::rank_of(const Page& page, uint64_t bit) {
  // Counted by hand: where the baseline instruction set has no population
  // count (x86-64, for one) std::popcount becomes a library call, and this
  // sits on every lookup.
  uint64_t x = page.live & (bit - 1);
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<size_t>((x * 0x0101010101010101u) >> 56);
}

QueueState::Page* QueueState::find_page(uint64_t page_number) const {
  if (cache_.page != nullptr && cache_.number == page_number) return cache_.page;
  auto it = pages_.find(page_number);
  if (it == pages_.end()) return nullptr;
  // Elements of an unordered_map keep their address until erased.
  cache_.number = page_number;
  cache_.page = const_cast<Page*>(&it->second);
  return cache_.page;
}

QueueState::Slot* QueueState::find_slot(uint64_t seq) const {
  Page* page = find_page(page_of(seq));
  const uint64_t bit = bit_of(seq);
  if (page == nullptr || (page->live & bit) == 0) return nullptr;
  return &page->slots[rank_of(*page, bit)];
}

void QueueState::set_ready(Page& page, uint64_t page_number, uint64_t bit) {
  if ((page.ready & bit) != 0) return;
  if (page.ready == 0) ready_pages_.insert(page_number);
  page.ready |= bit;
  ready_count_ += 1;
}

void QueueState::clear_ready(Page& page, uint64_t page_number, uint64_t bit) {
  if ((page.ready & bit) == 0) return;
  page.ready &= ~bit;
  if (page.ready == 0) ready_pages_.erase(page_number);
  ready_count_ -= 1;
}

void QueueState::drop_page(uint64_t page_number) {
  if (cache_.number == page_number) cache_.page = nullptr;
  pages_.erase(page_number);
}

void QueueState::apply_enqueue(uint64_t seq, uint64_t enqueued_ts_ms, uint32_t body_len, uint64_t frame_offset,
                               std::vector<uint8_t>* body) {
  if (seq >= counters_.next_seq) counters_.next_seq = seq + 1;

  MessageEntry entry;
  entry.enqueued_ts_ms = enqueued_ts_ms;
  entry.body_offset = frame_offset + logfile::kEnqueueFrameOverhead;
  entry.body_len = body_len;

  const uint64_t page_number = page_of(seq);
  const uint64_t bit = bit_of(seq);
  Page* page = find_page(page_number);
  if (page == nullptr) page = &pages_[page_number];
  if ((page->live & bit) != 0) {
    // A repeated Enqueue (only a damaged or foreign log has one) replaces the
    // message. Its old size and lease go with it, so that live_bytes stays
    // the sum over live messages and the message is ready exactly once.
    Slot& slot = page->slots[rank_of(*page, bit)];
    if ((page->ready & bit) == 0) count_hold(slot, false);
    release_live_bytes(slot.entry);
    set_deliveries(slot.entry, 0);
    slot = Slot{entry, 0};
  } else {
    page->slots.insert(page->slots.begin() + static_cast<std::ptrdiff_t>(rank_of(*page, bit)), Slot{entry, 0});
    page->live |= bit;
    message_count_ += 1;
  }
  set_ready(*page, page_number, bit);
  counters_.live_bytes += frame_bytes_of(entry);
  if (body != nullptr) {
    memory_bodies_[seq] = std::move(*body);
  } else if (!memory_bodies_.empty()) {
    memory_bodies_.erase(seq);
  }
  counters_.enqueued_total += 1;
}

void QueueState::apply_lease(const logfile::Lease& record) {
  Page* page = find_page(page_of(record.seq));
  const uint64_t bit = bit_of(record.seq);
  if (page == nullptr || (page->live & bit) == 0) return;
  Slot& slot = page->slots[rank_of(*page, bit)];
  if ((page->ready & bit) == 0) count_hold(slot, false);
  set_deliveries(slot.entry, record.deliveries);
  slot.deadline_ms = record.deadline_ms;
  clear_ready(*page, page_of(record.seq), bit);
  count_hold(slot, true);
  if (record.deadline_ms == logfile::kBuriedDeadlineMs) return;
  lease_heap_.push(LeasePair{record.deadline_ms, record.seq});
  prune_lease_heap();
}

void QueueState::apply_requeue(const logfile::Requeue& record) {
  Page* page = find_page(page_of(record.seq));
  const uint64_t bit = bit_of(record.seq);
  if (page == nullptr || (page->live & bit) == 0) return;
  Slot& slot = page->slots[rank_of(*page, bit)];
  if ((page->ready & bit) == 0) count_hold(slot, false);
  set_deliveries(slot.entry, record.deliveries);
  // The heap pair of the ended lease stays; the sweep skips it.
  set_ready(*page, page_of(record.seq), bit);
  counters_.requeued_total += 1;
}

void QueueState::remove_message(uint64_t seq, uint64_t& settled_counter) {
  const uint64_t page_number = page_of(seq);
  const uint64_t bit = bit_of(seq);
  Page* page = find_page(page_number);
  if (page == nullptr || (page->live & bit) == 0) return;
  const size_t rank = rank_of(*page, bit);
  if ((page->ready & bit) == 0) count_hold(page->slots[rank], false);
  release_live_bytes(page->slots[rank].entry);
  set_deliveries(page->slots[rank].entry, 0);
  clear_ready(*page, page_number, bit);
  page->slots.erase(page->slots.begin() + static_cast<std::ptrdiff_t>(rank));
  page->live &= ~bit;
  message_count_ -= 1;
  if (page->live == 0) {
    drop_page(page_number);
  } else if (page->slots.capacity() >= 8 && page->slots.size() * 4 <= page->slots.capacity()) {
    // A page thinned out by acks gives its memory back.
    page->slots.shrink_to_fit();
  }
  if (!memory_bodies_.empty()) memory_bodies_.erase(seq);
  settled_counter += 1;
}

void QueueState::release_live_bytes(const MessageEntry& entry) {
  const uint64_t bytes = frame_bytes_of(entry);
  counters_.live_bytes = counters_.live_bytes > bytes ? counters_.live_bytes - bytes : 0;
}

void QueueState::set_deliveries(MessageEntry& entry, uint32_t deliveries) {
  if (entry.deliveries == 0 && deliveries != 0) delivered_count_ += 1;
  if (entry.deliveries != 0 && deliveries == 0) delivered_count_ -= 1;
  entry.deliveries = deliveries;
}

void QueueState::count_hold(const Slot& slot, bool count) {
  switch (hold_of_lease(slot.deadline_ms, slot.entry.deliveries)) {
    case Hold::kScheduled: scheduled_count_ = count ? scheduled_count_ + 1 : scheduled_count_ - 1; break;
    case Hold::kBuried: buried_count_ = count ? buried_count_ + 1 : buried_count_ - 1; break;
    case Hold::kInFlight: break;
  }
}

void QueueState::prune_lease_heap() {
  // Pairs of ended leases wait in the heap until their deadline passes.
  // Leases extended or settled long before their deadline could pile them
  // up without bound, so once they outnumber the live messages the heap is
  // rebuilt from the current leases alone. The sweep skips stale pairs
  // anyway, so it sees the same leases in the same order; and the rebuild
  // costs one pass over the messages per as many pushes, a constant per push.
  if (lease_heap_.size() < kLeaseHeapFloor || lease_heap_.size() <= 2 * message_count_) return;
  std::vector<LeasePair> current;
  current.reserve(static_cast<size_t>(held_count() - buried_count_));
  for_each_message([&](uint64_t seq, const MessageEntry&, std::optional<uint64_t> deadline) {
    if (deadline && *deadline != logfile::kBuriedDeadlineMs) current.push_back(LeasePair{*deadline, seq});
  });
  lease_heap_ = LeaseHeap(std::greater<LeasePair>(), std::move(current));
}

const MessageEntry* QueueState::find(uint64_t seq) const {
  const Slot* slot = find_slot(seq);
  return slot == nullptr ? nullptr : &slot->entry;
}

std::optional<uint64_t> QueueState::lease_deadline(uint64_t seq) const {
  const Page* page = find_page(page_of(seq));
  const uint64_t bit = bit_of(seq);
  if (page == nullptr || (page->live & bit) == 0 || (page->ready & bit) != 0) return std::nullopt;
  return page->slots[rank_of(*page, bit)].deadline_ms;
}

std::optional<Hold> QueueState::hold_of(uint64_t seq) const {
  const std::optional<uint64_t> deadline = lease_deadline(seq);
  if (!deadline) return std::nullopt;
  return hold_of_lease(*deadline, find(seq)->deliveries);
}

std::optional<uint64_t> QueueState::first_ready() const {
  if (ready_pages_.empty()) return std::nullopt;
  const uint64_t page_number = *ready_pages_.begin();
  const Page& page = *find_page(page_number);
  return (page_number << kPageShift) | static_cast<uint64_t>(std::countr_zero(page.ready));
}

std::optional<uint64_t> QueueState::oldest_ready_ts_ms() const {
  // The message that has waited longest is the ready one with the smallest
  // id: ids are handed out in the order messages arrive (under the process
  // lock, by whichever process), and a requeue gives a message back its
  // place with its id and its enqueue time, however often it was leased.
  // So its enqueue time is the earliest of the ready ones, unless the wall
  // clock was set back between two enqueues; then a later message carries
  // an earlier time, but the figure stays that of the message that truly
  // waited longest, as it should. No other order needs keeping for it.
  const std::optional<uint64_t> seq = first_ready();
  if (!seq) return std::nullopt;
  return find(*seq)->enqueued_ts_ms;
}

std::optional<std::span<const uint8_t>> QueueState::memory_body(uint64_t seq) const {
  auto it = memory_bodies_.find(seq);
  if (it == memory_bodies_.end()) return std::nullopt;
  return std::span<const uint8_t>(it->second);
}

std::set<uint64_t> QueueState::ready_seqs() const {
  std::set<uint64_t> seqs;
  for_each_ready([&](uint64_t seq, const MessageEntry&) {
    seqs.insert(seq);
    return true;
  });
  return seqs;
}

std::map<uint64_t, uint64_t> QueueState::in_flight_deadlines() const {
  std::map<uint64_t, uint64_t> deadlines;
  for_each_message([&](uint64_t seq, const MessageEntry&, std::optional<uint64_t> deadline) {
    if (deadline) deadlines.emplace(seq, *deadline);
  });
  return deadlines;
}

std::map<uint64_t, MessageEntry> QueueState::messages_by_seq() const {
  std::map<uint64_t, MessageEntry> messages;
  for_each_message([&](uint64_t seq, const MessageEntry& entry, std::optional<uint64_t>) { messages.emplace(seq, entry); });
  return messages;
}

std::vector<LeasePair> QueueState::take_expired_leases(uint64_t now) {
  std::vector<LeasePair> expired;
  while (!lease_heap_.empty() && lease_heap_.top().deadline_ms <= now) {
    const LeasePair pair = lease_heap_.top();
    lease_heap_.pop();
    // A second pair of the same lease (an extension to the same deadline)
    // comes right after the first.
    if (lease_deadline(pair.seq) != pair.deadline_ms) continue;
    if (!expired.empty() && expired.back() == pair) continue;
    expired.push_back(pair);
  }
  return expired;
}

logfile::Requeue QueueState::requeue_of(uint64_t seq) const {
  const MessageEntry* entry = find(seq);
  return logfile::Requeue{seq, entry != nullptr ? entry->deliveries : 0};
}

void QueueState::set_body_offset(uint64_t seq, uint64_t body_offset) {
  if (Slot* slot = find_slot(seq)) slot->entry.body_offset = body_offset;
}

}  // namespace tollivane
