// Faults the durability campaigns found, each pinned down on its own.
#include <gtest/gtest.h>

#include <cerrno>

#include "fault_injection.h"
#include "queue/queue.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using test_support::Call;
using test_support::FaultyFileSystem;
using test_support::in_call;
using test_support::ScratchDirectory;

std::unique_ptr<Queue> open_queue(const std::string& dir) {
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir, QueueConfig{});
  EXPECT_TRUE(opened.ok());
  return opened.ok() ? std::move(*opened) : nullptr;
}

// A purge that fails before its new log is in place must leave the object
// with its messages: it used to empty the state first, so the next enqueue
// reused id 0 in a log that still held message 0.
TEST(CampaignFindings, PurgeThatFailsBeforeTheRenameKeepsTheMessagesAndTheirIds) {
  for (const Call failing : {Call::kOpen, Call::kFsync, Call::kRename}) {
    SCOPED_TRACE(static_cast<int>(failing));
    ScratchDirectory dir;
    FaultyFileSystem fs;
    std::unique_ptr<Queue> q = open_queue(dir.path());
    ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue_batch(test_support::views_of({{'a'}, {'b'}})); }).ok());
    fs.fail(failing, EIO, "queue.purge.tmp");
    EXPECT_FALSE(in_call(*q, [&](QueueCall& call) { return call.purge(); }).ok());
    EXPECT_EQ(fs.faults_fired(), 1u);
    Result<uint64_t> id = in_call(*q, [&](QueueCall& call) { return call.enqueue(std::vector<uint8_t>{'c'}); });
    ASSERT_TRUE(id.ok());
    EXPECT_EQ(*id, 2u);
    EXPECT_EQ(q->state().message_count(), 3u);
    q.reset();
    EXPECT_EQ(open_queue(dir.path())->state().message_count(), 3u);
  }
}

// A purge whose rename is done but whose directory fsync fails reports the
// error; the object's next call finds the empty log, and what it appends
// there survives a power loss: the reload makes the new name durable first,
// where it used to append to a file the crash could swap back for the old log.
TEST(CampaignFindings, AfterAPurgeWhoseDirectorySyncFailedTheNextCallIsDurable) {
  ScratchDirectory dir;
  FaultyFileSystem fs;
  std::unique_ptr<Queue> q = open_queue(dir.path());
  ASSERT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue_batch(test_support::views_of({{'a'}, {'b'}})); }).ok());
  fs.fail(Call::kSyncDir, EIO);
  EXPECT_FALSE(in_call(*q, [&](QueueCall& call) { return call.purge(); }).ok());
  EXPECT_EQ(fs.faults_fired(), 1u);
  fs.clear_faults();
  Result<uint64_t> id = in_call(*q, [&](QueueCall& call) { return call.enqueue(std::vector<uint8_t>{'c'}); });
  ASSERT_TRUE(id.ok());
  EXPECT_EQ(*id, 0u);
  fs.crash(test_support::CrashMode::kDropUnsynced, test_support::Names::kUndoUnsynced);
  q.reset();
  const std::unique_ptr<Queue> reopened = open_queue(dir.path());
  EXPECT_EQ(reopened->state().message_count(), 1u);
  EXPECT_NE(reopened->state().find(0), nullptr);
}

// A power loss while a new log's header is not yet synced must not leave a
// queue.log that no open accepts. Written in place, the header's blocks could
// come back as garbage of 16 bytes or more, refused as "bad magic" forever.
TEST(CampaignFindings, PowerLossWhileTheLogIsCreatedLeavesAnOpenableQueue) {
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    ScratchDirectory dir;
    FaultyFileSystem fs(seed);
    fs.fail(Call::kFsync, EIO);  // the header's fsync: the open fails before it is durable
    ASSERT_FALSE(Queue::open(dir.path(), QueueConfig{}).ok());
    fs.clear_faults();
    fs.crash(test_support::CrashMode::kAppendGarbage);
    std::unique_ptr<Queue> q = open_queue(dir.path());
    ASSERT_NE(q, nullptr) << "seed " << seed;
    EXPECT_TRUE(in_call(*q, [&](QueueCall& call) { return call.enqueue(std::vector<uint8_t>{'a'}); }).ok());
  }
}

}  // namespace
}  // namespace tollivane
