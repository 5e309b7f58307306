// The process lock excludes every other open description of .proc_lock, in
// this process or another, and gives up after its time-out.
#include "locking/process_lock.h"
#include "logfile/format.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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

TEST_F(ProcessLockTest, TwoDescriptorsInOneProcessExcludeEachOtherUntilTimeOut) {
  ProcessLock holder = open_lock();
  ProcessLock waiter = open_lock();
  Result<ProcessLockGuard> held = holder.write_lock();
  ASSERT_TRUE(held.ok());

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

TEST_F(ProcessLockTest, WaiterGetsTheLockSoonAfterAShortHolderLetsGo) {
  ProcessLock holder = open_lock();
  ProcessLock waiter = open_lock();
  std::optional<Result<ProcessLockGuard>> held(holder.write_lock());
  ASSERT_TRUE(held->ok());
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    held.reset();
  });
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
