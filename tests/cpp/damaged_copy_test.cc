// Saving a damaged region before it is cut: finding intact frames behind the
// damage (across the scan's piece boundaries, with payloads larger than a
// piece), and what recovery and catch-up do when the copy cannot be made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "logfile/crc32.h"
#include "logfile/damaged_copy.h"
#include "base/file.h"
#include "logfile/log_writer.h"
#include "queue/queue.h"
#include "queue/recovery.h"
#include "frames.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using base::File;
using test_support::Call;
using test_support::FaultyFileSystem;
using test_support::read_file;
using test_support::ScratchDirectory;
using test_support::write_file;

constexpr size_t kPiece = 64 * 1024;  // the scan's read size

std::string enqueue_frame(uint64_t seq, size_t body_len) {
  const std::vector<uint8_t> body(body_len, static_cast<uint8_t>('a' + seq % 26));
  const std::vector<uint8_t> frame = test_support::frame_of(logfile::EnqueueView{seq, 1, body});
  return std::string(frame.begin(), frame.end());
}

// Whether the scan finds an intact frame anywhere in `content`.
bool scan(const ScratchDirectory& dir, const std::string& content) {
  write_file(dir.file("log"), content);
  Result<File> file = File::open(dir.file("log"), O_RDONLY);
  EXPECT_TRUE(file.ok());
  Result<bool> found = logfile::intact_frame_within(*file, 0, content.size());
  EXPECT_TRUE(found.ok());
  return found.ok() && *found;
}

TEST(IntactFrameScanTest, FindsWholeFramesAnywhereAndNothingElse) {
  ScratchDirectory dir;
  const std::string frame = enqueue_frame(3, 100);
  EXPECT_TRUE(scan(dir, frame));
  EXPECT_TRUE(scan(dir, std::string(77, 'x') + frame + "trailing"));
  EXPECT_FALSE(scan(dir, std::string(77, 'x') + frame.substr(0, frame.size() - 1)));  // torn
  std::string flipped = frame;
  flipped[40] ^= 0x01;
  EXPECT_FALSE(scan(dir, flipped));
  EXPECT_FALSE(scan(dir, "TLR1" + std::string(8, '\0') + "zeros after an empty payload"));
  EXPECT_FALSE(scan(dir, std::string(3 * kPiece, 'T')));
  EXPECT_FALSE(scan(dir, ""));
}

TEST(IntactFrameScanTest, FrameAcrossEveryPieceBoundaryPositionIsFound) {
  ScratchDirectory dir;
  const std::string frame = enqueue_frame(1, 20);
  // The magic straddles the seam between the first two pieces, or the
  // header does, or the frame starts right at it.
  for (size_t before = kPiece - 6; before <= kPiece + 1; ++before) {
    SCOPED_TRACE(before);
    EXPECT_TRUE(scan(dir, std::string(before, 'T') + frame));
  }
}

TEST(IntactFrameScanTest, PayloadLargerThanAPieceIsCheckedInPieces) {
  ScratchDirectory dir;
  const std::string frame = enqueue_frame(9, 3 * kPiece + 5);
  EXPECT_TRUE(scan(dir, "junk" + frame));
  std::string damaged = "junk" + frame;
  damaged[damaged.size() - 2] ^= 0x10;
  EXPECT_FALSE(scan(dir, damaged));
}

// A hole (a log extended by truncate, say) reads as zeros, which hold no
// frame: the scan skips it unread, and still finds a frame behind it. Read
// byte by byte, a 13 GiB hole once kept an open waiting 20 s under the lock.
TEST(IntactFrameScanTest, HolesOfASparseLogAreSkippedNotRead) {
  ScratchDirectory dir;
  const uint64_t hole_end = uint64_t{1} << 30;
  for (const bool frame_behind_the_hole : {false, true}) {
    SCOPED_TRACE(frame_behind_the_hole);
    write_file(dir.file("log"), "junk");
    ASSERT_EQ(::truncate(dir.file("log").c_str(), static_cast<off_t>(hole_end)), 0);
    if (frame_behind_the_hole) {
      std::ofstream(dir.file("log"), std::ios::binary | std::ios::app) << enqueue_frame(3, 100);
    }
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("log").c_str(), &info), 0);
    if (static_cast<uint64_t>(info.st_blocks) * 512 >= hole_end) GTEST_SKIP() << "no sparse files on " << dir.path();

    Result<File> file = File::open(dir.file("log"), O_RDONLY);
    ASSERT_TRUE(file.ok());
    FaultyFileSystem fs;  // installed after the open, which would read the whole file
    Result<bool> found = logfile::intact_frame_within(*file, 0, static_cast<uint64_t>(info.st_size));
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(*found, frame_behind_the_hole);
    // The piece with "junk"; then the frame's piece, header and payload.
    EXPECT_EQ(fs.count(Call::kRead), frame_behind_the_hole ? 4u : 1u);
  }
}

// The copy of a damaged region keeps the region's holes as holes: on a
// nearly full disk, writing out a large hole's zeros would make the copy,
// and with it the repair, fail.
TEST(IntactFrameScanTest, ACopyOfADamagedRegionKeepsItsHoles) {
  ScratchDirectory dir;
  const std::string header("TLFL\x01\0\0\0\0\0\0\0\0\0\0\0", 16);
  const std::string good = enqueue_frame(0, 10);
  const uint64_t damaged_at = header.size() + good.size();
  const uint64_t hole_end = uint64_t{1} << 30;
  write_file(dir.file("queue.log"), header + good + "junk");
  ASSERT_EQ(::truncate(dir.file("queue.log").c_str(), static_cast<off_t>(hole_end)), 0);
  const std::string behind = enqueue_frame(1, 100);
  std::ofstream(dir.file("queue.log"), std::ios::binary | std::ios::app) << behind;
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("queue.log").c_str(), &info), 0);
  if (static_cast<uint64_t>(info.st_blocks) * 512 >= hole_end) GTEST_SKIP() << "no sparse files on " << dir.path();

  ASSERT_TRUE(Queue::open(dir.path(), QueueConfig{}).ok());
  const std::string copy = dir.file("queue.log.damaged-" + std::to_string(damaged_at));
  ASSERT_EQ(::stat(copy.c_str(), &info), 0);
  EXPECT_EQ(static_cast<uint64_t>(info.st_size), hole_end + behind.size() - damaged_at);
  EXPECT_LT(static_cast<uint64_t>(info.st_blocks) * 512, uint64_t{1} << 20);
  std::ifstream saved(copy, std::ios::binary);
  std::string start(4, '\0');
  saved.read(start.data(), 4);
  EXPECT_EQ(start, "junk");
  saved.seekg(static_cast<std::streamoff>(hole_end - damaged_at));
  std::string end(behind.size(), '\0');
  saved.read(end.data(), static_cast<std::streamsize>(end.size()));
  EXPECT_EQ(end, behind);
}

class DamagedLogTest : public ::testing::Test {
 protected:
  // A log of five small messages whose third frame has a flipped payload byte.
  void SetUp() override {
    QueueConfig config;
    config.auto_compact_bytes = 0;
    Result<std::unique_ptr<Queue>> q = Queue::open(dir_.path(), config);
    ASSERT_TRUE(q.ok());
    for (uint64_t n = 0; n < 5; ++n) {
      Result<QueueCall> call = (*q)->enter_call(CatchUp::kRun);
      ASSERT_TRUE(call.ok());
      ASSERT_TRUE(call->enqueue(std::vector<uint8_t>(10, static_cast<uint8_t>(n))).ok());
    }
    const size_t frame_len = enqueue_frame(0, 10).size();
    damaged_at_ = 16 + 2 * frame_len;
    std::string log = read_file(log_path());
    log[damaged_at_ + 20] ^= 0x5A;
    write_file(log_path(), log);
    damaged_ = log;
  }

  std::string log_path() const { return dir_.file("queue.log"); }
  std::string copy_path() const { return log_path() + ".damaged-" + std::to_string(damaged_at_); }
  size_t entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_.path()), {}));
  }

  ScratchDirectory dir_;
  size_t damaged_at_ = 0;
  std::string damaged_;
};

TEST_F(DamagedLogTest, RecoveryCutsNothingWhenTheCopyCannotBeMade) {
  const size_t files = entries();
  Result<base::Directory> directory = base::Directory::open(dir_.path());
  ASSERT_TRUE(directory.ok());
  const std::string copy = ".damaged-" + std::to_string(damaged_at_);
  const std::vector<std::pair<const char*, std::function<void(FaultyFileSystem&)>>> faults = {
      {"create", [&](FaultyFileSystem& fs) { fs.fail(Call::kOpen, EACCES, copy); }},
      {"write", [&](FaultyFileSystem& fs) { fs.fail(Call::kWrite, ENOSPC, copy); }},
      {"short write", [&](FaultyFileSystem& fs) { fs.short_write(0, copy); }},
      {"fsync", [&](FaultyFileSystem& fs) { fs.fail(Call::kFsync, EIO, copy); }},
      // The header, the replay's one buffered read, then the scan's first.
      {"read", [&](FaultyFileSystem& fs) { fs.fail(Call::kRead, EIO, "queue.log", 3); }},
  };
  for (const auto& [name, arm] : faults) {
    SCOPED_TRACE(name);
    FaultyFileSystem fs;
    arm(fs);
    Result<Recovered> recovered = recover(*directory);
    EXPECT_FALSE(recovered.ok());
    EXPECT_EQ(fs.faults_fired(), 1u);
    EXPECT_EQ(read_file(log_path()), damaged_);
    EXPECT_EQ(entries(), files);  // no partial copy left behind
    EXPECT_EQ(fs.open_descriptors(), 0u);
  }
  // Once the copy can be made, the same recovery saves and cuts.
  testing::internal::CaptureStderr();
  Result<Recovered> recovered = recover(*directory);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(recovered.ok());
  EXPECT_EQ(recovered->end_offset, damaged_at_);
  EXPECT_EQ(read_file(log_path()), damaged_.substr(0, damaged_at_));
  EXPECT_EQ(read_file(copy_path()), damaged_.substr(damaged_at_));
}

TEST_F(DamagedLogTest, CatchUpCutsNothingWhenTheCopyCannotBeMadeAndRetriesAtItsNextCall) {
  // An object that has applied the first two records meets the damage at
  // its next catch-up.
  std::string intact_prefix = damaged_.substr(0, damaged_at_);
  write_file(log_path(), intact_prefix);
  QueueConfig config;
  Result<std::unique_ptr<Queue>> q = Queue::open(dir_.path(), config);
  ASSERT_TRUE(q.ok());
  write_file(log_path(), damaged_);

  FaultyFileSystem fs;
  fs.fail(Call::kWrite, ENOSPC, ".damaged-" + std::to_string(damaged_at_));
  EXPECT_FALSE((*q)->enter_call(CatchUp::kRun).ok());
  EXPECT_EQ(read_file(log_path()), damaged_);
  EXPECT_FALSE(std::filesystem::exists(copy_path()));

  testing::internal::CaptureStderr();
  {
    Result<QueueCall> call = (*q)->enter_call(CatchUp::kRun);
    ASSERT_TRUE(call.ok());
    Result<uint64_t> available = call->available();
    ASSERT_TRUE(available.ok());
    EXPECT_EQ(*available, 2u);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Tollivane: truncated corrupt log tail at byte " + std::to_string(damaged_at_) + "\n");
  EXPECT_EQ(read_file(log_path()), intact_prefix);
  EXPECT_EQ(read_file(copy_path()), damaged_.substr(damaged_at_));
}

}  // namespace
}  // namespace tollivane
