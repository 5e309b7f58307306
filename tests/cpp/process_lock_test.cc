// The process lock excludes every other open description of .proc_lock, in
// this process or another, and gives up after its time-out.
#include "base/blocking.h"
#include "locking/hint_page.h"
#include "locking/process_lock.h"
#include "logfile/format.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tollivane {
namespace {

using namespace std::chrono_literals;

// Each test runs with and without the directory's hint page: waiting in
// its waiting room, and polling as a build without one does.
class ProcessLockTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tollivane-lock-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/.proc_lock";
    Result<base::Directory> directory = base::Directory::open(dir_);
    ASSERT_TRUE(directory.ok());
    directory_ = std::move(*directory);
  }
  void TearDown() override {
    hints_.reset();
    ::unlink(path_.c_str());
    ::unlink((dir_ + "/" + logfile::kHintPageName).c_str());
    ::rmdir(dir_.c_str());
  }

  std::shared_ptr<HintPage> hints() {
    if (!GetParam()) return nullptr;
    if (!hints_) hints_ = HintPage::open(directory_, logfile::kHintPageName);
    EXPECT_NE(hints_, nullptr);
    return hints_;
  }

  ProcessLock open_lock() {
    Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName, hints());
    EXPECT_TRUE(lock.ok());
    return std::move(*lock);
  }

  std::string dir_;
  std::string path_;
  base::Directory directory_;
  std::shared_ptr<HintPage> hints_;
};

TEST_P(ProcessLockTest, FreeLockIsTakenAtOnce) {
  ProcessLock lock = open_lock();
  const auto start = std::chrono::steady_clock::now();
  Result<ProcessLockGuard> guard = lock.write_lock(0ns);
  EXPECT_TRUE(guard.ok()) << "a free lock must not time out even with no time to wait";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

// Holds `lock` from another thread of this process until it is destroyed.
class HeldByAnotherThread {
 public:
  explicit HeldByAnotherThread(ProcessLock& lock)
      : thread_([this, &lock] {
          Result<ProcessLockGuard> held = lock.write_lock();
          std::unique_lock guard(mutex_);
          taken_ = held.ok();
          changed_.notify_all();
          changed_.wait(guard, [this] { return done_; });
        }) {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [this] { return taken_.has_value(); });
  }
  ~HeldByAnotherThread() {
    {
      std::lock_guard guard(mutex_);
      done_ = true;
      changed_.notify_all();
    }
    thread_.join();
  }
  bool taken() const { return taken_.value_or(false); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> taken_;
  bool done_ = false;
  std::thread thread_;
};

TEST_P(ProcessLockTest, TwoDescriptorsInOneProcessExcludeEachOtherUntilTimeOut) {
  ProcessLock holder = open_lock();
  ProcessLock waiter = open_lock();
  HeldByAnotherThread held(holder);
  ASSERT_TRUE(held.taken());

  const auto start = std::chrono::steady_clock::now();
  Result<ProcessLockGuard> refused = waiter.write_lock(150ms);
  ASSERT_FALSE(refused.ok());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  const IoError& error = refused.error().io();
  EXPECT_TRUE(error.is_timed_out());
  EXPECT_EQ(error.display(), "process lock timed out \u2014 a live peer is holding it too long");
  EXPECT_EQ(error.display().size(), 61u);
}

TEST_P(ProcessLockTest, ReleasedGuardLetsTheNextHolderIn) {
  ProcessLock first = open_lock();
  ProcessLock second = open_lock();
  {
    Result<ProcessLockGuard> held = first.write_lock();
    ASSERT_TRUE(held.ok());
  }
  EXPECT_TRUE(second.write_lock(0ns).ok());
}

// A finalizer run inside a call that holds the lock through one object and
// calls another object of the same directory would wait for its own thread.
TEST_P(ProcessLockTest, ThreadHoldingTheLockThroughAnotherDescriptorIsRefusedAtOnce) {
  ProcessLock holder = open_lock();
  ProcessLock second = open_lock();
  std::optional<Result<ProcessLockGuard>> held(holder.write_lock());
  ASSERT_TRUE(held->ok());
  Result<ProcessLockGuard> refused = second.write_lock(10s);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().io().kind(), ErrorKind::kWouldDeadlock);
  EXPECT_EQ(refused.error().io().display(), kProcessLockSelfDeadlockMessage);
  held.reset();
  EXPECT_TRUE(second.write_lock(0ns).ok()) << "released, the lock is this thread's to take again";
}

std::atomic<bool> g_signalled{false};

// Hooks whose caller asks to end a wait once a signal has arrived, as the
// interpreter's do when a handler raised.
class EndsWaitOnSignal final : public base::BlockingHooks {
 public:
  void release() override { ++releases; }
  void resume() override {}
  bool interrupted() override { return g_signalled.load(); }
  std::atomic<int> releases{0};
};

TEST_P(ProcessLockTest, ASignalEndsAWaitWhenTheCallerSaysSo) {
  ProcessLock holder = open_lock();
  ProcessLock waiter = open_lock();
  HeldByAnotherThread held(holder);
  ASSERT_TRUE(held.taken());
  struct sigaction action {};
  action.sa_handler = [](int) { g_signalled = true; };  // no SA_RESTART: the sleep is cut short
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  EndsWaitOnSignal hooks;
  std::optional<Result<ProcessLockGuard>> waited;
  std::thread waiting([&] {
    base::BlockingHooksScope scope(&hooks);
    waited.emplace(waiter.write_lock(60s));
  });
  // Once the wait has let the caller's other threads run, it is waiting.
  while (hooks.releases == 0) std::this_thread::sleep_for(1ms);
  pthread_kill(waiting.native_handle(), SIGUSR1);
  waiting.join();
  sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_FALSE(waited->ok());
  EXPECT_EQ(waited->error().io().kind(), ErrorKind::kInterrupted);
}

TEST_P(ProcessLockTest, WaiterGetsTheLockSoonAfterAShortHolderLetsGo) {
  ProcessLock holder = open_lock();
  ProcessLock waiter = open_lock();
  std::promise<bool> held_elsewhere;
  std::thread releaser([&] {
    Result<ProcessLockGuard> held = holder.write_lock();
    held_elsewhere.set_value(held.ok());
    std::this_thread::sleep_for(30ms);
  });
  ASSERT_TRUE(held_elsewhere.get_future().get());
  const auto start = std::chrono::steady_clock::now();
  Result<ProcessLockGuard> taken = waiter.write_lock(5s);
  releaser.join();
  EXPECT_TRUE(taken.ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_P(ProcessLockTest, LockOfAKilledProcessIsReleasedByTheKernel) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName, hints());
    if (!lock.ok()) _exit(1);
    Result<ProcessLockGuard> held = lock->write_lock();
    if (!held.ok()) _exit(2);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ProcessLock waiter = open_lock();
  EXPECT_FALSE(waiter.write_lock(50ms).ok()) << "the child holds the lock";
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(waiter.write_lock(5s).ok());
  close(ready[0]);
  close(ready[1]);
}

TEST_P(ProcessLockTest, OpeningInARemovedDirectoryReportsTheOsError) {
  ASSERT_EQ(::rmdir(dir_.c_str()), 0);
  Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName);
  ASSERT_FALSE(lock.ok());
  EXPECT_TRUE(lock.error().io().is_os_error());
  EXPECT_EQ(lock.error().io().os_errno(), ENOENT);
}

// The waiting room alone: its order, and that no state of it, however
// wrong, keeps a waiter from a lock that is free.
class WaitingRoomTest : public ProcessLockTest {
 protected:
  HintPageLayout::Room& room() { return hints()->layout().room; }
  uint32_t tickets_taken() { return std::atomic_ref<uint32_t>(room().next_ticket).load(); }
  // Holds the lock through another descriptor, in another thread, for `hold`.
  std::thread hold_for(ProcessLock& holder, std::chrono::milliseconds hold, std::promise<void>& taken) {
    return std::thread([&holder, hold, &taken] {
      Result<ProcessLockGuard> held = holder.write_lock();
      taken.set_value();
      std::this_thread::sleep_for(hold);
    });
  }
};

TEST_P(WaitingRoomTest, WaitersAreServedInTheOrderTheyCame) {
  ProcessLock holder = open_lock();
  std::vector<ProcessLock> waiters;
  for (int i = 0; i < 3; ++i) waiters.push_back(open_lock());
  std::optional<Result<ProcessLockGuard>> held(holder.write_lock());
  ASSERT_TRUE(held->ok());
  std::mutex order_mutex;
  std::vector<int> order;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    const uint32_t before = tickets_taken();
    threads.emplace_back([&, i] {
      Result<ProcessLockGuard> turn = waiters[i].write_lock(5s);
      ASSERT_TRUE(turn.ok());
      std::lock_guard guard(order_mutex);
      order.push_back(i);
    });
    // The next one comes once this one has its ticket.
    while (tickets_taken() == before) std::this_thread::sleep_for(100us);
  }
  held.reset();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(std::atomic_ref<uint32_t>(room().serving).load(), tickets_taken());
}

// What a page damaged by hand, or left by processes killed in the middle of
// their steps, may hold.
struct Damage {
  const char* name;
  void (*apply)(HintPageLayout& page);
};
const Damage kDamages[] = {
    {"EveryByteSet", [](HintPageLayout& page) { std::memset(&page.room, 0xFF, sizeof page.room + sizeof page.turn_slots); }},
    {"TurnFarBehind", [](HintPageLayout& page) { page.room.serving = page.room.next_ticket - 1000; }},
    {"TurnFarAhead", [](HintPageLayout& page) { page.room.serving = page.room.next_ticket + 1000; }},
    {"NewcomersHeldOffByNobody", [](HintPageLayout& page) { page.room.hold_off = (uint64_t{1} << 32) | 77; }},
    {"SleepersThatAreGone", [](HintPageLayout& page) { page.room.front_sleepers = 12345; }},
    {"ATicketWhoseHolderDied", [](HintPageLayout& page) { page.room.next_ticket = page.room.serving + 1; }},
    {"RandomBytes",
     [](HintPageLayout& page) {
       std::mt19937 random(7);
       auto* bytes = reinterpret_cast<uint8_t*>(&page.room);
       for (size_t i = 0; i < sizeof page.room + sizeof page.turn_slots; ++i) bytes[i] = static_cast<uint8_t>(random());
     }},
};

TEST_P(WaitingRoomTest, NoStateOfTheRoomKeepsAWaiterFromAFreeLock) {
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.name);
    ProcessLock holder = open_lock();
    ProcessLock waiter = open_lock();
    damage.apply(hints()->layout());
    std::promise<void> taken;
    std::thread holding = hold_for(holder, 5ms, taken);
    taken.get_future().wait();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(waiter.write_lock(5s).ok());
    const auto waited = std::chrono::steady_clock::now() - start;
    holding.join();
    // A stuck turn costs kStuck and a bounded nap or two, not the time-out.
    EXPECT_LT(waited, 1s);
    // Served once, the room holds sane values again: no one waits, no one
    // holds newcomers off.
    EXPECT_EQ(std::atomic_ref<uint32_t>(room().serving).load(), tickets_taken());
    EXPECT_EQ(std::atomic_ref<uint64_t>(room().hold_off).load(), 0u);
  }
}

// A process of an older build releases the lock without a word to the
// room: the waiter finds the lock free at its next bounded nap.
TEST_P(WaitingRoomTest, AReleaseByAHolderWithoutTheRoomEndsTheWaitAllTheSame) {
  Result<ProcessLock> older = ProcessLock::open(directory_, logfile::kProcessLockName);
  ASSERT_TRUE(older.ok());
  ProcessLock waiter = open_lock();
  std::promise<void> taken;
  std::thread holding = hold_for(*older, 20ms, taken);
  taken.get_future().wait();
  const uint32_t releases = std::atomic_ref<uint32_t>(room().releases).load();
  const auto start = std::chrono::steady_clock::now();
  Result<ProcessLockGuard> turn = waiter.write_lock(5s);
  const auto waited = std::chrono::steady_clock::now() - start;
  holding.join();
  ASSERT_TRUE(turn.ok());
  EXPECT_EQ(std::atomic_ref<uint32_t>(room().releases).load(), releases) << "nobody told the room";
  EXPECT_LT(waited, 1s);
}

// A call that may not wait has no turn to wait for: it takes no ticket, and
// while a starving waiter holds newcomers off it leaves the free lock to it.
TEST_P(WaitingRoomTest, ACallThatMayNotWaitNeverQueuesAndLeavesAFreeLockToAStarvingWaiter) {
  ProcessLock holder = open_lock();
  ProcessLock caller = open_lock();
  const uint32_t tickets = tickets_taken();
  std::promise<void> taken;
  std::thread holding = hold_for(holder, 20ms, taken);
  taken.get_future().wait();
  Result<ProcessLockGuard> busy = caller.try_write_lock();
  holding.join();
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().io().kind(), ErrorKind::kWouldWait);
  std::atomic_ref<uint64_t>(room().hold_off).store((uint64_t{1} << 32) | tickets);
  Result<ProcessLockGuard> held_off = caller.try_write_lock();
  ASSERT_FALSE(held_off.ok());
  EXPECT_EQ(held_off.error().io().kind(), ErrorKind::kWouldWait);
  EXPECT_EQ(tickets_taken(), tickets);
  std::atomic_ref<uint64_t>(room().hold_off).store(0);
  EXPECT_TRUE(caller.try_write_lock().ok());
}

INSTANTIATE_TEST_SUITE_P(WaitingHow, ProcessLockTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "InTheWaitingRoom" : "ByPolling"; });
INSTANTIATE_TEST_SUITE_P(WithHints, WaitingRoomTest, ::testing::Values(true));

}  // namespace
}  // namespace tollivane
