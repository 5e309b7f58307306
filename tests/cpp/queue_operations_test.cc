// Queue operations on a ":memory:" queue. The clock is replaced by a global
// that each test moves by hand, so a lease expires exactly when the test says
// so rather than when the wall clock happens to tick.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "logfile/format.h"
#include "queue/queue.h"
#include "frames.h"
#include "queue_call.h"

namespace tollivane {
namespace {

uint64_t g_now_ms = 0;
uint64_t test_clock() { return g_now_ms; }

constexpr uint64_t kStart = 1'700'000'000'000;
constexpr uint64_t kDefaultLease = 250;
constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

using Sizes = std::tuple<uint64_t, uint64_t, uint64_t>;  // ready, in flight, total

using test_support::bytes;

struct Delivered {
  uint64_t seq;
  std::vector<uint8_t> body;
  uint32_t deliveries;
  uint64_t enqueued_ts_ms;
};

// Copies every delivery offered to it and refuses those beyond `accept_limit`.
class RecordingSink : public DeliverySink {
 public:
  explicit RecordingSink(size_t accept_limit = std::numeric_limits<size_t>::max()) : accept_limit_(accept_limit) {}
  bool accept(const Delivery& d) override {
    offered.push_back({d.seq, {d.body.begin(), d.body.end()}, d.deliveries, d.enqueued_ts_ms});
    return offered.size() <= accept_limit_;
  }
  std::vector<Delivered> offered;

 private:
  size_t accept_limit_;
};

// The value of a call expected to succeed; a failure is reported with its text.
template <typename T>
T value_of(Result<T> result) {
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message());
  return result.ok() ? std::move(result.value()) : T{};
}

std::vector<LeasePair> heap_in_order(const QueueState& state) {
  QueueState::LeaseHeap heap = state.lease_heap();
  std::vector<LeasePair> pairs;
  for (; !heap.empty(); heap.pop()) pairs.push_back(heap.top());
  return pairs;
}

class QueueOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now_ms = kStart;
    QueueConfig config;
    config.default_lease_ms = kDefaultLease;
    Result<std::unique_ptr<Queue>> opened = Queue::open(kMemoryPath, config);
    ASSERT_TRUE(opened.ok());
    q_ = std::move(*opened);
    q_->set_clock_for_testing(&test_clock);
  }

  // A call on the queue as the binding enters one; without a log it holds
  // no lock, so each operation below may enter its own.
  QueueCall call() {
    Result<QueueCall> entered = q_->enter_call(CatchUp::kRun);
    if (!entered.ok()) std::abort();
    return std::move(*entered);
  }
  uint64_t enqueue(std::string_view body) { return value_of(call().enqueue(bytes(body))); }
  // The delivery one dequeue made, or nullopt when nothing was ready.
  std::optional<Delivered> dequeue(std::optional<uint64_t> lease_ms = std::nullopt) {
    RecordingSink sink;
    const bool delivered = value_of(call().dequeue(lease_ms, sink));
    EXPECT_EQ(sink.offered.size(), delivered ? 1u : 0u);
    if (!delivered || sink.offered.empty()) return std::nullopt;
    return sink.offered.front();
  }
  bool extend(uint64_t seq, std::optional<uint64_t> lease_ms) { return value_of(call().extend_lease(seq, lease_ms)); }
  uint64_t available() { return value_of(call().available()); }
  QueueStats stats() { return value_of(call().stats()); }
  Sizes sizes() {
    const QueueStats s = stats();
    return {s.ready, s.in_flight, s.total};
  }
  std::optional<uint64_t> deadline(uint64_t seq) const { return q_->state().lease_deadline(seq); }

  std::unique_ptr<Queue> q_;
};

TEST_F(QueueOperationsTest, EnqueueAssignsConsecutiveIdsFromZeroAndStampsTheClock) {
  EXPECT_EQ(enqueue("first"), 0u);
  g_now_ms += 10;
  const std::vector<std::vector<uint8_t>> batch = {bytes("a"), bytes(""), bytes("ccc")};
  EXPECT_EQ(value_of(call().enqueue_batch(test_support::views_of(batch))), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_TRUE(value_of(call().enqueue_batch({})).empty());

  RecordingSink sink;
  EXPECT_EQ(value_of(call().dequeue_batch(10, std::nullopt, sink)), 4u);
  ASSERT_EQ(sink.offered.size(), 4u);
  EXPECT_EQ(sink.offered[0].body, bytes("first"));
  EXPECT_EQ(sink.offered[0].enqueued_ts_ms, kStart);
  for (uint64_t i = 1; i < 4; ++i) {
    EXPECT_EQ(sink.offered[i].seq, i);
    EXPECT_EQ(sink.offered[i].body, batch[i - 1]);
    EXPECT_EQ(sink.offered[i].enqueued_ts_ms, kStart + 10);  // one timestamp per batch
  }
  const QueueCounters c = stats().counters;
  EXPECT_EQ(std::tie(c.next_seq, c.enqueued_total, c.live_bytes), std::make_tuple(4u, 4u, 9u + 4 * 33u));
}

TEST_F(QueueOperationsTest, BodyOverRecordLimitRefusesTheWholeBatch) {
  std::vector<std::vector<uint8_t>> batch;
  batch.push_back(bytes("fits"));
  batch.emplace_back(logfile::kMaxBodyLen + 1);  // 512 MiB: the suite's only large allocation
  Result<std::vector<uint64_t>> refused = call().enqueue_batch(test_support::views_of(batch));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().error_class(), Error::Class::kInvalidArgument);
  EXPECT_NE(refused.error().message().find(std::to_string(logfile::kMaxBodyLen + 1)), std::string::npos);

  // The valid body ahead of the oversized one was not enqueued either.
  EXPECT_EQ(sizes(), Sizes(0, 0, 0));
  EXPECT_EQ(stats().counters.live_bytes, 0u);
  EXPECT_EQ(enqueue("next"), 0u);
}

TEST_F(QueueOperationsTest, DequeueLeasesSmallestReadyIdForTheGivenOrDefaultLease) {
  enqueue("a");
  enqueue("b");
  std::optional<Delivered> got = dequeue();
  ASSERT_TRUE(got);
  EXPECT_EQ(std::tie(got->seq, got->deliveries, got->enqueued_ts_ms), std::make_tuple(0u, 1u, kStart));
  EXPECT_EQ(got->body, bytes("a"));
  EXPECT_EQ(deadline(0), kStart + kDefaultLease);
  EXPECT_EQ(sizes(), Sizes(1, 1, 2));

  EXPECT_EQ(dequeue(40)->seq, 1u);
  EXPECT_EQ(deadline(1), kStart + 40);
  EXPECT_FALSE(dequeue());
}

TEST_F(QueueOperationsTest, DequeueBatchTakesUpToMaxInOrderUnderOneDeadline) {
  for (const char* body : {"a", "b", "c"}) enqueue(body);
  RecordingSink sink;
  EXPECT_EQ(value_of(call().dequeue_batch(2, std::nullopt, sink)), 2u);
  ASSERT_EQ(sink.offered.size(), 2u);
  EXPECT_EQ(sink.offered[0].seq, 0u);
  EXPECT_EQ(sink.offered[1].seq, 1u);
  EXPECT_EQ(deadline(0), kStart + kDefaultLease);
  EXPECT_EQ(deadline(1), kStart + kDefaultLease);
  EXPECT_EQ(q_->state().ready_seqs(), (std::set<uint64_t>{2}));

  // A batch of zero delivers nothing but still sweeps the expired leases.
  g_now_ms = kStart + kDefaultLease;
  RecordingSink none;
  EXPECT_EQ(value_of(call().dequeue_batch(0, 10, none)), 0u);
  EXPECT_TRUE(none.offered.empty());
  EXPECT_EQ(call().in_flight(), 0u);
}

TEST_F(QueueOperationsTest, ExpiredLeaseIsRedeliveredBeforeNewerMessagesWithRaisedCount) {
  enqueue("old");
  enqueue("new");
  ASSERT_EQ(dequeue(100)->deliveries, 1u);
  g_now_ms = kStart + 99;
  EXPECT_EQ(dequeue(100)->seq, 1u);

  g_now_ms = kStart + 100;  // a deadline equal to now has expired
  std::optional<Delivered> again = dequeue();
  ASSERT_TRUE(again);
  EXPECT_EQ(std::tie(again->seq, again->deliveries), std::make_tuple(0u, 2u));
  EXPECT_EQ(again->body, bytes("old"));
  EXPECT_EQ(stats().counters.requeued_total, 1u);
}

TEST_F(QueueOperationsTest, LeaseEndingNowOrWrappingPastMaxExpiresAtTheNextSweep) {
  enqueue("m");
  ASSERT_EQ(dequeue(0)->deliveries, 1u);
  // Same millisecond: the zero lease is already over.
  ASSERT_EQ(dequeue(kMaxU64)->deliveries, 2u);
  EXPECT_EQ(deadline(0), kStart - 1);  // now + (2^64 - 1) wraps to now - 1
  EXPECT_EQ(available(), 1u);

  ASSERT_EQ(dequeue(1000)->deliveries, 3u);
  EXPECT_TRUE(extend(0, kMaxU64 - 1));
  EXPECT_EQ(deadline(0), kStart - 2);
  EXPECT_EQ(available(), 1u);
}

// A lease or delay ending exactly at 2^64 - 1 would read back as a buried
// message, which nothing ever returns: it ends a millisecond earlier.
TEST_F(QueueOperationsTest, ALeaseOrDelayEndingAtTheBuriedDeadlineEndsAMillisecondShortOfIt) {
  const uint64_t to_the_top = kMaxU64 - kStart;
  const uint64_t scheduled = value_of(call().enqueue_delayed(bytes("late"), to_the_top));
  const uint64_t batch = value_of(call().enqueue_batch_delayed(test_support::views_of({bytes("b")}), to_the_top))[0];
  const uint64_t leased = enqueue("leased");
  ASSERT_EQ(dequeue(to_the_top)->seq, leased);
  for (const uint64_t seq : {scheduled, batch, leased}) EXPECT_EQ(deadline(seq), kMaxU64 - 1) << seq;
  EXPECT_TRUE(value_of(call().retry(leased, to_the_top, std::nullopt)));
  EXPECT_EQ(deadline(leased), kMaxU64 - 1);
  EXPECT_TRUE(extend(leased, to_the_top));
  EXPECT_EQ(deadline(leased), kMaxU64 - 1);
  EXPECT_EQ(std::make_tuple(call().in_flight(), call().scheduled(), call().buried()), std::make_tuple(1u, 2u, 0u));
}

TEST_F(QueueOperationsTest, InFlightCountsExpiredLeasesUntilASweepRuns) {
  enqueue("a");
  enqueue("b");
  dequeue(1);
  dequeue(1000);
  g_now_ms += 5;
  EXPECT_EQ(call().in_flight(), 2u);
  EXPECT_EQ(sizes(), Sizes(1, 1, 2));  // stats() sweeps
  EXPECT_EQ(call().in_flight(), 1u);
}

TEST_F(QueueOperationsTest, SweepOrdersTiedDeadlinesBySeqAndStopsAtFirstFutureDeadline) {
  for (const char* body : {"a", "b", "c"}) enqueue(body);
  dequeue(200);  // seq 0 until kStart + 200
  g_now_ms = kStart + 100;
  dequeue(100);  // seq 1, the same deadline
  dequeue(50);   // seq 2 until kStart + 150
  EXPECT_EQ(heap_in_order(q_->state()),
            (std::vector<LeasePair>{{kStart + 150, 2}, {kStart + 200, 0}, {kStart + 200, 1}}));

  g_now_ms = kStart + 199;
  EXPECT_EQ(available(), 1u);
  EXPECT_EQ(heap_in_order(q_->state()), (std::vector<LeasePair>{{kStart + 200, 0}, {kStart + 200, 1}}));
  g_now_ms = kStart + 200;
  EXPECT_EQ(available(), 3u);
  EXPECT_TRUE(q_->state().lease_heap().empty());
}

TEST_F(QueueOperationsTest, ExtendedLeaseOutlivesItsOldDeadlineWithoutCountingADelivery) {
  enqueue("a");
  dequeue(100);
  g_now_ms = kStart + 50;
  EXPECT_TRUE(extend(0, 1000));
  EXPECT_EQ(deadline(0), kStart + 1050);

  g_now_ms = kStart + 100;  // the old pair surfaces and is dropped as stale
  EXPECT_FALSE(dequeue());
  EXPECT_EQ(sizes(), Sizes(0, 1, 1));
  EXPECT_EQ(q_->state().lease_heap().size(), 1u);

  g_now_ms = kStart + 1050;
  EXPECT_EQ(dequeue()->deliveries, 2u);
}

TEST_F(QueueOperationsTest, ExtensionCountsFromNowSoItCanShortenOrRescueAnUnsweptLease) {
  enqueue("a");
  dequeue(100);
  g_now_ms = kStart + 500;  // expired, but no sweep has run yet
  EXPECT_TRUE(extend(0, std::nullopt));
  EXPECT_EQ(deadline(0), kStart + 500 + kDefaultLease);
  EXPECT_TRUE(extend(0, 10));
  EXPECT_EQ(deadline(0), kStart + 510);

  g_now_ms = kStart + 509;
  EXPECT_EQ(available(), 0u);
  g_now_ms = kStart + 510;
  EXPECT_EQ(available(), 1u);
}

TEST_F(QueueOperationsTest, SinkRefusalEndsTheCallButTheLeaseStays) {
  for (const char* body : {"a", "b", "c"}) enqueue(body);
  RecordingSink refuse_all(0);
  Result<bool> single = call().dequeue(100, refuse_all);
  ASSERT_FALSE(single.ok());
  EXPECT_EQ(single.error().error_class(), Error::Class::kSinkAborted);
  EXPECT_EQ(refuse_all.offered.size(), 1u);
  EXPECT_EQ(deadline(0), kStart + 100);

  RecordingSink accept_one(1);
  Result<uint64_t> batch = call().dequeue_batch(3, 100, accept_one);
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().error_class(), Error::Class::kSinkAborted);
  EXPECT_EQ(accept_one.offered.size(), 2u);  // the batch stopped at the refusal
  EXPECT_EQ(call().in_flight(), 3u);

  // Refused deliveries come back like any other lease that ran out.
  g_now_ms += 100;
  std::optional<Delivered> again = dequeue();
  ASSERT_TRUE(again);
  EXPECT_EQ(std::tie(again->seq, again->deliveries), std::make_tuple(0u, 2u));
}

}  // namespace
}  // namespace tollivane
