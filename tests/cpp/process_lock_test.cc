// The process lock excludes every other open description of .proc_lock, in
// this process or another, and gives up after its time-out.
#include "base/blocking.h"
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
#include <string>
#include <thread>

namespace tollivane {
namespace {

using namespace std::chrono_literals;

class ProcessLockTest : public ::testing::Test {
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
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }

  ProcessLock open_lock() {
    Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName);
    EXPECT_TRUE(lock.ok());
    return std::move(*lock);
  }

  std::string dir_;
  std::string path_;
  base::Directory directory_;
};

TEST_F(ProcessLockTest, FreeLockIsTakenAtOnce) {
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

TEST_F(ProcessLockTest, TwoDescriptorsInOneProcessExcludeEachOtherUntilTimeOut) {
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

TEST_F(ProcessLockTest, ReleasedGuardLetsTheNextHolderIn) {
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
TEST_F(ProcessLockTest, ThreadHoldingTheLockThroughAnotherDescriptorIsRefusedAtOnce) {
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

TEST_F(ProcessLockTest, ASignalEndsAWaitWhenTheCallerSaysSo) {
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

TEST_F(ProcessLockTest, WaiterGetsTheLockSoonAfterAShortHolderLetsGo) {
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

TEST_F(ProcessLockTest, LockOfAKilledProcessIsReleasedByTheKernel) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName);
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

TEST_F(ProcessLockTest, OpeningInARemovedDirectoryReportsTheOsError) {
  ASSERT_EQ(::rmdir(dir_.c_str()), 0);
  Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName);
  ASSERT_FALSE(lock.ok());
  EXPECT_TRUE(lock.error().io().is_os_error());
  EXPECT_EQ(lock.error().io().os_errno(), ENOENT);
}

}  // namespace
}  // namespace tollivane
