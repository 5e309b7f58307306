// Calls from several threads of one process on one directory: durable calls
// share fsyncs, a failed shared fsync fails every call it was to cover, a
// sync in progress outlives a compaction that closes the handles, a call that
// read another's unsynced frame syncs before it returns, and waits for the
// disk or the process lock let the caller's other threads run. "Slow" is made
// by the fault-injecting file system holding a call inside its fsync until
// the test has seen what it waits for, never by timing the disk.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/blocking.h"
#include "fault_injection.h"
#include "queue/log_sync.h"
#include "queue/queue.h"
#include "frames.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using namespace std::chrono_literals;
using test_support::Call;
using test_support::FaultyFileSystem;
using test_support::in_call;
using test_support::ScratchDirectory;

using test_support::bytes;

// Waits until `ready()` holds, for at most 10 s: what is waited for (another
// thread reaching a point) has no way to announce itself.
bool eventually(const std::function<bool()>& ready) {
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::unique_ptr<Queue> open_queue(const std::string& dir) {
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir, QueueConfig{});
  EXPECT_TRUE(opened.ok());
  return opened.ok() ? std::move(*opened) : nullptr;
}

// The LogSync the objects on `dir` share: the registry hands out the one in use.
std::shared_ptr<LogSync> log_sync_of(const std::string& dir) {
  Result<base::Directory> directory = base::Directory::open(dir);
  base::PathStatus status;
  Result<base::File> log = directory->open_file("queue.log", O_RDONLY, 0, &status);
  return *LogSync::for_file(*log, status.identity);
}

// An enqueue as the binding makes it on an object shared by threads: the
// object's mutex around the call, the owed sync completed after it.
Result<uint64_t> enqueue_shared(Queue& queue, std::mutex& object_mutex, const std::string& body) {
  PendingSync owed;
  Result<uint64_t> id = Error::sink_aborted();
  {
    std::lock_guard object(object_mutex);
    Result<QueueCall> call = queue.enter_call(CatchUp::kRun);
    if (!call.ok()) return call.take_error();
    id = call->enqueue(bytes(body));
    owed = call->leave();
  }
  Status synced = owed.complete();
  if (id.ok() && !synced.ok()) return synced.take_error();
  return id;
}

// One thread's enqueue is held inside its fsync until three more threads of
// the same object have appended and queued behind it.
class QueuedBehindOneFsync : public ::testing::Test {
 protected:
  static constexpr size_t kFollowers = 3;

  void run() {
    queue_ = open_queue(dir_.path());
    std::shared_ptr<LogSync> log_sync = log_sync_of(dir_.path());
    fs_.reset_counts();
    fs_.after(Call::kFsync, "queue.log", 1, [&] {
      followers_queued_ = eventually([&] { return log_sync->waiting_callers() == kFollowers; });
    });
    std::thread leader([&] { results_[0] = enqueue_shared(*queue_, object_mutex_, "leader"); });
    ASSERT_TRUE(eventually([&] { return fs_.count(Call::kFsync, "queue.log") == 1; }));
    std::vector<std::thread> followers;
    for (size_t i = 1; i <= kFollowers; ++i) {
      followers.emplace_back([&, i] { results_[i] = enqueue_shared(*queue_, object_mutex_, "follower"); });
    }
    leader.join();
    for (std::thread& follower : followers) follower.join();
    EXPECT_TRUE(followers_queued_);
  }

  ScratchDirectory dir_;
  FaultyFileSystem fs_;
  std::unique_ptr<Queue> queue_;
  std::mutex object_mutex_;
  bool followers_queued_ = false;
  std::vector<Result<uint64_t>> results_ = std::vector<Result<uint64_t>>(kFollowers + 1, Error::sink_aborted());
};

TEST_F(QueuedBehindOneFsync, CallsQueuedBehindAnFsyncShareTheNextOne) {
  run();
  for (const Result<uint64_t>& result : results_) EXPECT_TRUE(result.ok());
  EXPECT_EQ(fs_.count(Call::kFsync, "queue.log"), 2u) << "the leader's fsync, then one for the three behind it";
  EXPECT_EQ(queue_->state().message_count(), kFollowers + 1);
}

TEST_F(QueuedBehindOneFsync, AFailedSharedFsyncFailsEveryCallItWasToCover) {
  fs_.fail(Call::kFsync, EIO, "queue.log", 2);
  run();
  EXPECT_TRUE(results_[0].ok()) << "its own fsync succeeded";
  for (size_t i = 1; i <= kFollowers; ++i) {
    ASSERT_FALSE(results_[i].ok());
    EXPECT_EQ(results_[i].error().io().os_errno(), EIO);
  }
  Result<uint64_t> refused = in_call(*queue_, [](QueueCall& call) { return call.enqueue(bytes("later")); });
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message().find("reopen"), std::string::npos) << refused.error().message();
  // A queue opened afresh recovers from the file and writes again.
  queue_.reset();
  std::unique_ptr<Queue> reopened = open_queue(dir_.path());
  EXPECT_TRUE(in_call(*reopened, [](QueueCall& call) { return call.enqueue(bytes("after reopen")); }).ok());
}

TEST(ConcurrentCalls, ASyncInProgressOutlivesACompactionThatClosesTheHandles) {
  ScratchDirectory dir;
  FaultyFileSystem fs;
  std::unique_ptr<Queue> queue = open_queue(dir.path());
  PendingSync owed;
  {
    Result<QueueCall> call = queue->enter_call(CatchUp::kRun);
    ASSERT_TRUE(call.ok());
    ASSERT_TRUE(call->enqueue(bytes("synced after the compaction")).ok());
    owed = call->leave();
  }
  // Another thread of the object compacts before the first one syncs: the
  // handles it appended through are closed, and their numbers go to other files.
  ASSERT_TRUE(in_call(*queue, [](QueueCall& call) { return call.compact(); }).ok());
  std::vector<base::File> decoys;
  for (int i = 0; i < 8; ++i) decoys.push_back(std::move(*base::File::open(dir.file("decoy" + std::to_string(i)), O_RDWR | O_CREAT)));
  fs.reset_counts();
  EXPECT_TRUE(owed.complete().ok());
  EXPECT_EQ(fs.count(Call::kFsync, "decoy"), 0u);
  EXPECT_EQ(fs.count(Call::kFsync, "queue.log"), 1u);
}

TEST(ConcurrentCalls, ACallThatReadAnotherObjectsUnsyncedFrameSyncsBeforeItReturns) {
  ScratchDirectory dir;
  FaultyFileSystem fs;
  std::unique_ptr<Queue> writer = open_queue(dir.path());
  std::unique_ptr<Queue> reader = open_queue(dir.path());
  ASSERT_TRUE(in_call(*reader, [](QueueCall& call) { return call.available(); }).ok());
  PendingSync owed;
  {
    Result<QueueCall> call = writer->enter_call(CatchUp::kRun);
    ASSERT_TRUE(call.ok());
    ASSERT_TRUE(call->enqueue(bytes("not yet durable")).ok());
    owed = call->leave();  // as if its writer had not reached its fsync yet
  }
  fs.reset_counts();
  Result<uint64_t> ready = in_call(*reader, [](QueueCall& call) { return call.available(); });
  ASSERT_TRUE(ready.ok());
  EXPECT_EQ(*ready, 1u);
  EXPECT_EQ(fs.count(Call::kFsync, "queue.log"), 1u) << "what the reader counted is durable before it returns";
  EXPECT_TRUE(owed.complete().ok());
  EXPECT_TRUE(in_call(*reader, [](QueueCall& call) { return call.available(); }).ok());
  EXPECT_EQ(fs.count(Call::kFsync, "queue.log"), 1u) << "both covered by that fsync, nothing new read";
}

// The caller's lock of these tests, standing in for the interpreter lock:
// held by the calling thread, needed by a ticker thread to tick.
class CallerLock final : public base::BlockingHooks {
 public:
  void release() override {
    ++releases_;
    mutex_.unlock();
  }
  void resume() override { mutex_.lock(); }
  bool interrupted() override { return false; }

  std::mutex& mutex() { return mutex_; }
  uint64_t releases() const { return releases_; }

 private:
  std::mutex mutex_;
  std::atomic<uint64_t> releases_{0};
};

class Ticker {
 public:
  explicit Ticker(CallerLock& caller) : thread_([this, &caller] {
    while (!stop_) {
      {
        std::lock_guard held(caller.mutex());
        ++ticks_;
      }
      std::this_thread::sleep_for(100us);
    }
  }) {}
  ~Ticker() {
    stop_ = true;
    thread_.join();
  }
  // Whether it ticks `n` more times while the caller waits.
  bool ticks_on(uint64_t n) {
    const uint64_t start = ticks_;
    return eventually([&] { return ticks_ >= start + n; });
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> ticks_{0};
  std::thread thread_;
};

TEST(ConcurrentCalls, WaitsForTheDiskAndTheProcessLockLetTheCallersOtherThreadsRun) {
  ScratchDirectory dir;
  FaultyFileSystem fs;
  std::unique_ptr<Queue> queue = open_queue(dir.path());
  std::unique_ptr<Queue> other = open_queue(dir.path());
  CallerLock caller;
  // Made before this thread takes the caller's lock, so destroyed after it
  // has let go: the ticker's last attempt to tick must be able to end.
  Ticker ticker(caller);
  std::unique_lock holding(caller.mutex());
  base::BlockingHooksScope hooks(&caller);

  bool ticked_in_fsync = false;
  fs.after(Call::kFsync, "queue.log", 1, [&] { ticked_in_fsync = ticker.ticks_on(3); });
  EXPECT_TRUE(in_call(*queue, [](QueueCall& call) { return call.enqueue(bytes("slow fsync")); }).ok());
  EXPECT_TRUE(ticked_in_fsync);

  // Another object holds the process lock until the ticker has ticked while
  // this thread waits for it.
  bool ticked_in_lock_wait = false;
  std::atomic<bool> held{false};
  const uint64_t releases = caller.releases();
  std::thread holder([&] {
    Result<QueueCall> call = other->enter_call(CatchUp::kRun);
    held = call.ok();
    ticked_in_lock_wait = eventually([&] { return caller.releases() > releases; }) && ticker.ticks_on(3);
  });
  ASSERT_TRUE(eventually([&] { return held.load(); }));
  EXPECT_TRUE(in_call(*queue, [](QueueCall& call) { return call.enqueue(bytes("waited")); }).ok());
  holder.join();
  EXPECT_TRUE(ticked_in_lock_wait);
}

}  // namespace
}  // namespace tollivane
