// Replacing the log (compaction, purge, the fresh log of recovery) when it
// fails: the temporary files are always created afresh (whatever holds the
// name is removed first, never opened, and when it cannot be removed the
// replacement fails with the old log untouched), a failure before the rename
// leaves the old log and the object's state as they were, and one after it
// leaves a queue whose next call is durable.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

#include "fault_injection.h"
#include "queue/queue.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using test_support::Call;
using test_support::FaultyFileSystem;
using test_support::in_call;
using test_support::read_file;
using test_support::ScratchDirectory;
using test_support::write_file;

Status run(Queue& queue, Status (QueueCall::*operation)()) {
  return test_support::in_call(queue, [&](QueueCall& call) { return (call.*operation)(); });
}

TEST(LogReplacementTest, LeftoverTemporaryIsRemovedNotReusedAndAFailedRemovalStopsTheReplacement) {
  for (const auto& [name, operation] : {std::pair{"queue.compact.tmp", &QueueCall::compact},
                                        std::pair{"queue.purge.tmp", &QueueCall::purge}}) {
    SCOPED_TRACE(name);
    ScratchDirectory dir;
    Result<std::unique_ptr<Queue>> q = Queue::open(dir.path(), QueueConfig{});
    ASSERT_TRUE(q.ok());
    {
      Result<QueueCall> call = (*q)->enter_call(CatchUp::kRun);
      ASSERT_TRUE(call.ok());
      ASSERT_TRUE(call->enqueue(std::vector<uint8_t>{1, 2, 3}).ok());
    }
    write_file(dir.file(name), "leftover");
    const std::string log = read_file(dir.file("queue.log"));
    {
      FaultyFileSystem fs;
      fs.fail(Call::kUnlink, EACCES, name);
      EXPECT_FALSE(run(**q, operation).ok());
      EXPECT_EQ(fs.faults_fired(), 1u);
      EXPECT_EQ(fs.count(Call::kWrite, name), 0u);
    }
    EXPECT_EQ(read_file(dir.file("queue.log")), log);
    EXPECT_EQ(read_file(dir.file(name)), "leftover");

    FaultyFileSystem fs;
    ASSERT_TRUE(run(**q, operation).ok());
    EXPECT_EQ(fs.count(Call::kUnlink, name), 1u);
    EXPECT_NE(read_file(dir.file("queue.log")), log);
  }
}

// A replacement that fails before its rename removes its temporary file (on
// a full disk it would otherwise keep the space the queue needs), leaves the
// log as it was, and the queue goes on working.
TEST(LogReplacementTest, FailureBeforeTheRenameRemovesTheTemporaryAndTheQueueGoesOn) {
  // The header, the frames (compaction only), the fsync, the rename.
  const std::tuple<const char*, Status (QueueCall::*)(), Call, uint64_t> faults[] = {
      {"queue.compact.tmp", &QueueCall::compact, Call::kWrite, 1}, {"queue.compact.tmp", &QueueCall::compact, Call::kWrite, 2},
      {"queue.compact.tmp", &QueueCall::compact, Call::kFsync, 1}, {"queue.compact.tmp", &QueueCall::compact, Call::kRename, 1},
      {"queue.purge.tmp", &QueueCall::purge, Call::kWrite, 1},     {"queue.purge.tmp", &QueueCall::purge, Call::kFsync, 1},
      {"queue.purge.tmp", &QueueCall::purge, Call::kRename, 1},
  };
  for (const auto& [name, operation, call, nth] : faults) {
    SCOPED_TRACE(std::string(name) + " call " + std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth));
    ScratchDirectory dir;
    Result<std::unique_ptr<Queue>> q = Queue::open(dir.path(), QueueConfig{});
    ASSERT_TRUE(q.ok());
    {
      Result<QueueCall> call = (*q)->enter_call(CatchUp::kRun);
      ASSERT_TRUE(call.ok());
      ASSERT_TRUE(call->enqueue(std::vector<uint8_t>(100, 7)).ok());
    }
    const std::string log = read_file(dir.file("queue.log"));
    FaultyFileSystem fs;
    fs.fail(call, ENOSPC, name, nth);
    EXPECT_FALSE(run(**q, operation).ok());
    EXPECT_EQ(fs.faults_fired(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir.file(name)));
    EXPECT_EQ(read_file(dir.file("queue.log")), log);

    Result<QueueCall> call = (*q)->enter_call(CatchUp::kRun);
    ASSERT_TRUE(call.ok());
    EXPECT_EQ(*call->enqueue(std::vector<uint8_t>{1}), 1u);
    EXPECT_TRUE(call->compact().ok());
    EXPECT_EQ((*q)->state().message_count(), 2u);
  }
  // The same for the fresh log that recovery writes beside a torn one.
  ScratchDirectory dir;
  write_file(dir.file("queue.log"), "torn");
  {
    FaultyFileSystem fs;
    fs.fail(Call::kFsync, EIO, "queue.fresh.tmp");
    EXPECT_FALSE(Queue::open(dir.path(), QueueConfig{}).ok());
    EXPECT_EQ(fs.faults_fired(), 1u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("queue.fresh.tmp")));
  EXPECT_EQ(read_file(dir.file("queue.log")), "torn");
  EXPECT_TRUE(Queue::open(dir.path(), QueueConfig{}).ok());
}

// A new log is given the old one's owner where the process may: a refusal
// (not root, or an owner the user namespace has no id for) leaves it as it
// is, any other failure stops the replacement with the old log untouched
// and no temporary file left.
TEST(LogReplacementTest, AnOwnerThatCannotBeGivenIsNoErrorButAFailedChownStopsTheCompaction) {
  ScratchDirectory dir;
  Result<std::unique_ptr<Queue>> q = Queue::open(dir.path(), QueueConfig{});
  ASSERT_TRUE(q.ok());
  FaultyFileSystem fs;
  for (const int refusal : {EPERM, EINVAL}) {
    fs.fail(Call::kFchown, refusal, "queue.compact.tmp");
    EXPECT_TRUE(run(**q, &QueueCall::compact).ok());
  }
  const std::string log = read_file(dir.file("queue.log"));
  fs.fail(Call::kFchown, EIO, "queue.compact.tmp");
  EXPECT_FALSE(run(**q, &QueueCall::compact).ok());
  EXPECT_EQ(fs.faults_fired(), 3u);
  EXPECT_EQ(read_file(dir.file("queue.log")), log);
  EXPECT_FALSE(std::filesystem::exists(dir.file("queue.compact.tmp")));
}

// A new log's name is made durable by an fsync of the directory, whatever
// path named the directory: the empty one (the working directory) used to
// have none, so a power loss could bring the old log back.
TEST(LogReplacementTest, CreationCompactionAndPurgeEachSyncTheDirectoryWhateverPathNamesIt) {
  const std::filesystem::path working_directory = std::filesystem::current_path();
  for (const std::string path : {"", ".", "queue"}) {
    SCOPED_TRACE("path \"" + path + "\"");
    ScratchDirectory dir;
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    FaultyFileSystem fs;
    Result<std::unique_ptr<Queue>> q = Queue::open(path, QueueConfig{});
    std::filesystem::current_path(working_directory);
    ASSERT_TRUE(q.ok());
    EXPECT_EQ(fs.count(Call::kSyncDir), 1u);
    ASSERT_TRUE(run(**q, &QueueCall::compact).ok());
    EXPECT_EQ(fs.count(Call::kSyncDir), 2u);
    ASSERT_TRUE(run(**q, &QueueCall::purge).ok());
    EXPECT_EQ(fs.count(Call::kSyncDir), 3u);
    EXPECT_EQ(fs.count(Call::kRename), 3u);
  }
}

std::unique_ptr<Queue> open_queue(const std::string& dir) {
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir, QueueConfig{});
  EXPECT_TRUE(opened.ok());
  return opened.ok() ? std::move(*opened) : nullptr;
}

// A purge that fails before its new log is in place leaves the object with
// its messages: were its state emptied first, the next enqueue would reuse
// id 0 in a log that still holds message 0.
TEST(LogReplacementTest, PurgeThatFailsBeforeTheRenameKeepsTheMessagesAndTheirIds) {
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
// rather than append to a file the crash could swap back for the old log.
TEST(LogReplacementTest, AfterAPurgeWhoseDirectorySyncFailedTheNextCallIsDurable) {
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
TEST(LogReplacementTest, PowerLossWhileTheLogIsCreatedLeavesAnOpenableQueue) {
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
