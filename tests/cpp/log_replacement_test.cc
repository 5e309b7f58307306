// The temporary files of compaction and purge are always created afresh:
// whatever holds the name is removed first, never opened, and when it cannot
// be removed the replacement fails with the old log untouched.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "fault_injection.h"
#include "queue/queue.h"

namespace tollivane {
namespace {

using test_support::Call;
using test_support::FaultyFileSystem;
using test_support::read_file;
using test_support::ScratchDirectory;
using test_support::write_file;

Status run(Queue& queue, Status (Queue::*operation)()) {
  Result<CallScope> scope = queue.enter_call(CatchUp::kRun);
  if (!scope.ok()) return scope.take_error();
  return (queue.*operation)();
}

TEST(LogReplacementTest, LeftoverTemporaryIsRemovedNotReusedAndAFailedRemovalStopsTheReplacement) {
  for (const auto& [name, operation] : {std::pair{"queue.compact.tmp", &Queue::compact},
                                        std::pair{"queue.purge.tmp", &Queue::purge}}) {
    SCOPED_TRACE(name);
    ScratchDirectory dir;
    Result<std::unique_ptr<Queue>> q = Queue::open(dir.path(), QueueConfig{});
    ASSERT_TRUE(q.ok());
    {
      Result<CallScope> scope = (*q)->enter_call(CatchUp::kRun);
      ASSERT_TRUE(scope.ok());
      ASSERT_TRUE((*q)->enqueue(std::vector<uint8_t>{1, 2, 3}).ok());
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
    EXPECT_TRUE(run(**q, &Queue::compact).ok());
  }
  const std::string log = read_file(dir.file("queue.log"));
  fs.fail(Call::kFchown, EIO, "queue.compact.tmp");
  EXPECT_FALSE(run(**q, &Queue::compact).ok());
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
    ASSERT_TRUE(run(**q, &Queue::compact).ok());
    EXPECT_EQ(fs.count(Call::kSyncDir), 2u);
    ASSERT_TRUE(run(**q, &Queue::purge).ok());
    EXPECT_EQ(fs.count(Call::kSyncDir), 3u);
    EXPECT_EQ(fs.count(Call::kRename), 3u);
  }
}

}  // namespace
}  // namespace tollivane
