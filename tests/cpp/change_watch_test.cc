// The watch a waiting consumer sleeps on: what wakes it and what does not,
// and how often it looks when inotify is not available.
#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include "fault_injection.h"
#include "queue/change_watch.h"
#include "queue/queue.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using test_support::Call;
using test_support::FaultyFileSystem;
using test_support::in_call;
using test_support::ScratchDirectory;
using test_support::write_file;

constexpr uint64_t kLongMs = 10'000;  // a wait that reaches it has failed

std::unique_ptr<Queue> open_queue(const std::string& path) {
  Result<std::unique_ptr<Queue>> opened = Queue::open(path, QueueConfig{});
  EXPECT_TRUE(opened.ok());
  return opened.ok() ? std::move(*opened) : nullptr;
}

ChangeWatch armed_on(Queue& queue) {
  Result<QueueCall> call = queue.enter_call(CatchUp::kRun);
  EXPECT_TRUE(call.ok());
  return call->watch_changes();
}

TEST(ChangeWatchTest, AnAppendAfterArmingWakesItButOtherFilesOfTheDirectoryDoNot) {
  ScratchDirectory dir;
  std::unique_ptr<Queue> consumer = open_queue(dir.path());
  std::unique_ptr<Queue> producer = open_queue(dir.path());
  ChangeWatch watch = armed_on(*consumer);
  ASSERT_FALSE(watch.polling());

  write_file(dir.file("queue.compact.tmp"), "not the log");
  EXPECT_EQ(watch.wait(200, nullptr), WaitEnd::kTimedOut);
  // Appended before the wait began, after the arming: still reported.
  const std::vector<uint8_t> body{'m'};
  ASSERT_TRUE(in_call(*producer, [&](QueueCall& call) { return call.enqueue(body); }).ok());
  EXPECT_EQ(watch.wait(kLongMs, nullptr), WaitEnd::kChanged);
  // Reported once: what an attempt has looked at does not wake it again.
  watch.discard_pending();
  EXPECT_EQ(watch.wait(100, nullptr), WaitEnd::kTimedOut);
}

bool readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1;
}

TEST(ChangeWatchTest, ItsDescriptorIsReadableFromAnAppendOrOwnCommitUntilDiscarded) {
  ScratchDirectory dir;
  std::unique_ptr<Queue> consumer = open_queue(dir.path());
  std::unique_ptr<Queue> producer = open_queue(dir.path());
  ChangeWatch watch = armed_on(*consumer);
  const int fd = watch.descriptor();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(watch.descriptor(), fd);
  EXPECT_FALSE(readable(fd));

  const std::vector<uint8_t> body{'m'};
  ASSERT_TRUE(in_call(*producer, [&](QueueCall& call) { return call.enqueue(body); }).ok());
  EXPECT_TRUE(readable(fd));
  EXPECT_TRUE(readable(fd));  // nothing is read by looking
  EXPECT_TRUE(watch.discard_pending());
  EXPECT_FALSE(readable(fd));
  EXPECT_FALSE(watch.discard_pending());
  // A commit of the watched object itself comes through its notifier.
  ASSERT_TRUE(in_call(*consumer, [&](QueueCall& call) { return call.enqueue(body); }).ok());
  EXPECT_TRUE(readable(fd));
}

TEST(ChangeWatchTest, ClosingAQueueWithoutALogEndsTheWaitsOnIt) {
  std::unique_ptr<Queue> queue = open_queue(std::string(kMemoryPath));
  ChangeWatch watch = armed_on(*queue);
  queue.reset();
  EXPECT_EQ(watch.wait(kLongMs, nullptr), WaitEnd::kChanged);
}

TEST(ChangeWatchTest, WithoutInotifyItLooksAtMostTwentyTimesASecond) {
  ScratchDirectory dir;
  std::unique_ptr<Queue> queue = open_queue(dir.path());
  FaultyFileSystem fs;
  fs.fail(Call::kWatch, EMFILE);  // as when the per-user limit of instances is reached
  ChangeWatch watch = armed_on(*queue);
  ASSERT_TRUE(watch.polling());

  const auto started = std::chrono::steady_clock::now();
  uint64_t looks = 0;
  while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(500)) {
    EXPECT_EQ(watch.wait(kLongMs, nullptr), WaitEnd::kChanged);
    ++looks;
  }
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(fs.count(Call::kPoll), looks);
  EXPECT_LE(looks, static_cast<uint64_t>(elapsed_ms) / kPollIntervalMs + 1);
}

}  // namespace
}  // namespace tollivane
