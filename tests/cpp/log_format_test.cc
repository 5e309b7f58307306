// The log layer byte for byte: checksum, record payloads, frames read back
// from real files, and the buffered writer's choice between buffering and
// writing through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fault_injection.h"
#include "logfile/crc32.h"
#include "base/file.h"
#include "logfile/format.h"
#include "logfile/log_reader.h"
#include "logfile/log_writer.h"
#include "logfile/record.h"

namespace tollivane::logfile {
namespace {

using Bytes = std::vector<uint8_t>;
using base::File;
using test_support::ScratchDirectory;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes frame_of(const Record& record) {
  Bytes scratch;
  const std::span<const uint8_t> frame = frame_record(record, scratch);
  return Bytes(frame.begin(), frame.end());
}

TEST(Crc32Test, MatchesTheReferenceVectors) {
  EXPECT_EQ(crc32({}), 0u);
  EXPECT_EQ(crc32(text("abc")), 0x352441C2u);
  EXPECT_EQ(crc32(text("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(text("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
  EXPECT_EQ(crc32(Bytes(32, 0)), 0x190A55ADu);
}

// Long inputs take the folding path where the processor has it; every
// length (below and above each step of 16 and 64) and every alignment must
// give what the bit-at-a-time definition gives.
TEST(Crc32Test, MatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
  auto bitwise = [](std::span<const uint8_t> data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const uint8_t byte : data) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
  };
  Bytes data(700 + 16);
  uint32_t seed = 12345;
  for (uint8_t& byte : data) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (size_t offset = 0; offset < 16; offset += 3) {
    for (size_t len = 0; len <= 700; ++len) {
      const std::span<const uint8_t> slice(data.data() + offset, len);
      ASSERT_EQ(crc32(slice), bitwise(slice)) << "offset " << offset << ", length " << len;
    }
  }
  EXPECT_EQ(crc32(Bytes(64, 0)), 0x758D6336u);
}

// Each kind with fields that fill every byte, so that a swapped, shifted or
// truncated field shows.
struct Layout {
  const char* name;
  Record record;
  Bytes payload;
};

std::vector<Layout> layouts() {
  return {
      {"Enqueue", Enqueue{0x0102030405060708, 0x1122334455667788, text("xyz")},
       {1, 8, 7, 6, 5, 4, 3, 2, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 3, 0, 0, 0, 'x', 'y', 'z'}},
      {"Ack", Ack{0xA1A2A3A4A5A6A7A8}, {2, 0xA8, 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1}},
      {"Lease", Lease{7, 0x0A0B0C0D0E0F1011, 0xDEADBEEF},
       {3, 7, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0xEF, 0xBE, 0xAD, 0xDE}},
      {"Requeue", Requeue{0xFFFFFFFFFFFFFFFF, 0x01020304}, {4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1}},
      {"DeadLetter", DeadLetter{0x100}, {5, 0, 1, 0, 0, 0, 0, 0, 0}},
  };
}

TEST(RecordTest, EachKindEncodesToItsExactBytesAndDecodesBack) {
  for (const Layout& layout : layouts()) {
    SCOPED_TRACE(layout.name);
    EXPECT_EQ(encode_record(layout.record), layout.payload);
    EXPECT_EQ(encoded_len(layout.record), layout.payload.size());
    auto decoded = decode_record(layout.payload);
    ASSERT_TRUE(std::holds_alternative<Record>(decoded)) << std::get<DecodeFailure>(decoded).reason;
    const Record& record = std::get<Record>(decoded);
    EXPECT_EQ(record.index(), layout.record.index());
    EXPECT_EQ(encode_record(record), layout.payload);
  }
  // The fields that encode_record's equality above could not tell apart if
  // both directions made the same mistake.
  auto enqueue = std::get<Enqueue>(std::get<Record>(decode_record(layouts()[0].payload)));
  EXPECT_EQ(enqueue.seq, 0x0102030405060708u);
  EXPECT_EQ(enqueue.enqueued_ts_ms, 0x1122334455667788u);
  EXPECT_EQ(enqueue.body, text("xyz"));
  auto requeue = std::get<Requeue>(std::get<Record>(decode_record(layouts()[3].payload)));
  EXPECT_EQ(requeue.deliveries, 0x01020304u);
}

TEST(RecordTest, EnqueueFrameHoldsItsBodyThirtyThreeBytesIn) {
  const Layout layout = layouts()[0];
  const Bytes frame = frame_of(layout.record);
  ASSERT_EQ(frame.size(), 36u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), text("TLR1"));
  EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 8), (Bytes{24, 0, 0, 0}));
  const uint32_t crc = crc32(layout.payload);
  EXPECT_EQ(Bytes(frame.begin() + 8, frame.begin() + 12),
            (Bytes{uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
  EXPECT_EQ(Bytes(frame.begin() + 12, frame.end()), layout.payload);
  EXPECT_EQ(Bytes(frame.begin() + 12 + 17, frame.begin() + 12 + 21), (Bytes{3, 0, 0, 0}));
  EXPECT_EQ(Bytes(frame.begin() + kEnqueueFrameOverhead, frame.end()), text("xyz"));
}

TEST(RecordTest, UndecodablePayloadsGiveTheirReason) {
  const Bytes enqueue = layouts()[0].payload;
  const Bytes lease = layouts()[2].payload;
  const Bytes requeue = layouts()[3].payload;
  auto prefix = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); };
  Bytes huge_body_len = enqueue;
  std::memset(&huge_body_len[17], 0xFF, 4);
  Bytes one_byte_short = enqueue;
  one_byte_short[17] = 4;

  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "empty record"},
      {{7}, "unknown record type 7"},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8}, "unknown record type 0"},
      {{6, 1, 2, 3, 4, 5, 6, 7, 8}, "unknown record type 6"},
      {{2, 1, 2, 3, 4}, "short u64 field"},
      {{5, 1, 2, 3, 4, 5, 6, 7}, "short u64 field"},
      {{1}, "short u64 field"},
      {prefix(enqueue, 16), "short u64 field"},
      {prefix(enqueue, 20), "short u32 field"},
      {prefix(lease, 16), "short u64 field"},
      {prefix(lease, 20), "short u32 field"},
      {prefix(requeue, 8), "short u64 field"},
      {prefix(requeue, 9), "short u32 field"},
      {prefix(requeue, 12), "short u32 field"},
      {prefix(enqueue, 21), "short body"},
      {huge_body_len, "short body"},
      {one_byte_short, "short body"},
  };
  for (const auto& [payload, reason] : cases) {
    auto decoded = decode_record(payload);
    ASSERT_TRUE(std::holds_alternative<DecodeFailure>(decoded)) << "expected: " << reason;
    EXPECT_EQ(std::get<DecodeFailure>(decoded).reason, reason);
  }
}

TEST(RecordTest, BytesAfterTheLastFieldAreIgnored) {
  auto ack = decode_record(concat(layouts()[1].payload, {9, 9, 9}));
  EXPECT_EQ(std::get<Ack>(std::get<Record>(ack)).seq, 0xA1A2A3A4A5A6A7A8u);
  Bytes enqueue = concat(layouts()[0].payload, text("!!"));
  auto decoded = decode_record(enqueue);
  EXPECT_EQ(std::get<Enqueue>(std::get<Record>(decoded)).body, text("xyz"));
}

// Reads frames from a real file holding `content`, starting at `start`.
class FrameReaderTest : public ::testing::Test {
 protected:
  void load(const Bytes& content, uint64_t start = 0) {
    const std::string path = dir_.file("queue.log");
    test_support::write_file(path, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
    Result<File> opened = File::open(path, O_RDONLY);
    ASSERT_TRUE(opened.ok());
    file_ = std::move(*opened);
    ASSERT_TRUE(file_.seek(start).ok());
    reader_.emplace(file_, start, content.size());
  }
  FrameRead next() {
    Result<FrameRead> read = reader_->read_record_frame();
    EXPECT_TRUE(read.ok());
    return read.ok() ? std::move(*read) : FrameRead{};
  }
  std::string reason_for(const Bytes& content) {
    load(content);
    FrameRead read = next();
    EXPECT_EQ(read.kind, FrameRead::Kind::kCorrupt);
    return read.reason;
  }

  ScratchDirectory dir_;
  File file_;
  std::optional<LogReader> reader_;
};

TEST_F(FrameReaderTest, ReadsFramesBackToBackThenEof) {
  const Bytes header = {'T', 'L', 'F', 'L', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  load(header, kFileHeaderLen);
  EXPECT_EQ(next().kind, FrameRead::Kind::kEof);
  EXPECT_EQ(reader_->position(), kFileHeaderLen);

  // The large body makes the payload read bypass the 8192-byte buffer.
  const Bytes big_body(3 * kIoBufferLen + 5, 0x5A);
  const Bytes log = concat(concat(header, frame_of(Ack{3})), frame_of(Enqueue{4, 5, big_body}));
  load(log, kFileHeaderLen);
  FrameRead first = next();
  ASSERT_EQ(first.kind, FrameRead::Kind::kComplete);
  EXPECT_EQ(first.payload, encode_record(Ack{3}));
  EXPECT_EQ(first.frame_len, 21u);
  EXPECT_EQ(reader_->position(), kFileHeaderLen + 21);
  FrameRead second = next();
  ASSERT_EQ(second.kind, FrameRead::Kind::kComplete);
  EXPECT_EQ(second.frame_len, kEnqueueFrameOverhead + big_body.size());
  EXPECT_EQ(std::get<Enqueue>(std::get<Record>(decode_record(second.payload))).body, big_body);
  EXPECT_EQ(next().kind, FrameRead::Kind::kEof);
  EXPECT_EQ(reader_->position(), log.size());
}

TEST_F(FrameReaderTest, EmptyPayloadIsAFrameWhoseRecordIsEmpty) {
  load({'T', 'L', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0});
  FrameRead read = next();
  ASSERT_EQ(read.kind, FrameRead::Kind::kComplete);
  EXPECT_EQ(read.frame_len, 12u);
  EXPECT_EQ(std::get<DecodeFailure>(decode_record(read.payload)).reason, "empty record");
}

TEST_F(FrameReaderTest, ShortReadsAreFullEofOrTorn) {
  load(text("abcde"));
  uint8_t out[8] = {};
  EXPECT_EQ(*reader_->read_full_or_eof(std::span<uint8_t>(out, 0)), Fill::kFull);
  EXPECT_EQ(*reader_->read_full_or_eof(std::span<uint8_t>(out, 3)), Fill::kFull);
  EXPECT_EQ(*reader_->read_full_or_eof(std::span<uint8_t>(out, 3)), Fill::kTorn);
  EXPECT_EQ(*reader_->read_full_or_eof(std::span<uint8_t>(out, 3)), Fill::kEof);
}

TEST_F(FrameReaderTest, DamagedFramesAreReportedWithTheirReason) {
  const Bytes frame = frame_of(Enqueue{1, 2, text("hello")});
  EXPECT_EQ(reason_for(Bytes(frame.begin(), frame.begin() + 5)), "truncated record header");
  EXPECT_EQ(reason_for(Bytes(frame.begin(), frame.begin() + 12)), "truncated record payload");
  EXPECT_EQ(reason_for(Bytes(frame.begin(), frame.end() - 1)), "truncated record payload");

  Bytes over_limit = frame;
  over_limit[4] = 0x01, over_limit[5] = 0, over_limit[6] = 0, over_limit[7] = 0x20;
  EXPECT_EQ(reason_for(over_limit), "record length 536870913 exceeds max 536870912");

  // Every single flipped bit of the magic, the checksum or the payload.
  for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
    if (bit / 8 >= 4 && bit / 8 < 8) continue;  // the length: covered above
    Bytes damaged = frame;
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(reason_for(damaged), bit < 32 ? "bad record magic" : "record CRC mismatch (silent corruption)")
        << "bit " << bit;
  }
}

// Allocating what a damaged length field claims would not fail, only cost
// memory, so the read runs in a child whose address space is capped a little
// above what it already uses: an allocation of the claimed size kills it.
TEST_F(FrameReaderTest, ClaimedLengthBeyondTheFileIsNeverAllocated) {
  for (uint32_t claimed : {500'000'000u, kMaxRecordLen}) {
    Bytes frame = frame_of(Ack{1});
    frame[4] = uint8_t(claimed), frame[5] = uint8_t(claimed >> 8);
    frame[6] = uint8_t(claimed >> 16), frame[7] = uint8_t(claimed >> 24);
    load(frame);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      long pages = 0;
      std::FILE* statm = std::fopen("/proc/self/statm", "r");
      if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) _exit(3);
      std::fclose(statm);
      const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
      const rlimit limit{cap, cap};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(4);
      FrameRead read = next();
      _exit(read.kind == FrameRead::Kind::kCorrupt && read.reason == "truncated record payload" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "claimed " << claimed << ", status " << status;
  }
}

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("queue.log");
    Result<File> opened = File::open(path_, O_RDWR | O_CREAT | O_APPEND);
    ASSERT_TRUE(opened.ok());
    writer_.emplace(std::move(*opened));
  }
  size_t file_size() const { return test_support::read_file(path_).size(); }

  ScratchDirectory dir_;
  std::string path_;
  std::optional<LogWriter> writer_;
};

TEST_F(LogWriterTest, BytesShorterThanTheFreeSpaceStayBufferedUntilFlush) {
  ASSERT_TRUE(writer_->write(Bytes(kIoBufferLen - 1, 'a')).ok());
  EXPECT_EQ(file_size(), 0u);
  EXPECT_TRUE(writer_->has_buffered_bytes());
  ASSERT_TRUE(writer_->flush().ok());
  EXPECT_EQ(file_size(), kIoBufferLen - 1);
  EXPECT_FALSE(writer_->has_buffered_bytes());

  // 100 bytes buffered leave 8092 free: 8092 bytes do not fit "shorter than
  // the free space", so the 100 go out first and the 8092 take their place.
  ASSERT_TRUE(writer_->write(Bytes(100, 'b')).ok());
  ASSERT_TRUE(writer_->write(Bytes(kIoBufferLen - 100, 'c')).ok());
  EXPECT_EQ(file_size(), kIoBufferLen - 1 + 100);
  ASSERT_TRUE(writer_->flush().ok());
  EXPECT_EQ(file_size(), 2 * kIoBufferLen - 1);
}

TEST_F(LogWriterTest, WholeBufferSizedBytesGoStraightToTheFileInOrder) {
  ASSERT_TRUE(writer_->write(text("head")).ok());
  ASSERT_TRUE(writer_->write(Bytes(kIoBufferLen, 'x')).ok());
  EXPECT_FALSE(writer_->has_buffered_bytes());
  const std::string content = test_support::read_file(path_);
  EXPECT_EQ(content, "head" + std::string(kIoBufferLen, 'x'));
}

TEST_F(LogWriterTest, FramesBuiltInOneScratchAreWrittenWhole) {
  Bytes scratch;
  const Record records[] = {Enqueue{0, 9, text("first body")}, Ack{0}};
  for (const Record& record : records) {
    Result<uint64_t> written = write_record_frame(*writer_, scratch, encode_record(record));
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(*written, kFrameHeaderLen + encoded_len(record));
  }
  EXPECT_EQ(file_size(), 0u) << "write_record_frame must leave flushing to its caller";
  ASSERT_TRUE(writer_->flush().ok());
  const Bytes expected = concat(frame_of(records[0]), frame_of(records[1]));
  EXPECT_EQ(test_support::read_file(path_), std::string(expected.begin(), expected.end()));
}

TEST_F(LogWriterTest, WriteThatMakesNoProgressIsAnError) {
  test_support::FaultyFileSystem fs;
  fs.short_write(0);
  Status direct = writer_->write(Bytes(kIoBufferLen, 'x'));
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(direct.error().message(), "failed to write whole buffer");

  ASSERT_TRUE(writer_->write(text("small")).ok());
  fs.short_write(0);
  Status flushed = writer_->flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().message(), "failed to write the buffered data");
  EXPECT_EQ(fs.faults_fired(), 2u);
}

}  // namespace
}  // namespace tollivane::logfile
