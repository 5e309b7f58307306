// The durability campaigns: a random workload over every operation, cut
// short by kill -9 at every kind of file-system step, by a simulated power
// loss there, by an I/O error at every call site, or by a real file system
// running full; after each, the directory must reopen clean and hold
// exactly what the calls that returned promise. Then several processes at
// once on one directory, killed at random, or with the names they opened it
// by changing under them. Each prints its figure line; TOLLIVANE_LONG=1 runs
// the full sweeps (scripts/run_campaigns.sh).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "campaign.h"
#include "logfile/format.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using campaign::History;
using campaign::ModelState;
using campaign::Tally;
using campaign::Verdict;
using test_support::Call;
using test_support::CrashMode;
using test_support::FaultyFileSystem;
using test_support::Names;
using test_support::ScratchDirectory;

// 1..long_max in the long run; a spread of about `quick_count` values up to
// quick_max otherwise.
std::vector<uint64_t> sweep(uint64_t quick_max, uint64_t quick_count, uint64_t long_max) {
  std::vector<uint64_t> points;
  if (campaign::long_run()) {
    for (uint64_t n = 1; n <= long_max; ++n) points.push_back(n);
    return points;
  }
  const uint64_t step = std::max<uint64_t>(1, quick_max / quick_count);
  for (uint64_t n = 1; n <= quick_max; n += step) points.push_back(n);
  return points;
}

QueueConfig campaign_config(uint64_t sync_interval_ms) {
  QueueConfig config;
  config.sync_interval_ms = sync_interval_ms;
  config.auto_compact_bytes = 4096;  // acks compact often, so renames happen throughout
  return config;
}

const char* call_name(Call call) {
  switch (call) {
    case Call::kOpen: return "open";
    case Call::kWrite: return "write";
    case Call::kFsync: return "fsync";
    case Call::kSyncDir: return "directory fsync";
    case Call::kFtruncate: return "ftruncate";
    case Call::kRename: return "rename";
    case Call::kMmap: return "mmap";
    case Call::kFlock: return "flock";
    case Call::kRead: return "read";
    default: return "other";
  }
}

// Checks what a child left in `dir` against what its returned calls promise.
// With `every_call_synced`, only the call in progress at its death is in
// doubt; otherwise every call after the last one that forced a sync is.
Verdict check_history(const std::string& dir, const QueueConfig& config, const ModelState& start,
                      const History& history, bool every_call_synced) {
  ModelState model = start;
  size_t first_uncertain = history.ops.size();
  size_t last_sync = 0;
  std::string wrong_result;
  for (size_t i = 0; i < history.results.size() && i < first_uncertain; ++i) {
    const campaign::OpResult& result = history.results[i];
    if (!result.ok) {
      wrong_result = std::string(campaign::op_name(history.ops[i].kind)) + " failed in the child";
      first_uncertain = i;
      break;
    }
    if (std::string wrong = campaign::check_result(model, history.ops[i], result); !wrong.empty()) wrong_result = wrong;
    model = campaign::effects(model, history.ops[i]).back();
    if (campaign::forces_sync(history.ops[i].kind)) last_sync = i + 1;
  }
  if (!every_call_synced) first_uncertain = std::min(first_uncertain, last_sync);
  if (first_uncertain == history.ops.size() && history.results.size() < history.ops.size()) first_uncertain = history.results.size();
  Verdict verdict =
      campaign::reopen_and_check(dir, config, campaign::possible_states(start, history.ops, first_uncertain));
  if (!wrong_result.empty()) {
    verdict.matched = false;
    verdict.detail = wrong_result + "; " + verdict.detail;
  }
  return verdict;
}

uint64_t seed_of(uint64_t a, uint64_t b, uint64_t c) { return (a * 1'000'003 + b) * 1'000'033 + c + 1; }

// The calls of `history` that delay, retry, bury or kick messages.
uint64_t hold_calls(const History& history) {
  return static_cast<uint64_t>(std::count_if(history.ops.begin(), history.ops.end(), [](const campaign::Op& op) {
    return op.kind >= campaign::OpKind::kEnqueueDelayed;
  }));
}

void expect_verdict(const Verdict& verdict, const std::string& where, int& reported) {
  const bool bad = verdict.unopenable || verdict.damaged || !verdict.matched;
  if (bad && reported++ < 10) ADD_FAILURE() << where << ": " << verdict.detail;
}

// Campaign 1: kill -9 right after the Nth write, fsync, ftruncate, rename or
// directory fsync, then again at a random moment of a second run on the
// recovered directory.
TEST(DurabilityCampaign, KillNineAtEveryStepLosesAndResurrectsNothing) {
  const bool full = campaign::long_run();
  const uint64_t iterations = full ? 3 : 1;
  const std::vector<std::pair<Call, std::vector<uint64_t>>> points = {
      {Call::kWrite, sweep(150, 25, 300)},  {Call::kFsync, sweep(120, 20, 240)},
      {Call::kFtruncate, sweep(2, 2, 3)},   {Call::kRename, sweep(12, 12, 30)},
      {Call::kSyncDir, sweep(16, 16, 40)},
  };
  const QueueConfig config = campaign_config(0);
  const size_t max_ops = full ? 400 : 200;
  Tally tally;
  uint64_t kill_points = 0, kills = 0, random_kills = 0, not_reached = 0, calls = 0, holding = 0;
  int reported = 0;
  for (const auto& [call, nths] : points) {
    for (uint64_t nth : nths) {
      bool reached = false;
      for (uint64_t iteration = 0; iteration < iterations; ++iteration) {
        const std::string where = std::string("kill after ") + call_name(call) + " #" + std::to_string(nth) +
                                  ", iteration " + std::to_string(iteration);
        ScratchDirectory dir(campaign::scratch_base());
        const uint64_t seed = seed_of(static_cast<uint64_t>(call), nth, iteration);
        campaign::ChildPlan plan{config, seed, 0, max_ops, nullptr, std::nullopt};
        const Call kill_call = call;
        const uint64_t kill_nth = nth;
        plan.arm = [kill_call, kill_nth](FaultyFileSystem& fs) {
          fs.after(kill_call, "", kill_nth, [] { ::raise(SIGKILL); });
        };
        const History first = campaign::run_in_child(dir.path(), plan);
        calls += first.ops.size();
        holding += hold_calls(first);
        not_reached += first.finished;
        kills += !first.finished;
        reached = reached || !first.finished;
        const Verdict verdict = check_history(dir.path(), config, ModelState{}, first, true);
        tally.add(verdict);
        expect_verdict(verdict, where, reported);
        if (!verdict.matched) continue;

        // The recovered directory goes on working, until a kill at a random moment.
        std::mt19937_64 random(seed);
        campaign::ChildPlan second{config, seed + 1, 1'000'000, 5000, nullptr,
                                   std::chrono::microseconds(random() % 12000)};
        const History next = campaign::run_in_child(dir.path(), second);
        calls += next.ops.size();
        holding += hold_calls(next);
        random_kills += !next.finished;
        const Verdict after = check_history(dir.path(), config, verdict.state, next, true);
        tally.add(after);
        expect_verdict(after, where + ", then a random-time kill", reported);
      }
      kill_points += reached;
    }
  }
  campaign::print_figure("kill -9: " + std::to_string(kill_points) + " kill points x up to " +
                         std::to_string(iterations) + " iterations = " + std::to_string(kills) + " kills, + " +
                         std::to_string(random_kills) + " random-time kills = " +
                         std::to_string(tally.checked) + " reopens after " + std::to_string(calls) + " calls (" +
                         std::to_string(holding) + " of them delaying, retrying, burying or kicking): lost " +
                         std::to_string(tally.lost) +
                         ", resurrected " + std::to_string(tally.resurrected) + ", unopenable " +
                         std::to_string(tally.unopenable) + ", inconsistent " + std::to_string(tally.inconsistent) +
                         " (" + std::to_string(not_reached) + " runs ended before their kill point)");
  EXPECT_TRUE(tally.clean());
}

// Campaign 2: a power loss right after the Nth write, fsync, ftruncate,
// rename or directory fsync: unsynced file data is dropped, torn or followed
// by garbage, and names not yet made durable by a directory fsync are undone.
TEST(DurabilityCampaign, PowerLossKeepsEverySyncedCallAndAPrefixOfTheRest) {
  const bool full = campaign::long_run();
  struct Variant {
    CrashMode mode;
    Names names;
    const char* name;
  };
  const Variant variants[] = {
      {CrashMode::kDropUnsynced, Names::kKeep, "drop unsynced"},
      {CrashMode::kKeepRandomPrefix, Names::kUndoUnsynced, "torn tail, names undone"},
      {CrashMode::kAppendGarbage, Names::kKeep, "garbage tail"},
      {CrashMode::kDropUnsynced, Names::kUndoUnsynced, "drop unsynced, names undone"},
      {CrashMode::kKeepRandomPrefix, Names::kKeep, "torn tail"},
      {CrashMode::kAppendGarbage, Names::kUndoUnsynced, "garbage tail, names undone"},
  };
  const std::vector<std::pair<Call, std::vector<uint64_t>>> points = {
      {Call::kWrite, sweep(150, 20, 300)},  {Call::kFsync, sweep(120, 15, 240)}, {Call::kFtruncate, sweep(2, 2, 3)},
      {Call::kRename, sweep(12, 8, 30)},    {Call::kSyncDir, sweep(16, 8, 40)},
  };
  const size_t max_ops = full ? 400 : 200;
  Tally tally;
  uint64_t not_reached = 0, calls = 0, holding = 0;
  int reported = 0;
  size_t rotation = 0;
  for (const uint64_t interval : {uint64_t{0}, uint64_t{3'600'000}}) {
    const QueueConfig config = campaign_config(interval);
    for (const auto& [call, nths] : points) {
      for (uint64_t nth : nths) {
        // The quick run takes one variant per point, in turn; the long run all.
        const size_t variant_count = full ? std::size(variants) : 1;
        for (size_t v = 0; v < variant_count; ++v) {
          const Variant& variant = variants[full ? v : rotation++ % std::size(variants)];
          const std::string where = std::string("power loss after ") + call_name(call) + " #" + std::to_string(nth) +
                                    " (" + variant.name + ", sync interval " + std::to_string(interval) + ")";
          ScratchDirectory dir(campaign::scratch_base());
          campaign::ChildPlan plan{config, seed_of(static_cast<uint64_t>(call), nth, v + 10 * interval), 0, max_ops,
                                   nullptr, std::nullopt};
          const Call crash_call = call;
          const uint64_t crash_nth = nth;
          const CrashMode mode = variant.mode;
          const Names names = variant.names;
          plan.arm = [=](FaultyFileSystem& fs) {
            FaultyFileSystem* system = &fs;
            fs.after(crash_call, "", crash_nth, [system, mode, names] {
              system->crash(mode, names);
              ::raise(SIGKILL);
            });
          };
          const History history = campaign::run_in_child(dir.path(), plan);
          calls += history.ops.size();
          holding += hold_calls(history);
          if (history.finished) {
            ++not_reached;
            continue;
          }
          const Verdict verdict = check_history(dir.path(), config, ModelState{}, history, interval == 0);
          tally.add(verdict);
          expect_verdict(verdict, where, reported);
        }
      }
    }
  }
  campaign::print_figure("power loss: " + std::to_string(tally.checked) +
                         " crash images checked (sync interval 0 and 1 h, 6 crash variants) after " +
                         std::to_string(calls) + " calls (" + std::to_string(holding) +
                         " of them delaying, retrying, burying or kicking): violations " +
                         std::to_string(tally.lost + tally.resurrected + tally.unopenable + tally.inconsistent) +
                         " (lost " + std::to_string(tally.lost) + ", resurrected " + std::to_string(tally.resurrected) +
                         ", unopenable " + std::to_string(tally.unopenable) + ", inconsistent " +
                         std::to_string(tally.inconsistent) + "; " + std::to_string(not_reached) +
                         " runs ended before their crash point)");
  EXPECT_TRUE(tally.clean());
}

// Campaign 3: the Nth open, write, fsync, directory fsync, ftruncate, rename,
// mmap or flock fails (or a write comes up short and the next one fails).
uint64_t g_clock_ms = 0;
uint64_t campaign_clock() { return g_clock_ms; }

struct Fault {
  Call call;
  int error;  // 0: a short write, then ENOSPC
  // The fault strikes while a write that came up short is being undone:
  // the Nth write is short, the next fails, and the cut back fails too.
  bool while_undoing = false;
};

const char* error_name(int error) {
  switch (error) {
    case 0: return "short write";
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case EINTR: return "EINTR";
    case ENOMEM: return "ENOMEM";
    case ENOLCK: return "ENOLCK";
    default: return "?";
  }
}

// The calls whose EINTR the file helpers retry: the caller must not see it.
bool retries_eintr(Call call) {
  return call == Call::kOpen || call == Call::kWrite || call == Call::kFsync || call == Call::kSyncDir ||
         call == Call::kFtruncate || call == Call::kRead;
}

// One workload for every run, on a clock that moves only between calls, so
// that the Nth call of a kind is the same call in each.
constexpr uint64_t kIoWorkloadSeed = 7;

struct IoTally {
  uint64_t tried = 0, fired = 0, false_successes = 0, inconsistent = 0, eintr_not_retried = 0;
};

class IoErrorRun {
 public:
  // With `power_loss_after`, the object that met the fault makes one more
  // call, and then the power fails.
  IoErrorRun(const Fault& fault, uint64_t nth, bool power_loss_after, size_t ops, IoTally& tally, int& reported)
      : fault_(fault), nth_(nth), power_loss_after_(power_loss_after), ops_(ops), tally_(tally),
        reported_(reported), fs_(nth) {}

  void run() {
    g_clock_ms = 1'700'000'000'000;
    arm();
    Result<std::unique_ptr<Queue>> opened = Queue::open(dir_.path(), config_);
    const bool open_failed = !opened.ok();
    if (open_failed) {
      // The fault hit the open itself: it must say so, and leave an openable queue.
      settle_fault(opened.error().message(), false, {ModelState{}}, nullptr);
      opened = Queue::open(dir_.path(), config_);
      if (!opened.ok()) return fail("reopen after a failed open: " + opened.error().message());
    }
    std::unique_ptr<Queue> queue = std::move(*opened);
    queue->set_clock_for_testing(&campaign_clock);
    if (!open_failed && fs_.faults_fired() > 0) {
      // Met and overcome while opening (a retried EINTR, a failed unlock).
      queue = settle_fault("open", true, {ModelState{}}, std::move(queue));
    }
    campaign::Workload workload(kIoWorkloadSeed, 0);
    for (size_t i = 0; i < ops_ && queue != nullptr; ++i) {
      const campaign::Op op = workload.next(queue->state(), g_clock_ms);
      const uint64_t fired_before = fs_.faults_fired();
      const campaign::OpResult result = campaign::run_op(*queue, op, nullptr, nullptr, &campaign_clock);
      g_clock_ms += 13;
      if (fs_.faults_fired() == fired_before) {
        if (!result.ok) return fail(std::string(campaign::op_name(op.kind)) + " failed with no fault: " + result.error);
        if (std::string wrong = campaign::check_result(model_, op, result); !wrong.empty()) return fail(wrong);
        model_ = campaign::effects(model_, op).back();
        continue;
      }
      std::vector<ModelState> possible = campaign::effects(model_, op);
      if (result.ok) {
        if (std::string wrong = campaign::check_result(model_, op, result); !wrong.empty()) return fail(wrong);
        possible = {possible.back()};
      }
      queue = settle_fault(std::string(campaign::op_name(op.kind)) + ": " + result.error, result.ok, possible,
                           std::move(queue));
    }
    queue.reset();
    const Verdict final_check = campaign::reopen_and_check(dir_.path(), config_, {model_});
    if (!final_check.matched || final_check.damaged) fail("at the end: " + final_check.detail);
  }

 private:
  void arm() {
    if (fault_.error == 0 || fault_.while_undoing) {
      fs_.short_write(5, "", nth_);
      fs_.fail(Call::kWrite, ENOSPC, "", nth_ + 1);
    }
    if (fault_.while_undoing) {
      fs_.fail(fault_.call, fault_.error, "", 1);
    } else if (fault_.error != 0) {
      fs_.fail(fault_.call, fault_.error, "", nth_);
    }
  }

  // The call that met the fault returned `ok` (and `what` if it failed);
  // `possible` are the states it may have left. Checks the object as its next
  // call sees it and the directory as a reopen finds it, and carries on with
  // a fresh object.
  std::unique_ptr<Queue> settle_fault(const std::string& what, bool ok, const std::vector<ModelState>& possible,
                                      std::unique_ptr<Queue> queue) {
    fs_.clear_faults();
    ++tally_.fired;
    if (!ok && fault_.error == EINTR && !fault_.while_undoing && retries_eintr(fault_.call)) {
      ++tally_.eintr_not_retried;
      fail("EINTR reached the caller: " + what);
    }
    if (power_loss_after_) return settle_with_power_loss(ok, possible, std::move(queue));
    Verdict live;
    live.matched = true;
    if (queue != nullptr) {
      // What this object holds once its next call has caught up, and whether
      // the failure left the log without a torn frame.
      Result<IntegrityReport> report =
          test_support::in_call(*queue, [](QueueCall& call) { return call.verify_integrity(); });
      if (!report.ok() || report->message != "clean") {
        live.matched = false;
        live.detail = "log not clean after the failure";
      } else {
        live = campaign::check_state(*queue, dir_.path(), possible);
      }
      queue.reset();
    }
    const Verdict reopened = campaign::reopen_and_check(dir_.path(), config_, possible);
    if (ok && !reopened.matched) {
      ++tally_.false_successes;
      fail("reported success, but the reopened queue lacks its effect: " + reopened.detail);
    } else if (!reopened.matched || reopened.damaged || !live.matched || live.state != reopened.state) {
      ++tally_.inconsistent;
      fail("after " + (ok ? std::string("a success") : what) + ": object " +
           (live.matched ? "consistent" : live.detail) + "; reopened " + (reopened.matched ? "consistent" : reopened.detail) +
           (live.matched && reopened.matched && !(live.state == reopened.state) ? "; the object and the log disagree" : ""));
    }
    if (!reopened.matched) return nullptr;
    model_ = reopened.state;
    Result<std::unique_ptr<Queue>> again = Queue::open(dir_.path(), config_);
    if (!again.ok()) return nullptr;
    (*again)->set_clock_for_testing(&campaign_clock);
    return std::move(*again);
  }

  // A failure must not leave the queue in a state where a later success is
  // not durable: the next call reports success only for what a power loss
  // right after it keeps.
  std::unique_ptr<Queue> settle_with_power_loss(bool ok, const std::vector<ModelState>& possible,
                                                std::unique_ptr<Queue> queue) {
    std::vector<ModelState> after = possible;
    bool next_ok = false;
    if (queue != nullptr) {
      const campaign::Op next{campaign::OpKind::kEnqueue, {1'000'000 + nth_}, 0, g_clock_ms};
      const campaign::OpResult result = campaign::run_op(*queue, next, nullptr, nullptr, &campaign_clock);
      next_ok = result.ok;
      after.clear();
      for (const ModelState& state : possible) {
        std::vector<ModelState> states = campaign::effects(state, next);
        if (!result.ok) {
          after.insert(after.end(), states.begin(), states.end());
        } else if (campaign::check_result(state, next, result).empty()) {
          after.push_back(states.back());
        }
      }
    }
    fs_.crash(CrashMode::kDropUnsynced, Names::kUndoUnsynced);
    queue.reset();
    const Verdict reopened = campaign::reopen_and_check(dir_.path(), config_, after);
    if (!reopened.matched || reopened.damaged) {
      if (ok || next_ok) {
        ++tally_.false_successes;
      } else {
        ++tally_.inconsistent;
      }
      fail(std::string("power loss after the ") + (ok ? "success" : "failure") + (next_ok ? " and a successful call" : "") +
           ": " + reopened.detail);
      return nullptr;
    }
    model_ = reopened.state;
    Result<std::unique_ptr<Queue>> again = Queue::open(dir_.path(), config_);
    if (!again.ok()) return nullptr;
    (*again)->set_clock_for_testing(&campaign_clock);
    return std::move(*again);
  }

  void fail(const std::string& detail) {
    if (reported_++ < 10) {
      ADD_FAILURE() << call_name(fault_.call) << " fails with " << error_name(fault_.error) << " at call #" << nth_
                    << (power_loss_after_ ? " (then a power loss)" : "") << ": " << detail;
    }
  }

  const Fault fault_;
  const uint64_t nth_;
  const bool power_loss_after_;
  const size_t ops_;
  IoTally& tally_;
  int& reported_;
  const QueueConfig config_ = campaign_config(0);
  ScratchDirectory dir_{campaign::scratch_base()};
  FaultyFileSystem fs_;
  ModelState model_;
};

TEST(DurabilityCampaign, IoErrorAtEveryCallSiteIsReportedAndLeavesAConsistentLog) {
  const Fault faults[] = {
      {Call::kOpen, EIO},       {Call::kOpen, ENOSPC},     {Call::kOpen, EINTR},
      {Call::kWrite, EIO},      {Call::kWrite, ENOSPC},    {Call::kWrite, EINTR},     {Call::kWrite, 0},
      {Call::kFsync, EIO},      {Call::kFsync, ENOSPC},    {Call::kFsync, EINTR},
      {Call::kSyncDir, EIO},    {Call::kSyncDir, EINTR},
      {Call::kFtruncate, EIO, true},  {Call::kFtruncate, EINTR, true},
      {Call::kRename, EIO},     {Call::kRename, ENOSPC},   {Call::kRename, EINTR},
      {Call::kMmap, EIO},       {Call::kMmap, ENOMEM},     {Call::kMmap, EINTR},
      {Call::kFlock, ENOLCK},   {Call::kFlock, EINTR},
      {Call::kRead, EIO},       {Call::kRead, EINTR},
  };
  const size_t ops = campaign::long_run() ? 120 : 50;
  // How often the workload makes each call when nothing fails: the sweep's range.
  std::map<Call, uint64_t> calls;
  {
    ScratchDirectory dir(campaign::scratch_base());
    FaultyFileSystem fs(1);
    g_clock_ms = 1'700'000'000'000;
    const QueueConfig config = campaign_config(0);
    Result<std::unique_ptr<Queue>> opened = Queue::open(dir.path(), config);
    ASSERT_TRUE(opened.ok());
    (*opened)->set_clock_for_testing(&campaign_clock);
    campaign::Workload workload(kIoWorkloadSeed, 0);
    for (size_t i = 0; i < ops; ++i) {
      (void)campaign::run_op(**opened, workload.next((*opened)->state(), g_clock_ms), nullptr, nullptr, &campaign_clock);
      g_clock_ms += 13;
    }
    for (Call call : {Call::kOpen, Call::kWrite, Call::kFsync, Call::kSyncDir, Call::kFtruncate, Call::kRename,
                      Call::kMmap, Call::kFlock, Call::kRead}) {
      calls[call] = fs.count(call);
    }
  }
  IoTally tally;
  int reported = 0;
  std::set<std::pair<Call, int>> kinds;
  for (const Fault& fault : faults) {
    // A fault while undoing strikes the first such call after the Nth write.
    const uint64_t range = calls[fault.while_undoing ? Call::kWrite : fault.call];
    for (uint64_t nth : sweep(range, 10, range)) {
      kinds.insert({fault.call, fault.error});
      for (const bool power_loss_after : {false, true}) {
        ++tally.tried;
        IoErrorRun(fault, nth, power_loss_after, ops, tally, reported).run();
      }
    }
  }
  campaign::print_figure("I/O errors: " + std::to_string(kinds.size()) + " call kinds x errors, " +
                         std::to_string(tally.tried) + " runs (half with a power loss after the next call), " +
                         std::to_string(tally.fired) +
                         " faults fired: false successes " + std::to_string(tally.false_successes) +
                         ", inconsistent reopens " + std::to_string(tally.inconsistent) + ", EINTR not retried " +
                         std::to_string(tally.eintr_not_retried));
  EXPECT_EQ(tally.false_successes, 0u);
  EXPECT_EQ(tally.inconsistent, 0u);
  EXPECT_EQ(tally.eintr_not_retried, 0u);
  EXPECT_GT(tally.fired, tally.tried / 2) << "most injected faults should meet a call";
}

// Campaign 4: the queue's file system runs full and is freed again, cycle
// after cycle, while the workload enqueues, batches, settles, compacts and
// purges. A call refused for lack of space may have left a prefix of its
// effects and nothing else: no temporary file holds on to space, the log
// stays clean, and once space is freed every call works again.
struct FullDiskTally {
  uint64_t calls = 0, refused = 0, refused_replacements = 0, temporaries_left = 0, stuck = 0, inconsistent = 0;
};

class FullDiskRun {
 public:
  FullDiskRun(campaign::SmallFileSystem& disk, FullDiskTally& tally, int& reported)
      : disk_(disk), dir_(disk.path() + "/queue"), tally_(tally), reported_(reported) {}

  void run(size_t cycles, size_t calls_per_phase) {
    g_clock_ms = 1'700'000'000'000;
    std::unique_ptr<Queue> queue = open();
    std::mt19937_64 random(kIoWorkloadSeed);
    for (size_t cycle = 0; cycle < cycles && queue != nullptr; ++cycle) {
      // From no space at all to more than a compaction of the live messages takes.
      disk_.fill_leaving(random() % (48 * 1024));
      for (size_t i = 0; i < calls_per_phase; ++i) call(*queue, workload_.next(queue->state(), g_clock_ms));
      // The call that needs the most space.
      call(*queue, campaign::Op{campaign::OpKind::kCompact, {}, 0});
      disk_.free_filler();
      const uint64_t refused_before = tally_.refused;
      for (size_t i = 0; i < calls_per_phase; ++i) call(*queue, workload_.next(queue->state(), g_clock_ms));
      if (tally_.refused != refused_before) {
        ++tally_.stuck;
        fail("cycle " + std::to_string(cycle) + ": calls still refused once space was freed");
      }
      queue.reset();
      const Verdict reopened = campaign::reopen_and_check(dir_, config_, {model_});
      if (reopened.unopenable || reopened.damaged || !reopened.matched) {
        ++tally_.inconsistent;
        fail("cycle " + std::to_string(cycle) + ", reopened: " + reopened.detail);
        return;
      }
      queue = open();
    }
  }

 private:
  std::unique_ptr<Queue> open() {
    Result<std::unique_ptr<Queue>> opened = Queue::open(dir_, config_);
    if (!opened.ok()) {
      fail("open: " + opened.error().message());
      return nullptr;
    }
    (*opened)->set_clock_for_testing(&campaign_clock);
    return std::move(*opened);
  }

  void call(Queue& queue, const campaign::Op& op) {
    ++tally_.calls;
    const campaign::OpResult result = campaign::run_op(queue, op, nullptr, nullptr, &campaign_clock);
    g_clock_ms += 13;
    if (result.ok) {
      if (std::string wrong = campaign::check_result(model_, op, result); !wrong.empty()) fail(wrong);
      model_ = campaign::effects(model_, op).back();
      return;
    }
    ++tally_.refused;
    if (result.error.find("No space left on device") == std::string::npos) {
      fail(std::string(campaign::op_name(op.kind)) + " failed, and not for lack of space: " + result.error);
    }
    const bool replacement = op.kind == campaign::OpKind::kCompact || op.kind == campaign::OpKind::kPurge;
    tally_.refused_replacements += replacement;
    for (const char* name : {"/queue.compact.tmp", "/queue.purge.tmp"}) {
      if (std::filesystem::exists(dir_ + name)) {
        ++tally_.temporaries_left;
        fail(std::string(campaign::op_name(op.kind)) + " left " + name + " behind: " + result.error);
        std::filesystem::remove(dir_ + name);
      }
    }
    // Which of its effects the refused call left, as this object holds them.
    const Verdict verdict = campaign::check_state(queue, dir_, campaign::effects(model_, op));
    if (!verdict.matched) {
      ++tally_.inconsistent;
      fail(std::string(campaign::op_name(op.kind)) + " refused (" + result.error + "): " + verdict.detail);
      return;
    }
    model_ = verdict.state;
  }

  void fail(const std::string& detail) {
    if (reported_++ < 10) ADD_FAILURE() << "full disk: " << detail;
  }

  campaign::SmallFileSystem& disk_;
  const std::string dir_;
  const QueueConfig config_ = campaign_config(0);
  campaign::Workload workload_{kIoWorkloadSeed, 0};
  ModelState model_;
  FullDiskTally& tally_;
  int& reported_;
};

TEST(DurabilityCampaign, FullDiskCyclesLoseNothingLeaveNoTemporaryAndTheQueueWorksOnceSpaceIsFreed) {
  constexpr uint64_t kDiskBytes = 2 << 20;
  campaign::SmallFileSystem disk(kDiskBytes);
  if (!disk.mounted()) {
    campaign::print_figure("full disk: skipped, mounting a small tmpfs is not permitted here (" + disk.error() + ")");
    GTEST_SKIP() << "the full-disk campaign mounts a small tmpfs, which is not permitted here: " << disk.error();
  }
  const bool full = campaign::long_run();
  const size_t cycles = full ? 400 : 40;
  FullDiskTally tally;
  int reported = 0;
  FullDiskRun(disk, tally, reported).run(cycles, full ? 80 : 40);
  campaign::print_figure("full disk: " + std::to_string(cycles) + " fill-and-free cycles on a " +
                         std::to_string(kDiskBytes >> 20) + " MiB tmpfs, " + std::to_string(tally.calls) +
                         " calls, " + std::to_string(tally.refused) + " refused for lack of space (" +
                         std::to_string(tally.refused_replacements) + " compactions and purges): inconsistent " +
                         std::to_string(tally.inconsistent) + ", temporaries left " +
                         std::to_string(tally.temporaries_left) + ", cycles still refusing calls once space was freed " +
                         std::to_string(tally.stuck));
  EXPECT_EQ(tally.inconsistent + tally.temporaries_left + tally.stuck, 0u);
  EXPECT_GT(tally.refused, cycles) << "the disk should run full in most cycles";
}

// Garbage in every byte of the hint page after its identity: what a page
// damaged by hand holds, or one written back half way before a power loss.
void scramble_hint_page(const std::string& dir, uint64_t seed) {
  std::string page = test_support::read_file(dir + "/" + logfile::kHintPageName);
  std::mt19937_64 random(seed);
  for (size_t i = 8; i + 1 < page.size(); ++i) page[i] = static_cast<char>(random());
  // In place: the survivor has the page mapped.
  const int fd = ::open((dir + "/" + logfile::kHintPageName).c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, page.data(), page.size(), 0), static_cast<ssize_t>(page.size()));
  ::close(fd);
}

// Campaign 5: several processes on one directory at once, each running the
// whole workload (compaction, purge and automatic compaction included), half
// of them killed while the others go on: at a random moment, or right after
// one of their waits or wakes in the waiting room of the process lock, or
// right after one of their flock calls (holding the lock they just took,
// before they have served the next waiter's turn, or just after letting it
// go, before they have told the room). Every fourth run starts from a hint
// page full of garbage.
TEST(DurabilityCampaign, SeveralProcessesOnOneDirectoryKilledAtRandomLoseNothingAndShareNoId) {
  const bool full = campaign::long_run();
  const uint64_t runs = full ? 500 : 24;
  const size_t calls = full ? 400 : 150;
  constexpr uint64_t kProcesses = 4;
  const QueueConfig config = campaign_config(0);
  campaign::SharedTally tally;
  uint64_t random_kills = 0, room_kills = 0, flock_kills = 0, scrambled = 0;
  for (uint64_t run = 0; run < runs; ++run) {
    ScratchDirectory dir(campaign::scratch_base());
    Result<std::unique_ptr<Queue>> survivor = Queue::open(dir.path(), config);
    ASSERT_TRUE(survivor.ok());
    if (run % 4 == 3) {
      scramble_hint_page(dir.path(), seed_of(run, 9, 4));
      ++scrambled;
    }
    std::mt19937_64 random(seed_of(run, 0, 4));
    std::vector<campaign::ChildRun> children;
    std::vector<uint64_t*> kill_counts;
    for (uint64_t k = 0; k < kProcesses; ++k) {
      campaign::ChildPlan plan{config, seed_of(run, k, 4), (k + 1) << 32, calls, nullptr, std::nullopt};
      plan.tagged = true;
      uint64_t* counted = nullptr;
      if (k % 2 == 1) {
        const uint64_t how = (run + k / 2) % 3;
        if (how == 0) {
          // A call takes some tens of microseconds here: most kills land mid-run.
          plan.kill_after = std::chrono::microseconds(500 + random() % (100 * calls));
          counted = &random_kills;
        } else {
          const Call call = how == 1 ? Call::kFutex : Call::kFlock;
          const uint64_t nth = 1 + random() % (how == 1 ? 12 : 2 * calls);
          plan.arm = [call, nth](FaultyFileSystem& fs) { fs.after(call, "", nth, [] { ::raise(SIGKILL); }); };
          counted = how == 1 ? &room_kills : &flock_kills;
        }
      }
      kill_counts.push_back(counted);
      children.push_back({dir.path(), plan});
    }
    const std::vector<History> histories = campaign::run_children(children);
    for (size_t k = 0; k < kProcesses && k < histories.size(); ++k) {
      if (kill_counts[k] != nullptr && !histories[k].finished) ++*kill_counts[k];
    }
    campaign::check_shared(dir.path(), config, histories, **survivor, tally);
  }
  campaign::print_figure("several processes: " + std::to_string(random_kills) + " kills at a random moment, " +
                         std::to_string(room_kills) + " right after a wait or wake in the waiting room, " +
                         std::to_string(flock_kills) + " right after a flock; " + std::to_string(scrambled) +
                         " runs from a scrambled hint page; " + tally.figures());
  for (const std::string& detail : tally.details) ADD_FAILURE() << detail;
  EXPECT_TRUE(tally.clean());
}

// Campaign 7: several writers in one process, whose durable calls share
// fsyncs: two threads taking turns on one object and two with objects of
// their own on the same directory, each running the whole workload. The
// process is killed, or the power fails, right after the Nth write or
// fsync of the log, so between one caller's write and the fsync it shares,
// while the others append or wait for it. Every call that returned must
// have kept its effects, and every message a returned call delivered must
// have survived, whichever writer's frame it was.
TEST(DurabilityCampaign, WritersSharingFsyncsInOneProcessKeepEveryReturnedCallThroughKillsAndPowerLoss) {
  const bool full = campaign::long_run();
  const std::vector<std::pair<Call, std::vector<uint64_t>>> points = {
      {Call::kWrite, sweep(200, 12, 400)}, {Call::kFsync, sweep(80, 8, 160)}};
  const CrashMode modes[] = {CrashMode::kDropUnsynced, CrashMode::kKeepRandomPrefix, CrashMode::kAppendGarbage};
  const QueueConfig config = campaign_config(0);
  const size_t calls = full ? 150 : 60;
  campaign::SharedTally tally;
  uint64_t kills = 0, power_losses = 0, not_reached = 0;
  size_t rotation = 0;
  for (const auto& [call, nths] : points) {
    for (uint64_t nth : nths) {
      for (const bool power_loss : {false, true}) {
        ScratchDirectory dir(campaign::scratch_base());
        Result<std::unique_ptr<Queue>> survivor = Queue::open(dir.path(), config);
        ASSERT_TRUE(survivor.ok());
        campaign::ChildPlan plan{config, seed_of(static_cast<uint64_t>(call), nth, 7 + power_loss), uint64_t{1} << 32,
                                 calls, nullptr, std::nullopt};
        plan.tagged = true;
        plan.writers = {0, 0, 1, 2};
        const CrashMode mode = modes[rotation++ % std::size(modes)];
        const Call crash_call = call;
        plan.arm = [=](FaultyFileSystem& fs) {
          FaultyFileSystem* system = &fs;
          // Long enough that the other writers append while it runs.
          fs.slow_fsyncs(std::chrono::microseconds(300));
          fs.after(crash_call, "queue.log", nth, [system, power_loss, mode] {
            if (power_loss) system->crash_and_kill(mode, Names::kKeep);
            ::raise(SIGKILL);
          });
        };
        const std::vector<History> histories = campaign::run_children({{dir.path(), plan}});
        const bool finished = std::all_of(histories.begin(), histories.end(), [](const History& h) { return h.finished || h.ops.empty(); });
        not_reached += finished;
        kills += !finished && !power_loss;
        power_losses += !finished && power_loss;
        campaign::check_shared(dir.path(), config, histories, **survivor, tally);
      }
    }
  }
  campaign::print_figure("writers sharing fsyncs: " + std::to_string(kills) + " kills and " +
                         std::to_string(power_losses) + " power losses right after a write or fsync of the log (" +
                         std::to_string(not_reached) + " runs ended first); " + tally.figures());
  for (const std::string& detail : tally.details) ADD_FAILURE() << detail;
  EXPECT_TRUE(tally.clean());
}

// The names a queue was opened by, changed while its objects work: a symbolic
// link switched between the queue and another directory, and the queue's own
// directory renamed away with an empty one put under its old name. Every
// directory a name reached that is not the queue must stay empty.
class NameChanger {
 public:
  explicit NameChanger(const std::string& root) : root_(root), queue_(root + "/a/q") {
    std::filesystem::create_directories(root_ + "/elsewhere/q");
    std::filesystem::create_directories(root_ + "/decoy");
    std::filesystem::create_directory_symlink("a/q", root_ + "/current");
    decoys_ = {root_ + "/elsewhere/q", root_ + "/decoy"};
  }

  // Called while the processes run: one change every 2 ms, in turn.
  void tick() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_change_ < std::chrono::milliseconds(2)) return;
    last_change_ = now;
    if (++changes_ % 2 == 0) {
      const std::string moved = root_ + "/moved-" + std::to_string(changes_);
      std::filesystem::rename(queue_, moved);
      std::filesystem::create_directory(queue_);
      decoys_.push_back(queue_);
      queue_ = moved;
    } else {
      std::filesystem::create_directory_symlink(changes_ % 4 == 1 ? root_ + "/decoy" : queue_, root_ + "/next");
      std::filesystem::rename(root_ + "/next", root_ + "/current");
    }
  }

  const std::string& queue() const { return queue_; }
  uint64_t changes() const { return changes_; }
  // Decoys that a process wrote into.
  uint64_t strays() const {
    return static_cast<uint64_t>(std::count_if(decoys_.begin(), decoys_.end(), [](const std::string& decoy) {
      return !std::filesystem::is_empty(decoy);
    }));
  }

 private:
  const std::string root_;
  std::string queue_;
  std::vector<std::string> decoys_;
  uint64_t changes_ = 0;
  std::chrono::steady_clock::time_point last_change_{};
};

// Campaign 6: every way an open object's name can change, at once: one
// process opened the queue by a relative path and moves its working
// directory away and back between calls, one opened it through the switched
// symbolic link, one by the name that is renamed away, and one forks and
// compacts at once while its child goes on through the inherited object.
TEST(DurabilityCampaign, NamesChangingUnderOpenObjectsAndForkThenCompactKeepEveryProcessOnItsQueue) {
  const bool full = campaign::long_run();
  const uint64_t runs = full ? 200 : 10;
  const size_t calls = full ? 400 : 150;
  const QueueConfig config = campaign_config(0);
  campaign::SharedTally tally;
  uint64_t changes = 0, strays = 0;
  for (uint64_t run = 0; run < runs; ++run) {
    ScratchDirectory root(campaign::scratch_base());
    NameChanger names(root.path());
    Result<std::unique_ptr<Queue>> survivor = Queue::open(names.queue(), config);
    ASSERT_TRUE(survivor.ok());
    std::vector<campaign::ChildRun> children;
    for (uint64_t k = 0; k < 4; ++k) {
      campaign::ChildPlan plan{config, seed_of(run, k, 5), (k + 1) << 32, calls, nullptr, std::nullopt};
      plan.tagged = true;
      children.push_back({names.queue(), plan});
    }
    const std::string home = root.path() + "/a", away = root.path() + "/elsewhere";
    children[0].path = "q";
    children[0].plan.before_open = [home] { (void)!::chdir(home.c_str()); };
    children[0].plan.before_call = [home, away](size_t call) { (void)!::chdir((call % 2 ? away : home).c_str()); };
    children[1].path = root.path() + "/current";
    children[3].plan.fork_at = static_cast<size_t>(5 + seed_of(run, 3, 5) % (calls / 2));
    const std::vector<campaign::History> histories = campaign::run_children(children, [&] { names.tick(); });
    campaign::check_shared(names.queue(), config, histories, **survivor, tally);
    changes += names.changes();
    strays += names.strays();
  }
  campaign::print_figure("names changing: " + std::to_string(changes) + " renames and switched links; " +
                         std::to_string(strays) + " directories written through a stale name; " + tally.figures());
  for (const std::string& detail : tally.details) ADD_FAILURE() << detail;
  EXPECT_EQ(strays, 0u);
  EXPECT_TRUE(tally.clean());
}

}  // namespace
}  // namespace tollivane
