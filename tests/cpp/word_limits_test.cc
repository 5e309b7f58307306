// The limits a machine word sets, on 64-bit and on 32-bit targets alike:
// log offsets beyond 4 GiB are read through 64-bit offsets, a log too large
// for the address space is refused by the body map with an error (never a
// truncated length or a wrapped pointer), and a `max` of dequeue_batch
// beyond 32 bits is neither truncated nor allocated for.
//
// The large logs are sparse files: only their frames take disk blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fault_injection.h"
#include "logfile/crc32.h"
#include "logfile/endian.h"
#include "base/file.h"
#include "logfile/format.h"
#include "logfile/log_map.h"
#include "logfile/frame_scanner.h"
#include "logfile/log_writer.h"
#include "logfile/record.h"
#include "queue/queue.h"
#include "frames.h"
#include "queue_call.h"

namespace tollivane {
namespace {

using logfile::kFileHeaderLen;
using test_support::frame_of;
using test_support::ScratchDirectory;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kFourGiB = uint64_t{1} << 32;
constexpr bool kNarrowWord = sizeof(size_t) < sizeof(uint64_t);

Bytes bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A file of `length` bytes holding a generation-0 header and `pieces` at
// their offsets, zeros (holes) everywhere else. Plain library calls, with
// 64-bit off_t on every target.
void write_sparse(const std::string& path, uint64_t length, const std::vector<std::pair<uint64_t, Bytes>>& pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(length)), 0);
  const Bytes header = {'T', 'L', 'F', 'L', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(::pwrite(fd, header.data(), header.size(), 0), static_cast<ssize_t>(header.size()));
  for (const auto& [offset, piece] : pieces) {
    ASSERT_EQ(::pwrite(fd, piece.data(), piece.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(piece.size()));
  }
  ::close(fd);
}

TEST(WordLimitsTest, FramesBeyondFourGiBAreReadThroughSixtyFourBitOffsets) {
  ScratchDirectory dir;
  const std::string path = dir.file("queue.log");
  // Just past 4 GiB, where a 32-bit offset would wrap to 16.
  const uint64_t at = kFourGiB + kFileHeaderLen;
  const Bytes body = bytes("far");
  const Bytes frame = frame_of(logfile::EnqueueView{7, 99, body});
  write_sparse(path, at + frame.size(), {{at, frame}});

  Result<base::File> file = base::File::open(path, O_RDONLY);
  ASSERT_TRUE(file.ok()) << file.error().message();
  EXPECT_EQ(file->size().value(), at + frame.size());
  Bytes magic(4);
  EXPECT_TRUE(file->read_exact_at(at, magic).value());
  EXPECT_EQ(magic, bytes("TLR1"));

  ASSERT_TRUE(file->seek(at).ok());
  logfile::FrameScanner scanner(*file, at, at + frame.size());
  Result<const logfile::ScannedFrame*> read = scanner.next();
  ASSERT_TRUE(read.ok()) << read.error().message();
  ASSERT_NE(*read, nullptr) << scanner.end().reason;
  EXPECT_EQ((*read)->offset, at);
  EXPECT_EQ(scanner.position(), at + frame.size());
  const auto* enqueue = std::get_if<logfile::EnqueueView>(&(*read)->record);
  ASSERT_NE(enqueue, nullptr);
  EXPECT_EQ(enqueue->seq, 7u);
  EXPECT_EQ(Bytes(enqueue->body.begin(), enqueue->body.end()), body);
  EXPECT_EQ(scanner.next().value(), nullptr);
  EXPECT_TRUE(scanner.end().clean());
}

TEST(WordLimitsTest, ALengthFieldBeyondWhatIsLeftPastFourGiBIsDamageNotAnAllocation) {
  ScratchDirectory dir;
  const std::string path = dir.file("queue.log");
  const uint64_t at = kFourGiB + kFileHeaderLen;
  Bytes frame = frame_of(logfile::Ack{1});
  // Claims the largest allowed payload; only 9 bytes follow.
  logfile::put_le<uint32_t>(frame.data() + logfile::kFrameLengthOffset, logfile::kMaxRecordLen);
  write_sparse(path, at + frame.size(), {{at, frame}});
  Result<base::File> file = base::File::open(path, O_RDONLY);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(file->seek(at).ok());
  logfile::FrameScanner scanner(*file, at, at + frame.size());
  EXPECT_EQ(scanner.next().value(), nullptr);
  EXPECT_EQ(scanner.end().kind, logfile::LogEnd::Kind::kCorruptFrame);
  EXPECT_EQ(scanner.end().offset, at);
  EXPECT_EQ(scanner.end().reason, "truncated record payload");
}

// The body map covers the whole log, so the largest log whose bodies can be
// read is the largest mapping the address space allows: under 2 GiB on a
// 32-bit target, where a larger log must give an error, not a map of its
// length cut to 32 bits.
TEST(WordLimitsTest, TheBodyMapRefusesALogBeyondTheAddressSpaceAndReadsBodiesBeyondFourGiBWhereItFits) {
  ScratchDirectory dir;
  Result<base::Directory> directory = base::Directory::open(dir.path());
  ASSERT_TRUE(directory.ok());
  const std::string path = dir.file("queue.log");
  const uint64_t body_at = kFourGiB + 100;
  write_sparse(path, body_at + 3, {{body_at, bytes("far")}});
  logfile::LogMap map;
  Result<std::span<const uint8_t>> body = map.read(*directory, body_at, 3);
  if (kNarrowWord) {
    ASSERT_FALSE(body.ok());
    EXPECT_EQ(body.error().message(), "memory map length overflows isize");
    EXPECT_EQ(map.mapped_len(), 0u);
  } else {
    ASSERT_TRUE(body.ok()) << body.error().message();
    EXPECT_EQ(Bytes(body->begin(), body->end()), bytes("far"));
  }

  // One byte past the largest length a pointer difference can hold.
  const uint64_t just_beyond = static_cast<uint64_t>(PTRDIFF_MAX) + 1;
  if (kNarrowWord) {
    write_sparse(path, just_beyond, {{just_beyond - 3, bytes("end")}});
    logfile::LogMap beyond;
    Result<std::span<const uint8_t>> refused = beyond.read(*directory, just_beyond - 3, 3);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "memory map length overflows isize");
  }

  // A log of 1 GiB maps on every target; its last body reads back.
  const uint64_t gib = uint64_t{1} << 30;
  write_sparse(path, gib, {{gib - 3, bytes("end")}});
  logfile::LogMap fits;
  Result<std::span<const uint8_t>> last = fits.read(*directory, gib - 3, 3);
  ASSERT_TRUE(last.ok()) << last.error().message();
  EXPECT_EQ(Bytes(last->begin(), last->end()), bytes("end"));
  EXPECT_EQ(fits.mapped_len(), gib);
}

TEST(WordLimitsTest, ABodyWhoseEndWrapsSixtyFourBitsIsOutOfBounds) {
  ScratchDirectory dir;
  Result<base::Directory> directory = base::Directory::open(dir.path());
  ASSERT_TRUE(directory.ok());
  const std::string path = dir.file("queue.log");
  write_sparse(path, 64, {});
  logfile::LogMap map;
  for (const uint64_t offset : {std::numeric_limits<uint64_t>::max() - 1, kFourGiB - 1, uint64_t{61}}) {
    Result<std::span<const uint8_t>> body = map.read(*directory, offset, 5);
    EXPECT_FALSE(body.ok()) << offset;
  }
}

class CountingSink final : public DeliverySink {
 public:
  bool accept(const Delivery&) override {
    ++count;
    return true;
  }
  uint64_t count = 0;
};

// The binding hands `max` over as a u64 (refusing what a size_t cannot
// hold on a narrow target); the core neither truncates it nor reserves for it.
TEST(WordLimitsTest, DequeueBatchTakesAMaxBeyondThirtyTwoBitsWithoutAllocatingForIt) {
  std::unique_ptr<Queue> queue = std::move(Queue::open(kMemoryPath, QueueConfig{}).value());
  // Cut to 32 bits, 2^32 would be 0 and 2^32 + 1 would be 1.
  for (const uint64_t max : {kFourGiB, kFourGiB + 1, std::numeric_limits<uint64_t>::max()}) {
    Result<QueueCall> call = queue->enter_call(CatchUp::kRun);
    ASSERT_TRUE(call.ok());
    const std::vector<uint64_t> seqs =
        call->enqueue_batch(test_support::views_of({bytes("a"), bytes("b"), bytes("c")})).value();
    CountingSink sink;
    EXPECT_EQ(call->dequeue_batch(max, 60'000, sink).value(), 3u) << max;
    EXPECT_EQ(sink.count, 3u);
    CountingSink none;
    EXPECT_EQ(call->dequeue_batch(max, 60'000, none).value(), 0u);
    EXPECT_EQ(call->ack_batch(seqs).value(), 3u);
  }
}

// A whole queue whose log passes 4 GiB: eight enqueues of the largest body
// (zeros, left as holes), then a small message past 4 GiB. Recovery streams
// all of it; on a 64-bit target every body reads back, on a 32-bit one the
// log cannot be mapped and a delivery reports that as an error.
TEST(WordLimitsTest, AQueueWhoseLogPassesFourGiB) {
  if (std::getenv("TOLLIVANE_LONG") == nullptr) GTEST_SKIP() << "reads 4 GiB; runs with TOLLIVANE_LONG=1";
  ScratchDirectory dir;
  const std::string path = dir.file("queue.log");
  std::vector<std::pair<uint64_t, Bytes>> pieces;
  Bytes payload(logfile::kMaxRecordLen, 0);
  uint64_t offset = kFileHeaderLen;
  for (uint64_t seq = 0; seq < 8; ++seq) {
    payload[0] = static_cast<uint8_t>(logfile::RecordTag::kEnqueue);
    logfile::put_le<uint64_t>(payload.data() + 1, seq);
    logfile::put_le<uint64_t>(payload.data() + 9, 5);
    logfile::put_le<uint32_t>(payload.data() + 17, static_cast<uint32_t>(logfile::kMaxBodyLen));
    Bytes head = {'T', 'L', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0};
    logfile::put_le<uint32_t>(head.data() + 4, logfile::kMaxRecordLen);
    logfile::put_le<uint32_t>(head.data() + 8, logfile::crc32(payload));
    head.insert(head.end(), payload.begin(), payload.begin() + logfile::kEnqueuePayloadHeaderLen);
    pieces.emplace_back(offset, head);
    offset += logfile::kFrameHeaderLen + logfile::kMaxRecordLen;
  }
  payload = Bytes();
  const Bytes far_body = bytes("far");
  const Bytes far = frame_of(logfile::EnqueueView{8, 5, far_body});
  ASSERT_GT(offset, kFourGiB);
  pieces.emplace_back(offset, far);
  write_sparse(path, offset + far.size(), pieces);

  QueueConfig config;
  config.auto_compact_bytes = 0;
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir.path(), config);
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  Queue& queue = **opened;
  EXPECT_EQ(queue.state().counters().next_seq, 9u);
  EXPECT_EQ(queue.state().find(8)->body_offset, offset + logfile::kEnqueueFrameOverhead);
  Result<QueueCall> call = queue.enter_call(CatchUp::kRun);
  ASSERT_TRUE(call.ok()) << call.error().message();
  for (uint64_t seq = 0; seq < 8; ++seq) ASSERT_TRUE(call->ack(seq).value());

  class BodySink final : public DeliverySink {
   public:
    bool accept(const Delivery& delivery) override {
      body.assign(delivery.body.begin(), delivery.body.end());
      return true;
    }
    Bytes body;
  } sink;
  Result<bool> delivered = call->dequeue(60'000, sink);
  if (kNarrowWord) {
    ASSERT_FALSE(delivered.ok());
    EXPECT_EQ(delivered.error().message(), "memory map length overflows isize");
  } else {
    ASSERT_TRUE(delivered.ok()) << delivered.error().message();
    EXPECT_EQ(sink.body, bytes("far"));
  }
  Result<IntegrityReport> report = call->verify_integrity();
  ASSERT_TRUE(report.ok());
  EXPECT_TRUE(report->ok) << report->message;
  EXPECT_EQ(report->records, 8u + 1 + 8 + 1);
}

}  // namespace
}  // namespace tollivane
