// QueueState::apply for each record kind. The state must stay self-consistent
// for every record the operations write, and absorb repeated or orphaned
// records (replay and catch-up feed it whatever the log holds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "logfile/record.h"
#include "queue/queue_state.h"
#include "frames.h"

namespace tollivane {
namespace {

using logfile::RecordView;

using test_support::bytes;

// `body` is a literal, which outlives the record that views it.
RecordView enqueue(uint64_t seq, std::string_view body, uint64_t ts = 0) {
  return logfile::EnqueueView{seq, ts, test_support::bytes_of(body)};
}
RecordView lease(uint64_t seq, uint64_t deadline, uint32_t deliveries) {
  return logfile::Lease{seq, deadline, deliveries};
}
RecordView requeue(uint64_t seq, uint32_t deliveries) { return logfile::Requeue{seq, deliveries}; }
RecordView ack(uint64_t seq) { return logfile::Ack{seq}; }
RecordView dead(uint64_t seq) { return logfile::DeadLetter{seq}; }

// The heap in pop order; the copy leaves the state untouched.
std::vector<LeasePair> heap_in_order(const QueueState& state) {
  QueueState::LeaseHeap heap = state.lease_heap();
  std::vector<LeasePair> pairs;
  for (; !heap.empty(); heap.pop()) pairs.push_back(heap.top());
  return pairs;
}

auto counters_of(const QueueState& state) {
  const QueueCounters& c = state.counters();
  return std::make_tuple(c.next_seq, c.live_bytes, c.enqueued_total, c.acked_total, c.dead_total,
                         c.requeued_total);
}

// Everything observable except entry contents, for "changed nothing" checks.
auto snapshot(const QueueState& state) {
  return std::make_tuple(counters_of(state), state.ready_seqs(), state.in_flight_deadlines(), state.message_count(),
                         state.lease_heap().size());
}

// Each live message is in exactly one of ready and in_flight, live_bytes is
// the sum of their frame sizes, and each lease has its heap pair.
void expect_consistent(const QueueState& state) {
  uint64_t live = 0;
  for (const auto& [seq, entry] : state.messages_by_seq()) {
    live += entry.body_len + 33u;
    EXPECT_NE(state.ready_seqs().count(seq), state.in_flight_deadlines().count(seq)) << "seq " << seq;
  }
  EXPECT_EQ(state.counters().live_bytes, live);
  EXPECT_EQ(state.message_count(), state.ready_seqs().size() + state.in_flight_deadlines().size());
  EXPECT_EQ(state.ready_count(), state.ready_seqs().size());
  const std::vector<LeasePair> heap = heap_in_order(state);
  for (const auto& [seq, deadline] : state.in_flight_deadlines()) {
    // A buried message has nothing to run out.
    const bool paired = std::find(heap.begin(), heap.end(), LeasePair{deadline, seq}) != heap.end();
    EXPECT_EQ(paired, deadline != logfile::kBuriedDeadlineMs) << "seq " << seq;
  }
}

TEST(QueueStateTest, EnqueueStoresEntryBesideItsFrameAndMakesItReady) {
  QueueState state;
  EXPECT_EQ(state.counters().next_seq, 0u);
  state.apply(enqueue(0, "0123456789", 1234), 16, /*keep_body=*/true);

  const MessageEntry* entry = state.find(0);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(std::tie(entry->enqueued_ts_ms, entry->body_offset, entry->deliveries, entry->body_len),
            std::make_tuple(1234u, 16u + 33u, 0u, 10u));
  EXPECT_TRUE(std::ranges::equal(*state.memory_body(0), bytes("0123456789")));
  EXPECT_EQ(state.ready_seqs(), (std::set<uint64_t>{0}));
  EXPECT_EQ(counters_of(state), std::make_tuple(1u, 43u, 1u, 0u, 0u, 0u));

  // A queue with a log keeps only where the body is.
  state.apply(enqueue(1, "abc"), 100, /*keep_body=*/false);
  ASSERT_NE(state.find(1), nullptr);
  EXPECT_FALSE(state.memory_body(1).has_value());
  EXPECT_EQ(std::tie(state.find(1)->body_offset, state.find(1)->body_len), std::make_tuple(133u, 3u));
  EXPECT_EQ(state.counters().live_bytes, 43u + 36u);
  expect_consistent(state);
}

TEST(QueueStateTest, NextSeqFollowsLargestEnqueuedSeqSoIdsMaySkip) {
  QueueState state;
  state.apply(enqueue(5, "x"), 0, true);
  EXPECT_EQ(state.counters().next_seq, 6u);
  state.apply(enqueue(2, "y"), 0, true);
  EXPECT_EQ(state.counters().next_seq, 6u);
  EXPECT_EQ(state.ready_seqs(), (std::set<uint64_t>{2, 5}));
  EXPECT_EQ(state.counters().enqueued_total, 2u);
  expect_consistent(state);
}

TEST(QueueStateTest, ReenqueueOfLiveSeqReplacesEntryAndItsAccounting) {
  QueueState state;
  state.apply(enqueue(0, "0123456789", 1), 16, true);
  state.apply(lease(0, 500, 2), 0, false);
  state.apply(enqueue(0, "abcd", 2), 80, true);

  const MessageEntry* entry = state.find(0);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(std::tie(entry->enqueued_ts_ms, entry->body_offset, entry->deliveries), std::make_tuple(2u, 113u, 0u));
  EXPECT_TRUE(std::ranges::equal(*state.memory_body(0), bytes("abcd")));
  // The old lease is gone; only its heap pair is left, now stale.
  EXPECT_TRUE(state.in_flight_deadlines().empty());
  EXPECT_EQ(state.ready_seqs(), (std::set<uint64_t>{0}));
  EXPECT_EQ(state.lease_heap().size(), 1u);
  EXPECT_EQ(counters_of(state), std::make_tuple(1u, 37u, 2u, 0u, 0u, 0u));
  expect_consistent(state);
}

TEST(QueueStateTest, LeaseMovesMessageInFlightAndReplacesAnEarlierDeadline) {
  QueueState state;
  state.apply(enqueue(0, "a"), 0, true);
  const auto counters_before = counters_of(state);
  state.apply(lease(0, 500, 7), 0, false);

  EXPECT_EQ(state.find(0)->deliveries, 7u);
  EXPECT_TRUE(state.ready_seqs().empty());
  EXPECT_EQ(state.lease_deadline(0), 500u);
  EXPECT_EQ(counters_of(state), counters_before);

  // Leasing it again replaces the deadline; the first pair stays behind, stale.
  state.apply(lease(0, 200, 8), 0, false);
  EXPECT_EQ(state.lease_deadline(0), 200u);
  EXPECT_EQ(heap_in_order(state), (std::vector<LeasePair>{{200, 0}, {500, 0}}));
  EXPECT_EQ(counters_of(state), counters_before);
  expect_consistent(state);
}

TEST(QueueStateTest, LeaseHeapOrdersByDeadlineThenSeq) {
  QueueState state;
  for (uint64_t seq = 0; seq < 4; ++seq) state.apply(enqueue(seq, "m"), 0, true);
  state.apply(lease(1, 300, 1), 0, false);
  state.apply(lease(3, 100, 1), 0, false);
  state.apply(lease(0, 300, 1), 0, false);
  state.apply(lease(2, 100, 1), 0, false);
  EXPECT_EQ(heap_in_order(state), (std::vector<LeasePair>{{100, 2}, {100, 3}, {300, 0}, {300, 1}}));
}

TEST(QueueStateTest, RequeueMakesMessageReadyOnceAndAlwaysCounts) {
  QueueState state;
  state.apply(enqueue(0, "leased"), 0, true);
  state.apply(enqueue(1, "ready"), 0, true);
  state.apply(lease(0, 500, 1), 0, false);

  state.apply(requeue(0, 3), 0, false);
  state.apply(requeue(1, 4), 0, false);  // already ready: stays there once
  EXPECT_EQ(state.find(0)->deliveries, 3u);
  EXPECT_EQ(state.find(1)->deliveries, 4u);
  EXPECT_EQ(state.ready_seqs(), (std::set<uint64_t>{0, 1}));
  EXPECT_TRUE(state.in_flight_deadlines().empty());
  EXPECT_EQ(state.lease_heap().size(), 1u);  // left for the sweep to skip
  EXPECT_EQ(state.counters().requeued_total, 2u);
  expect_consistent(state);
}

TEST(QueueStateTest, AckAndDeadLetterRemoveMessageAndRaiseTheirOwnCounter) {
  QueueState state;
  state.apply(enqueue(0, "ready"), 0, true);
  state.apply(enqueue(1, "leased!"), 0, true);
  state.apply(lease(1, 500, 1), 0, false);

  state.apply(ack(1), 0, false);
  EXPECT_EQ(state.find(1), nullptr);
  EXPECT_TRUE(state.in_flight_deadlines().empty());
  EXPECT_EQ(state.lease_heap().size(), 1u);  // stale, skipped by the sweep
  EXPECT_EQ(counters_of(state), std::make_tuple(2u, 38u, 2u, 1u, 0u, 0u));
  expect_consistent(state);

  state.apply(dead(0), 0, false);
  EXPECT_EQ(state.message_count(), 0u);
  EXPECT_TRUE(state.ready_seqs().empty());
  EXPECT_EQ(counters_of(state), std::make_tuple(2u, 0u, 2u, 1u, 1u, 0u));
}

TEST(QueueStateTest, RecordsForSeqWithoutEntryChangeNothing) {
  QueueState state;
  state.apply(enqueue(0, "gone"), 0, true);
  state.apply(enqueue(1, "kept"), 0, true);
  state.apply(ack(0), 0, false);
  const auto before = snapshot(state);

  // Seq 0 was already settled; seq 9 was never enqueued.
  for (uint64_t seq : {0u, 9u}) {
    state.apply(ack(seq), 0, false);
    state.apply(dead(seq), 0, false);
    state.apply(lease(seq, 100, 1), 0, false);
    state.apply(requeue(seq, 1), 0, false);
    EXPECT_EQ(snapshot(state), before) << "seq " << seq;
  }
}

// The same records applied to the state and to a plain model of the rules
// (ordered set, maps) must agree after every step. Ids are drawn from a few
// narrow ranges, so that pages fill, empty and get replaced, ids sit on both
// sides of page boundaries, and some lie near the top of the id space.
// Fill and drain phases alternate, so that pages also empty completely.
TEST(QueueStateTest, AgreesWithAPlainModelOnRandomRecords) {
  struct Model {
    std::map<uint64_t, MessageEntry> messages;
    std::set<uint64_t> ready;
    std::map<uint64_t, uint64_t> in_flight;
    uint64_t live_bytes = 0;
  };
  const uint64_t bases[] = {0, 60, 4096, uint64_t{1} << 40, UINT64_MAX - 70};
  uint64_t random = 0x9E3779B97F4A7C15u;
  auto next = [&](uint64_t bound) {
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    return random % bound;
  };
  QueueState state;
  Model model;
  for (int step = 0; step < 40000; ++step) {
    const uint64_t seq = bases[next(5)] + next(70);
    const bool draining = (step / 4000) % 2 == 1;
    const uint64_t kind = draining ? 4 + next(6) : next(10);
    if (kind < 4) {
      const uint32_t len = static_cast<uint32_t>(next(4));
      const std::vector<uint8_t> body(len, 'b');
      state.apply(logfile::EnqueueView{seq, uint64_t(step), body}, 1000 + step, false);
      if (auto old = model.messages.find(seq); old != model.messages.end()) {
        model.live_bytes -= old->second.body_len + 33u;
        model.in_flight.erase(seq);
      }
      model.messages[seq] = MessageEntry{uint64_t(step), 1033u + step, 0, len};
      model.ready.insert(seq);
      model.live_bytes += len + 33u;
    } else if (kind < 6) {
      // Now and then a buried message (the largest deadline) or a scheduled
      // one (a lease of count 0).
      const uint64_t deadline = next(9) == 0 ? logfile::kBuriedDeadlineMs : next(50);
      const uint32_t deliveries = next(9) == 0 ? 0 : static_cast<uint32_t>(step);
      state.apply(lease(seq, deadline, deliveries), 0, false);
      if (auto it = model.messages.find(seq); it != model.messages.end()) {
        it->second.deliveries = deliveries;
        model.ready.erase(seq);
        model.in_flight[seq] = deadline;
      }
    } else if (kind < 8) {
      state.apply(requeue(seq, 3), 0, false);
      if (auto it = model.messages.find(seq); it != model.messages.end()) {
        it->second.deliveries = 3;
        model.in_flight.erase(seq);
        model.ready.insert(seq);
      }
    } else {
      state.apply(kind == 8 ? ack(seq) : dead(seq), 0, false);
      if (auto it = model.messages.find(seq); it != model.messages.end()) {
        model.live_bytes -= it->second.body_len + 33u;
        model.messages.erase(it);
        model.ready.erase(seq);
        model.in_flight.erase(seq);
      }
    }
    ASSERT_EQ(state.first_ready(), model.ready.empty() ? std::nullopt : std::optional(*model.ready.begin()));
    ASSERT_EQ(state.ready_count(), model.ready.size());
    ASSERT_EQ(state.message_count(), model.messages.size());
    ASSERT_EQ(state.counters().live_bytes, model.live_bytes);
    // What holds each leased message follows from its Lease alone.
    uint64_t scheduled = 0, buried = 0;
    for (const auto& [leased, deadline] : model.in_flight) {
      buried += deadline == logfile::kBuriedDeadlineMs;
      scheduled += deadline != logfile::kBuriedDeadlineMs && model.messages[leased].deliveries == 0;
    }
    ASSERT_EQ(std::make_tuple(state.scheduled_count(), state.buried_count(), state.in_flight_count()),
              std::make_tuple(scheduled, buried, model.in_flight.size() - scheduled - buried))
        << "step " << step;
    const MessageEntry* entry = state.find(seq);
    auto expected = model.messages.find(seq);
    ASSERT_EQ(entry != nullptr, expected != model.messages.end()) << "seq " << seq;
    if (entry != nullptr) {
      EXPECT_EQ(std::tie(entry->enqueued_ts_ms, entry->body_offset, entry->deliveries, entry->body_len),
                std::tie(expected->second.enqueued_ts_ms, expected->second.body_offset, expected->second.deliveries,
                         expected->second.body_len));
    }
    if (step % 500 == 0) {
      ASSERT_EQ(state.ready_seqs(), model.ready);
      ASSERT_EQ(state.in_flight_deadlines(), model.in_flight);
      expect_consistent(state);
    }
  }
  // Walks in id order, as compaction relies on.
  std::vector<uint64_t> walked;
  state.for_each_message([&](uint64_t seq, const MessageEntry&, std::optional<uint64_t>) { walked.push_back(seq); });
  std::vector<uint64_t> expected_order;
  for (const auto& [seq, entry] : model.messages) expected_order.push_back(seq);
  EXPECT_EQ(walked, expected_order);
}

// Stale pairs of extended leases are dropped once they outnumber the live
// messages; the pairs of current leases all stay, so the sweep sees the
// same leases in the same order.
TEST(QueueStateTest, LeaseHeapKeepsCurrentLeasesWhenStalePairsArePruned) {
  QueueState state;
  for (uint64_t seq = 0; seq < 4; ++seq) state.apply(enqueue(seq, "x"), 0, false);
  for (uint64_t round = 0; round < 5000; ++round) state.apply(lease(round % 3, 1000 + round, 1), 0, false);
  EXPECT_LE(state.lease_heap().size(), 1024u + 8u);
  const std::vector<LeasePair> current = {{1000 + 4997, 2}, {1000 + 4998, 0}, {1000 + 4999, 1}};
  std::vector<LeasePair> matching;
  for (const LeasePair& pair : heap_in_order(state)) {
    if (state.lease_deadline(pair.seq) == pair.deadline_ms) matching.push_back(pair);
  }
  EXPECT_EQ(matching, current);
  expect_consistent(state);
}

}  // namespace
}  // namespace tollivane
