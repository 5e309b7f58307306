// Failure behaviour of a persistent queue, driven through the fault-injecting
// file system: failed and short writes, failed fsyncs, interrupted calls,
// failed opens, torn logs and power loss. The clock stands still unless a
// test moves it, so that two runs of the same calls write the same bytes.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fault_injection.h"
#include "locking/process_lock.h"
#include "logfile/format.h"
#include "queue/queue.h"
#include "frames.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using test_support::Call;
using test_support::CrashMode;
using test_support::FaultyFileSystem;
using test_support::in_call;
using test_support::read_file;
using test_support::ScratchDirectory;
using test_support::views_of;
using test_support::write_file;

uint64_t g_now_ms = 0;
uint64_t test_clock() { return g_now_ms; }

using test_support::bytes;

template <typename T>
Status status_of(Result<T> result) {
  return result.ok() ? Status() : Status(result.take_error());
}

// Everything of a state that replaying its log must reproduce.
struct Snapshot {
  std::set<uint64_t> ready;
  std::map<uint64_t, uint64_t> in_flight;
  std::map<uint64_t, std::tuple<uint64_t, uint64_t, uint32_t, uint32_t>> messages;  // ts, offset, deliveries, length
  std::vector<uint64_t> counters;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot_of(const Queue& queue) {
  const QueueState& state = queue.state();
  Snapshot shot{state.ready_seqs(), state.in_flight_deadlines(), {}, {}};
  for (const auto& [seq, m] : state.messages_by_seq()) {
    shot.messages[seq] = {m.enqueued_ts_ms, m.body_offset, m.deliveries, m.body_len};
  }
  const QueueCounters& c = state.counters();
  shot.counters = {c.next_seq, c.live_bytes, c.enqueued_total, c.acked_total, c.dead_total, c.requeued_total};
  return shot;
}

std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
  out << "{ready " << s.ready.size() << ", in flight " << s.in_flight.size() << ", messages";
  for (const auto& [seq, m] : s.messages) out << " " << seq << "x" << std::get<2>(m);
  return out << ", next_seq " << s.counters[0] << "}";
}

class RecordingSink : public DeliverySink {
 public:
  bool accept(const Delivery& d) override {
    offered.emplace_back(d.seq, std::vector<uint8_t>(d.body.begin(), d.body.end()), d.deliveries);
    return true;
  }
  std::vector<std::tuple<uint64_t, std::vector<uint8_t>, uint32_t>> offered;
};

class PersistentQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now_ms = 1'700'000'000'000; }

  std::unique_ptr<Queue> open(const std::string& dir, uint64_t sync_interval_ms = 0) {
    QueueConfig config;
    config.sync_interval_ms = sync_interval_ms;
    config.auto_compact_bytes = 0;  // keep each operation to its own records
    Result<std::unique_ptr<Queue>> opened = Queue::open(dir, config);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().message());
    if (!opened.ok()) return nullptr;
    (*opened)->set_clock_for_testing(&test_clock);
    return std::move(*opened);
  }
  std::unique_ptr<Queue> open() { return open(dir_.path()); }
  std::string log() const { return read_file(dir_.file("queue.log")); }
  static size_t log_size(const ScratchDirectory& dir) { return read_file(dir.file("queue.log")).size(); }

  ScratchDirectory dir_;
  FaultyFileSystem fs_;
};

// Each operation that writes a record, from a queue holding two messages.
struct Operation {
  const char* name;
  void (*prepare)(Queue&);
  Status (*run)(QueueCall&, RecordingSink&);
};

void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

void two_messages(Queue& q) {
  ASSERT_TRUE(in_call(q, [](QueueCall& call) { return call.enqueue(bytes("a")); }).ok());
  ASSERT_TRUE(in_call(q, [](QueueCall& call) { return call.enqueue(bytes("bb")); }).ok());
}
void first_leased(Queue& q) {
  two_messages(q);
  RecordingSink sink;
  ASSERT_TRUE(*in_call(q, [&](QueueCall& call) { return call.dequeue(100, sink); }));
  g_now_ms += 150;  // the lease has run out, but no sweep has seen it yet
}

const Operation kOperations[] = {
    {"Enqueue", two_messages, [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue(bytes("ccc"))); }},
    {"Dequeue", two_messages, [](QueueCall& q, RecordingSink& s) { return status_of(q.dequeue(1000, s)); }},
    {"Ack", first_leased, [](QueueCall& q, RecordingSink&) { return status_of(q.ack(0)); }},
    {"NackRequeue", first_leased, [](QueueCall& q, RecordingSink&) { return status_of(q.nack(0, true)); }},
    {"NackDrop", first_leased, [](QueueCall& q, RecordingSink&) { return status_of(q.nack(0, false)); }},
    {"ExtendLease", first_leased, [](QueueCall& q, RecordingSink&) { return status_of(q.extend_lease(0, 5000)); }},
    {"LeaseSweep", first_leased, [](QueueCall& q, RecordingSink&) { return q.reclaim_expired(g_now_ms); }},
    // A batch goes out in one write: it fails or lands as a whole.
    {"EnqueueBatch", two_messages,
     [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue_batch(views_of({bytes("c"), bytes("dd"), bytes("")}))); }},
    {"DequeueBatch", two_messages, [](QueueCall& q, RecordingSink& s) { return status_of(q.dequeue_batch(5, 1000, s)); }},
    {"AckBatch", first_leased, [](QueueCall& q, RecordingSink&) { return status_of(q.ack_batch({1, 0, 1, 7})); }},
    // An Ack, the sweep's Requeue of message 0 and the Lease of 0, in one write.
    {"AckAndDequeue", first_leased,
     [](QueueCall& q, RecordingSink& s) { return status_of(q.ack_and_dequeue(1, std::nullopt, 1000, s)); }},
    // The caller's own delivery acknowledged (its lease has run out, so it
    // is not requeued first), and message 1 leased.
    {"AckOwnDeliveryAndDequeue", first_leased,
     [](QueueCall& q, RecordingSink& s) { return status_of(q.ack_and_dequeue(0, 1, 1000, s)); }},
};

// The state, log and deliveries of a run where nothing fails.
struct Outcome {
  Snapshot state;
  std::string log;
  RecordingSink sink;
};

class OperationFailureTest : public PersistentQueueTest, public ::testing::WithParamInterface<Operation> {
 protected:
  Outcome undisturbed_run() {
    const uint64_t start = g_now_ms;
    const std::string dir = dir_.file("control");
    Outcome outcome;
    std::unique_ptr<Queue> q = open(dir);
    GetParam().prepare(*q);
    EXPECT_TRUE(in_call(*q, [&](QueueCall& call) { return GetParam().run(call, outcome.sink); }).ok());
    outcome.state = snapshot_of(*q);
    outcome.log = read_file(dir + "/queue.log");
    g_now_ms = start;
    return outcome;
  }
};

using WriteFault = std::tuple<const char*, void (*)(FaultyFileSystem&)>;
const WriteFault kWriteFaults[] = {
    {"Eio", [](FaultyFileSystem& fs) { fs.fail(Call::kWrite, EIO, "queue.log"); }},
    {"Enospc", [](FaultyFileSystem& fs) { fs.fail(Call::kWrite, ENOSPC, "queue.log"); }},
    {"ShortThenEio",
     [](FaultyFileSystem& fs) {
       fs.short_write(7, "queue.log");
       fs.fail(Call::kWrite, EIO, "queue.log", 2);
     }},
    {"ShortThenNoProgress",
     [](FaultyFileSystem& fs) {
       fs.short_write(7, "queue.log");
       fs.short_write(0, "queue.log", 2);
     }},
};

// A failed write leaves neither the record applied nor any byte of its frame;
// retried, the operation gives exactly the state and the log of a run where
// nothing failed.
TEST_P(OperationFailureTest, FailedWriteLeavesNoTraceAndTheRetryMatchesAnUndisturbedRun) {
  const Outcome expected = undisturbed_run();
  for (const auto& [fault_name, arm] : kWriteFaults) {
    SCOPED_TRACE(fault_name);
    ScratchDirectory dir;
    std::unique_ptr<Queue> q = open(dir.path());
    GetParam().prepare(*q);
    const Snapshot before = snapshot_of(*q);
    const std::string log_before = read_file(dir.file("queue.log"));
    RecordingSink sink;
    const uint64_t fired = fs_.faults_fired();
    arm(fs_);
    EXPECT_FALSE(in_call(*q, [&](QueueCall& call) { return GetParam().run(call, sink); }).ok());
    fs_.clear_faults();
    EXPECT_GE(fs_.faults_fired(), fired + 1);
    EXPECT_EQ(snapshot_of(*q), before);
    EXPECT_EQ(read_file(dir.file("queue.log")), log_before);
    EXPECT_TRUE(sink.offered.empty());

    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return GetParam().run(call, sink); }).ok());
    EXPECT_EQ(snapshot_of(*q), expected.state);
    EXPECT_EQ(read_file(dir.file("queue.log")), expected.log);
    EXPECT_EQ(sink.offered, expected.sink.offered);
    EXPECT_EQ(in_call(*q, [](QueueCall& call) { return call.stats(); })->log_bytes, expected.log.size());
    Result<uint64_t> next = in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("next")); });
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(*next, expected.state.counters[0]);
    const Snapshot after = snapshot_of(*q);
    q.reset();
    EXPECT_EQ(snapshot_of(*open(dir.path())), after);
    g_now_ms = 1'700'000'000'000;
  }
}

// A batch too large for one write goes out in several; a failure in any of
// them cuts the file back to where the batch began, and nothing is applied.
TEST_F(PersistentQueueTest, FailedLaterWriteOfALargeBatchUndoesTheWholeBatch) {
  std::unique_ptr<Queue> q = open();
  ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("first")); }).ok());
  const Snapshot before = snapshot_of(*q);
  const std::string log_before = log();
  std::vector<std::vector<uint8_t>> bodies(3, std::vector<uint8_t>(600'000, 'x'));
  fs_.reset_counts();
  fs_.fail(Call::kWrite, ENOSPC, "queue.log", 2);
  Result<std::vector<uint64_t>> failed = in_call(*q, [&](QueueCall& call) { return call.enqueue_batch(views_of(bodies)); });
  fs_.clear_faults();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(fs_.count(Call::kWrite, "queue.log"), 2u) << "the first part was written before the failure";
  EXPECT_EQ(snapshot_of(*q), before);
  EXPECT_EQ(log(), log_before);

  Result<std::vector<uint64_t>> retried = in_call(*q, [&](QueueCall& call) { return call.enqueue_batch(views_of(bodies)); });
  ASSERT_TRUE(retried.ok());
  EXPECT_EQ(*retried, (std::vector<uint64_t>{1, 2, 3}));
  const Snapshot after = snapshot_of(*q);
  q.reset();
  EXPECT_EQ(snapshot_of(*open()), after);
}

// An fsync that fails after the frame reached the file: the record is
// applied (the log and the object agree, so no id is handed out twice), the
// call reports the error, and the object refuses every later write or sync
// until it is reopened, because the kernel may have dropped the pages.
TEST_P(OperationFailureTest, FailedFsyncAppliesTheRecordThenRefusesWritesUntilReopened) {
  const Outcome expected = undisturbed_run();
  std::unique_ptr<Queue> q = open();
  GetParam().prepare(*q);
  RecordingSink sink;
  fs_.fail(Call::kFsync, EIO, "queue.log");
  Status failed = in_call(*q, [&](QueueCall& call) { return GetParam().run(call, sink); });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().io().os_errno(), EIO);
  EXPECT_EQ(snapshot_of(*q), expected.state);
  EXPECT_EQ(log(), expected.log);

  Result<uint64_t> refused = in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("later")); });
  Status refused_sync = in_call(*q, [&](QueueCall& call) { return call.flush(); });
  for (const Status& status : {status_of(std::move(refused)), refused_sync}) {
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().message().find("reopen"), std::string::npos) << status.error().message();
  }
  EXPECT_EQ(snapshot_of(*q), expected.state);
  EXPECT_EQ(log(), expected.log);

  q.reset();
  q = open();
  EXPECT_EQ(snapshot_of(*q), expected.state);
  Result<uint64_t> seq = in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("after reopen")); });
  ASSERT_TRUE(seq.ok());
  EXPECT_EQ(*seq, expected.state.counters[0]);
  EXPECT_FALSE(expected.state.messages.contains(*seq));
}

// Closing syncs what the interval left unsynced and reports a failure of
// that last fsync; after it the queue refuses writes like after any failed
// fsync, and a second close has nothing to report.
TEST_F(PersistentQueueTest, FailedSyncAtCloseIsReported) {
  std::unique_ptr<Queue> q = open(dir_.path(), /*sync_interval_ms=*/3'600'000);
  ASSERT_TRUE(in_call(*q, [](QueueCall& call) { return call.enqueue(bytes("unsynced")); }).ok());
  fs_.fail(Call::kFsync, EIO, "queue.log");
  Status closed = q->flush_on_close();
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().io().os_errno(), EIO);
  EXPECT_TRUE(q->flush_on_close().ok());
  EXPECT_EQ(fs_.count(Call::kFsync, "queue.log"), 1u);
}

INSTANTIATE_TEST_SUITE_P(EachRecordKind, OperationFailureTest, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PersistentQueueTest, AppendThatCannotBeUndoneRefusesWritesUntilReopened) {
  std::unique_ptr<Queue> q = open();
  two_messages(*q);
  const Snapshot before = snapshot_of(*q);
  const size_t size_before = log().size();
  fs_.short_write(7, "queue.log");
  fs_.fail(Call::kWrite, EIO, "queue.log", 2);
  fs_.fail(Call::kFtruncate, EIO, "queue.log");
  EXPECT_FALSE(in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("torn")); }).ok());
  fs_.clear_faults();
  EXPECT_EQ(log().size(), size_before + 7);  // the torn frame stays behind

  // Appending behind the torn frame would lose the new frame at the next
  // open, so nothing more is written by this object. (Its catch-up may cut
  // the torn frame meanwhile.)
  ::testing::internal::CaptureStderr();
  Result<uint64_t> refused = in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("refused")); });
  ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message().find("reopen"), std::string::npos) << refused.error().message();
  EXPECT_LE(log().size(), size_before + 7);
  EXPECT_EQ(snapshot_of(*q), before);

  q.reset();
  ::testing::internal::CaptureStderr();
  q = open();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log().size(), size_before);
  EXPECT_EQ(snapshot_of(*q), before);
  EXPECT_EQ(*in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("works")); }), before.counters[0]);
}

TEST_F(PersistentQueueTest, InterruptedCallsAreRetried) {
  std::unique_ptr<Queue> q = open();
  two_messages(*q);
  const Snapshot two = snapshot_of(*q);
  q.reset();
  const std::string intact = log();
  write_file(dir_.file("queue.log"), intact + "TLR");  // a torn tail, so recovery cuts

  // Opening opens the lock file, then reads, cuts and fsyncs the log.
  const uint64_t fired = fs_.faults_fired();
  for (Call call : {Call::kOpen, Call::kRead, Call::kFtruncate, Call::kFsync}) {
    fs_.fail(call, EINTR, "queue.log", 1, 2);
  }
  fs_.fail(Call::kOpen, EINTR, ".proc_lock", 1, 2);
  ::testing::internal::CaptureStderr();
  q = open();
  ::testing::internal::GetCapturedStderr();
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(fs_.faults_fired(), fired + 10);
  EXPECT_EQ(snapshot_of(*q), two);
  EXPECT_EQ(log(), intact);

  // Appending writes and fsyncs; undoing a failed append cuts.
  fs_.clear_faults();
  fs_.fail(Call::kWrite, EINTR, "queue.log", 1, 2);
  fs_.fail(Call::kFsync, EINTR, "queue.log", 1, 2);
  ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("ccc")); }).ok());
  const std::string three = log();
  fs_.short_write(3, "queue.log");
  fs_.fail(Call::kWrite, EIO, "queue.log", 2);
  fs_.fail(Call::kFtruncate, EINTR, "queue.log");
  EXPECT_FALSE(in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("dddd")); }).ok());
  EXPECT_EQ(fs_.faults_fired(), fired + 17);
  EXPECT_EQ(log(), three);
  fs_.clear_faults();
  EXPECT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes("eeeee")); }).ok()) << "the cut was made, so writing goes on";
  const Snapshot four = snapshot_of(*q);
  q.reset();
  EXPECT_EQ(snapshot_of(*open()), four);
}

// Every open that Queue::open makes (and its lock and first sync), failed in
// turn: nothing stays open and the process lock is free for the next opener.
TEST_F(PersistentQueueTest, FailedOpenLeavesTheProcessLockFree) {
  const std::tuple<Call, const char*, uint64_t> steps[] = {
      {Call::kOpen, ".proc_lock", 1}, {Call::kFlock, ".proc_lock", 1}, {Call::kOpen, "queue.log", 1},
      {Call::kFsync, "queue.fresh.tmp", 1}, {Call::kOpen, "queue.log", 2}, {Call::kOpen, "queue.log", 3}};
  for (const auto& [call, name, nth] : steps) {
    SCOPED_TRACE(std::string(name) + " call " + std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth));
    ScratchDirectory dir;
    fs_.fail(call, EIO, name, nth);
    const uint64_t fired = fs_.faults_fired();
    Result<std::unique_ptr<Queue>> failed = Queue::open(dir.path(), QueueConfig{});
    fs_.clear_faults();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(fs_.faults_fired(), fired + 1);
    EXPECT_EQ(failed.error().io().os_errno(), EIO);
    EXPECT_EQ(fs_.open_descriptors(), 0u);

    Result<base::Directory> directory = base::Directory::open(dir.path());
    ASSERT_TRUE(directory.ok());
    Result<ProcessLock> lock = ProcessLock::open(*directory, logfile::kProcessLockName);
    ASSERT_TRUE(lock.ok());
    EXPECT_TRUE(lock->write_lock(std::chrono::milliseconds(200)).ok());
    EXPECT_NE(open(dir.path()), nullptr);
  }
}

// A log cut at any byte reopens with the records that lie wholly before the
// cut, and is cut back to the end of the last of them.
TEST_F(PersistentQueueTest, EveryCutOfTheLogReopensWithItsIntactPrefix) {
  std::unique_ptr<Queue> q = open();
  std::map<size_t, Snapshot> at_boundary = {{log().size(), snapshot_of(*q)}};
  RecordingSink sink;
  const std::vector<Status (*)(QueueCall&, RecordingSink&)> steps = {
      [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue(bytes("a"))); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue({})); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue(bytes("ccc"))); },
      [](QueueCall& q, RecordingSink& s) { return status_of(q.dequeue(500, s)); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.nack(0, true)); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.ack(1)); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.nack(2, false)); },
  };
  for (auto step : steps) {
    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return step(call, sink); }).ok());
    at_boundary[log().size()] = snapshot_of(*q);
  }
  q.reset();
  const std::string full = log();

  for (size_t cut = 0; cut <= full.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    q.reset();
    write_file(dir_.file("queue.log"), full.substr(0, cut));
    ::testing::internal::CaptureStderr();
    q = open();
    const std::string warning = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(q, nullptr);
    // The last boundary at or before the cut; a cut header makes a fresh log.
    auto kept = std::prev(at_boundary.upper_bound(std::max<size_t>(cut, 16)));
    EXPECT_EQ(snapshot_of(*q), kept->second);
    EXPECT_EQ(log(), full.substr(0, kept->first));
    std::string expected_warning;
    if (cut > kept->first) {
      expected_warning = "Tollivane: truncating corrupt log tail at byte " + std::to_string(kept->first) +
                         (cut - kept->first < 12 ? " (truncated record header)\n" : " (truncated record payload)\n");
    }
    EXPECT_EQ(warning, expected_warning);
  }
}

// With an fsync on every append, a power loss right after any operation
// returned keeps that operation, whatever the crash did to unsynced bytes.
TEST_F(PersistentQueueTest, EverySuccessfulOperationSurvivesPowerLoss) {
  RecordingSink sink;
  const std::vector<Status (*)(QueueCall&, RecordingSink&)> steps = {
      [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue(bytes("a"))); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.enqueue_batch(views_of({bytes("b"), bytes("c"), bytes("d")}))); },
      [](QueueCall& q, RecordingSink& s) { return status_of(q.dequeue(1000, s)); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.extend_lease(0, 5000)); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.nack(0, true)); },
      [](QueueCall& q, RecordingSink& s) { return status_of(q.dequeue_batch(2, 100, s)); },
      [](QueueCall& q, RecordingSink& s) {
        g_now_ms += 200;  // the batch's leases expire: this dequeue sweeps them first
        return status_of(q.dequeue(1000, s));
      },
      [](QueueCall& q, RecordingSink&) { return status_of(q.ack(0)); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.ack_batch({1, 2})); },
      [](QueueCall& q, RecordingSink&) { return status_of(q.nack(3, false)); },
  };
  const CrashMode modes[] = {CrashMode::kDropUnsynced, CrashMode::kKeepRandomPrefix, CrashMode::kAppendGarbage};
  std::unique_ptr<Queue> q = open();
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("after step " + std::to_string(i));
    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return steps[i](call, sink); }).ok());
    const Snapshot expected = snapshot_of(*q);
    q.reset();
    fs_.crash(modes[i % 3]);
    ::testing::internal::CaptureStderr();
    q = open();
    const std::string warning = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(snapshot_of(*q), expected);
    // Only the garbage variant leaves anything for recovery to cut.
    EXPECT_EQ(warning.starts_with("Tollivane: truncating"), modes[i % 3] == CrashMode::kAppendGarbage) << warning;
  }
  EXPECT_EQ(sink.offered.size(), 4u);
}

// A sweep writes the requeues of all the leases it finds expired at once,
// with one sync decision: a crashed consumer's many leases cost one fsync
// under the process lock, not one each.
TEST_F(PersistentQueueTest, SweepOfManyExpiredLeasesWritesOnceAndSyncsOnce) {
  for (const uint64_t interval : {uint64_t{0}, uint64_t{3'600'000}}) {
    SCOPED_TRACE(interval);
    ScratchDirectory dir;
    std::unique_ptr<Queue> q = open(dir.path(), interval);
    RecordingSink sink;
    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return status_of(call.enqueue_batch(views_of(std::vector(500, bytes("m"))))); }).ok());
    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return status_of(call.dequeue_batch(500, 100, sink)); }).ok());
    // Extended to the deadline it had: a second pair of the same lease.
    ASSERT_TRUE(*in_call(*q, [&](QueueCall& call) { return call.extend_lease(7, 100); }));
    g_now_ms += 100;
    const size_t log_before = log_size(dir);
    fs_.reset_counts();
    EXPECT_EQ(*in_call(*q, [&](QueueCall& call) { return call.available(); }), 500u);
    EXPECT_EQ(fs_.count(Call::kWrite, "queue.log"), 1u);
    EXPECT_EQ(fs_.count(Call::kFsync, "queue.log"), interval == 0 ? 1u : 0u);
    EXPECT_EQ(log_size(dir), log_before + 500 * 25) << "one Requeue frame per lease";
    EXPECT_EQ(q->state().counters().requeued_total, 500u);
    const Snapshot swept = snapshot_of(*q);
    q.reset();
    EXPECT_EQ(snapshot_of(*open(dir.path(), interval)), swept);
  }
}

// The other side of the sync policy: appends inside the interval are lost to
// a power loss until something syncs them, or only a tail of them when the
// crash tears the append.
TEST_F(PersistentQueueTest, PowerLossDropsWhatWasNotSynced) {
  const uint64_t hour = 3'600'000;
  std::set<size_t> survivors;
  for (int round = 0; round < 20; ++round) {
    ScratchDirectory dir;
    std::unique_ptr<Queue> q = open(dir.path(), hour);
    auto enqueue = [&](const char* body) { ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue(bytes(body)); }).ok()); };
    fs_.reset_counts();
    for (const char* body : {"a", "b", "c"}) enqueue(body);
    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return call.flush(); }).ok());
    for (const char* body : {"d", "e", "f"}) enqueue(body);
    EXPECT_EQ(fs_.count(Call::kFsync, "queue.log"), 1u) << "only flush() may sync within the interval";
    q.reset();
    const bool torn = round % 2 == 1;
    fs_.crash(torn ? CrashMode::kKeepRandomPrefix : CrashMode::kDropUnsynced);
    ::testing::internal::CaptureStderr();
    q = open(dir.path(), hour);
    ::testing::internal::GetCapturedStderr();
    // What was synced, then (when torn) a run of the others from the oldest on.
    const QueueState& state = q->state();
    if (!torn) {
      EXPECT_EQ(state.message_count(), 3u);
    }
    ASSERT_GE(state.message_count(), 3u);
    for (uint64_t seq = 0; seq < state.message_count(); ++seq) EXPECT_NE(state.find(seq), nullptr) << seq;
    if (torn) survivors.insert(state.message_count());
  }
  EXPECT_GT(survivors.size(), 1u) << "a torn append should not always keep the same amount";
}

}  // namespace
}  // namespace tollivane
