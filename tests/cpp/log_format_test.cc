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
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fault_injection.h"
#include "frames.h"
#include "logfile/crc32.h"
#include "logfile/endian.h"
#include "base/file.h"
#include "logfile/format.h"
#include "logfile/frame_scanner.h"
#include "logfile/log_reader.h"
#include "logfile/log_writer.h"
#include "logfile/record.h"
#include "queue/queue.h"
#include "queue_call.h"

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
using test_support::bytes_of;
using test_support::frame_of;
using test_support::payload_of;

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
  RecordView record;
  Bytes payload;
};

std::vector<Layout> layouts() {
  return {
      {"Enqueue", EnqueueView{0x0102030405060708, 0x1122334455667788, bytes_of("xyz")},
       {1, 8, 7, 6, 5, 4, 3, 2, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 3, 0, 0, 0, 'x', 'y', 'z'}},
      {"Ack", Ack{0xA1A2A3A4A5A6A7A8}, {2, 0xA8, 0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1}},
      {"Lease", Lease{7, 0x0A0B0C0D0E0F1011, 0xDEADBEEF},
       {3, 7, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0xEF, 0xBE, 0xAD, 0xDE}},
      {"Requeue", Requeue{0xFFFFFFFFFFFFFFFF, 0x01020304}, {4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1}},
      {"DeadLetter", DeadLetter{0x100}, {5, 0, 1, 0, 0, 0, 0, 0, 0}},
  };
}

// The record in `payload`, which must decode.
RecordView decoded(const Bytes& payload) {
  auto result = decode_record_view(payload);
  EXPECT_TRUE(std::holds_alternative<RecordView>(result)) << std::get<DecodeFailure>(result).reason;
  return std::holds_alternative<RecordView>(result) ? std::get<RecordView>(result) : RecordView(Ack{0});
}

TEST(RecordTest, EachKindEncodesToItsExactBytesAndDecodesBack) {
  const std::vector<Layout> all = layouts();
  for (const Layout& layout : all) {
    SCOPED_TRACE(layout.name);
    EXPECT_EQ(payload_of(layout.record), layout.payload);
    EXPECT_EQ(encoded_len(layout.record), layout.payload.size());
    const RecordView record = decoded(layout.payload);
    EXPECT_EQ(record.index(), layout.record.index());
    EXPECT_EQ(payload_of(record), layout.payload);
  }
  // The fields that the equality above could not tell apart if both
  // directions made the same mistake.
  const auto enqueue = std::get<EnqueueView>(decoded(all[0].payload));
  EXPECT_EQ(enqueue.seq, 0x0102030405060708u);
  EXPECT_EQ(enqueue.enqueued_ts_ms, 0x1122334455667788u);
  EXPECT_EQ(Bytes(enqueue.body.begin(), enqueue.body.end()), text("xyz"));
  EXPECT_EQ(enqueue.body.data(), all[0].payload.data() + kEnqueuePayloadHeaderLen) << "the body is not copied";
  EXPECT_EQ(std::get<Requeue>(decoded(all[3].payload)).deliveries, 0x01020304u);
}

TEST(RecordTest, EnqueueFrameHoldsItsBodyThirtyThreeBytesIn) {
  const Layout layout = layouts()[0];
  const Bytes frame = frame_of(layout.record);
  ASSERT_EQ(frame.size(), 36u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), text("TLR1"));
  EXPECT_EQ(Bytes(frame.begin() + kFrameLengthOffset, frame.begin() + kFrameCrcOffset), (Bytes{24, 0, 0, 0}));
  const uint32_t crc = crc32(layout.payload);
  EXPECT_EQ(Bytes(frame.begin() + kFrameCrcOffset, frame.begin() + kFrameHeaderLen),
            (Bytes{uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
  EXPECT_EQ(Bytes(frame.begin() + kFrameHeaderLen, frame.end()), layout.payload);
  EXPECT_EQ(Bytes(frame.begin() + 12 + 17, frame.begin() + 12 + 21), (Bytes{3, 0, 0, 0}));
  EXPECT_EQ(Bytes(frame.begin() + kEnqueueFrameOverhead, frame.end()), text("xyz"));
}

TEST(RecordTest, UndecodablePayloadsGiveTheirReason) {
  const Bytes enqueue = layouts()[0].payload;
  const Bytes lease = layouts()[2].payload;
  const Bytes requeue = layouts()[3].payload;
  auto prefix = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); };
  Bytes huge_body_len = enqueue;
  std::memset(&huge_body_len[kEnqueueBodyLenOffset], 0xFF, 4);
  Bytes one_byte_short = enqueue;
  one_byte_short[kEnqueueBodyLenOffset] = 4;

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
    auto result = decode_record_view(payload);
    ASSERT_TRUE(std::holds_alternative<DecodeFailure>(result)) << "expected: " << reason;
    EXPECT_EQ(std::get<DecodeFailure>(result).reason, reason);
  }
}

TEST(RecordTest, BytesAfterTheLastFieldAreIgnored) {
  const Bytes ack = concat(layouts()[1].payload, {9, 9, 9});
  EXPECT_EQ(std::get<Ack>(decoded(ack)).seq, 0xA1A2A3A4A5A6A7A8u);
  const Bytes enqueue = concat(layouts()[0].payload, text("!!"));
  const std::span<const uint8_t> body = std::get<EnqueueView>(decoded(enqueue)).body;
  EXPECT_EQ(Bytes(body.begin(), body.end()), text("xyz"));
}

// Scans frames from a real file holding `content`, starting at `start`.
class FrameScannerTest : public ::testing::Test {
 protected:
  void load(const Bytes& content, uint64_t start = 0, std::optional<uint64_t> file_len = std::nullopt,
            uint64_t keep = kEnqueuePayloadHeaderLen) {
    const std::string path = dir_.file("queue.log");
    test_support::write_file(path, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
    Result<File> opened = File::open(path, O_RDONLY);
    ASSERT_TRUE(opened.ok());
    file_ = std::move(*opened);
    ASSERT_TRUE(file_.seek(start).ok());
    scanner_.emplace(file_, start, file_len.value_or(content.size()), keep);
  }
  // The next frame, or nullptr at the end of the valid log.
  const ScannedFrame* next() {
    Result<const ScannedFrame*> read = scanner_->next();
    EXPECT_TRUE(read.ok());
    return read.ok() ? *read : nullptr;
  }
  std::string reason_for(const Bytes& content) {
    load(content);
    EXPECT_EQ(next(), nullptr);
    EXPECT_EQ(scanner_->end().kind, LogEnd::Kind::kCorruptFrame);
    EXPECT_EQ(scanner_->end().offset, 0u);
    return scanner_->end().reason;
  }

  ScratchDirectory dir_;
  File file_;
  std::optional<FrameScanner> scanner_;
};

TEST_F(FrameScannerTest, ReadsFramesBackToBackThenEndsClean) {
  const Bytes header = {'T', 'L', 'F', 'L', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  load(header, kFileHeaderLen);
  EXPECT_EQ(next(), nullptr);
  EXPECT_TRUE(scanner_->end().clean());
  EXPECT_EQ(scanner_->position(), kFileHeaderLen);

  // The large body makes the payload read bypass the 8192-byte buffer.
  const Bytes big_body(3 * kIoBufferLen + 5, 0x5A);
  const Bytes log = concat(concat(header, frame_of(Ack{3})), frame_of(EnqueueView{4, 5, big_body}));
  load(log, kFileHeaderLen);
  const ScannedFrame* first = next();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->offset, kFileHeaderLen);
  EXPECT_EQ(first->length, 21u);
  EXPECT_EQ(Bytes(first->payload.begin(), first->payload.end()), payload_of(Ack{3}));
  EXPECT_EQ(std::get<Ack>(first->record).seq, 3u);
  EXPECT_EQ(scanner_->position(), kFileHeaderLen + 21);
  const ScannedFrame* second = next();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->offset, kFileHeaderLen + 21);
  EXPECT_EQ(second->length, kEnqueueFrameOverhead + big_body.size());
  const std::span<const uint8_t> body = std::get<EnqueueView>(second->record).body;
  EXPECT_EQ(Bytes(body.begin(), body.end()), big_body);
  EXPECT_EQ(next(), nullptr);
  EXPECT_TRUE(scanner_->end().clean());
  EXPECT_EQ(scanner_->end().offset, log.size());
  EXPECT_EQ(scanner_->position(), log.size());
}

// An intact frame whose payload is no record ends the valid log there.
TEST_F(FrameScannerTest, EmptyPayloadIsAnIntactFrameWhoseRecordIsEmpty) {
  const Bytes empty_frame = {'T', 'L', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes log = concat(frame_of(Ack{1}), empty_frame);
  load(log);
  ASSERT_NE(next(), nullptr);
  EXPECT_EQ(next(), nullptr);
  EXPECT_EQ(scanner_->end().kind, LogEnd::Kind::kUndecodableRecord);
  EXPECT_EQ(scanner_->end().offset, 21u);
  EXPECT_EQ(scanner_->end().reason, "empty record");
  EXPECT_EQ(scanner_->position(), 21u);
}

// A log is read up to the length it had when it was looked at under the
// process lock; what others append after that is not there yet, whole
// frames included.
TEST_F(FrameScannerTest, NothingPastTheLengthItWasGivenIsRead) {
  const Bytes log = concat(frame_of(Ack{1}), frame_of(Ack{2}));
  load(log, 0, 21);
  ASSERT_NE(next(), nullptr);
  EXPECT_EQ(next(), nullptr);
  EXPECT_TRUE(scanner_->end().clean());
  EXPECT_EQ(scanner_->position(), 21u);

  load(log, 0, 21 + 5);
  ASSERT_NE(next(), nullptr);
  EXPECT_EQ(next(), nullptr);
  EXPECT_EQ(scanner_->end().offset, 21u);
  EXPECT_EQ(scanner_->end().reason, "truncated record header");
}

// A payload too large to hold whole is checked a piece at a time, and only
// as much of it is held as the scanner keeps.
TEST_F(FrameScannerTest, LargePayloadIsCheckedInPiecesAndHeldOnlyAsFarAsKept) {
  Bytes body(2 * kLargePayloadLen + 7, 0x42);
  body.back() = 0x43;
  Bytes frame = frame_of(EnqueueView{5, 6, body});
  for (const uint64_t keep : {kEnqueuePayloadHeaderLen, kEnqueuePayloadHeaderLen + 10}) {
    load(frame, 0, std::nullopt, keep);
    const ScannedFrame* read = next();
    ASSERT_NE(read, nullptr) << scanner_->end().reason;
    EXPECT_EQ(read->length, frame.size());
    const EnqueueView& enqueue = std::get<EnqueueView>(read->record);
    EXPECT_EQ(enqueue.body_len, body.size());
    EXPECT_EQ(Bytes(enqueue.body.begin(), enqueue.body.end()), Bytes(keep - kEnqueuePayloadHeaderLen, 0x42));
    EXPECT_EQ(scanner_->position(), frame.size());
  }
  frame.back() ^= 1;
  EXPECT_EQ(reason_for(frame), "record CRC mismatch (silent corruption)");
}

TEST_F(FrameScannerTest, ShortReadsAreFullEofOrTorn) {
  load(text("abcde"));
  LogReader reader(file_, 0, 5);
  uint8_t out[8] = {};
  EXPECT_EQ(*reader.read_full_or_eof(std::span<uint8_t>(out, 0)), Fill::kFull);
  EXPECT_EQ(*reader.read_full_or_eof(std::span<uint8_t>(out, 3)), Fill::kFull);
  EXPECT_EQ(*reader.read_full_or_eof(std::span<uint8_t>(out, 3)), Fill::kTorn);
  EXPECT_EQ(*reader.read_full_or_eof(std::span<uint8_t>(out, 3)), Fill::kEof);
}

TEST_F(FrameScannerTest, DamagedFramesAreReportedWithTheirReason) {
  const Bytes frame = frame_of(EnqueueView{1, 2, bytes_of("hello")});
  EXPECT_EQ(reason_for(Bytes(frame.begin(), frame.begin() + 5)), "truncated record header");
  EXPECT_EQ(reason_for(Bytes(frame.begin(), frame.begin() + 12)), "truncated record payload");
  EXPECT_EQ(reason_for(Bytes(frame.begin(), frame.end() - 1)), "truncated record payload");

  Bytes over_limit = frame;
  put_le<uint32_t>(&over_limit[kFrameLengthOffset], kMaxRecordLen + 1);
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
TEST_F(FrameScannerTest, ClaimedLengthBeyondTheFileIsNeverAllocated) {
  for (uint32_t claimed : {500'000'000u, kMaxRecordLen}) {
    Bytes frame = frame_of(Ack{1});
    put_le<uint32_t>(&frame[kFrameLengthOffset], claimed);
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
      const bool cut = next() == nullptr && scanner_->end().reason == "truncated record payload";
      _exit(cut ? 0 : 1);
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

TEST_F(LogWriterTest, FramesAppendedToTheBufferGoOutWholeAtTheNextFlush) {
  const RecordView records[] = {EnqueueView{0, 9, bytes_of("first body")}, Ack{0}};
  for (const RecordView& record : records) {
    EXPECT_EQ(writer_->append_frame(record), kFrameHeaderLen + encoded_len(record));
  }
  EXPECT_EQ(file_size(), 0u) << "append_frame must leave writing to flush()";
  EXPECT_EQ(writer_->buffered_len(), frame_of(records[0]).size() + frame_of(records[1]).size());
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

// What a build that knows nothing of delays and burials makes of a log:
// the scanner's frames applied as plain leases and requeues, and a sweep
// that returns every lease at or past its deadline.
class PlainReplay {
 public:
  struct Message {
    std::optional<uint64_t> lease_deadline_ms;
    uint32_t deliveries = 0;
  };
  void apply(const RecordView& record) {
    std::visit(
        [&](const auto& rec) {
          using Kind = std::decay_t<decltype(rec)>;
          auto live = messages.find(rec.seq);
          if constexpr (std::is_same_v<Kind, EnqueueView>) {
            messages[rec.seq] = Message{};
          } else if (live == messages.end()) {
          } else if constexpr (std::is_same_v<Kind, Lease>) {
            live->second = Message{rec.deadline_ms, rec.deliveries};
          } else if constexpr (std::is_same_v<Kind, Requeue>) {
            live->second = Message{std::nullopt, rec.deliveries};
          } else {
            messages.erase(live);
          }
        },
        record);
  }
  void sweep(uint64_t now) {
    for (auto& [seq, message] : messages) {
      if (message.lease_deadline_ms <= now) message.lease_deadline_ms.reset();
    }
  }
  std::map<uint64_t, Message> messages;
};

uint64_t g_old_build_clock = 1'700'000'000'000;
uint64_t old_build_clock() { return g_old_build_clock; }

class AnySink final : public DeliverySink {
 public:
  bool accept(const Delivery&) override { return true; }
};

TEST(OlderBuildTest, ReadsALogOfDelaysRetriesAndBurialsWholeAndReturnsEachMessageNoSoonerThanDue) {
  const uint64_t start = g_old_build_clock;
  ScratchDirectory dir;
  Result<std::unique_ptr<Queue>> opened = Queue::open(dir.path(), QueueConfig{});
  ASSERT_TRUE(opened.ok());
  Queue& queue = **opened;
  queue.set_clock_for_testing(&old_build_clock);
  AnySink sink;
  const Status written = test_support::in_call(queue, [&](QueueCall& call) -> Status {
    // 0 is leased, then retried; 1 scheduled, buried, kicked and leased; 2
    // and 3 scheduled; 4 stays ready; 5 is buried.
    const std::vector<Bytes> bodies = {text("m2"), text("m3")};
    const bool ok = call.enqueue(bytes_of("m0")).ok() && call.enqueue_delayed(bytes_of("m1"), 1000).ok() &&
                    call.enqueue_batch_delayed(test_support::views_of(bodies), 2000).ok() &&
                    call.enqueue(bytes_of("m4")).ok() && call.enqueue(bytes_of("m5")).ok() &&
                    *call.dequeue(60'000, sink) && *call.retry(0, 500, 1) && *call.bury(1, std::nullopt) &&
                    *call.bury(5, std::nullopt) && *call.kick(1) && *call.dequeue(60'000, sink);
    return ok ? Status() : Error::invalid_argument("a call failed");
  });
  ASSERT_TRUE(written.ok());
  const std::map<uint64_t, std::optional<uint64_t>> due = {
      {0, start + 500}, {1, start + 60'000}, {2, start + 2000}, {3, start + 2000}, {4, std::nullopt},
      {5, kBuriedDeadlineMs}};
  for (const bool compacted : {false, true}) {
    if (compacted) {
      ASSERT_TRUE(test_support::in_call(queue, [](QueueCall& call) { return call.compact(); }).ok());
    }
    Result<File> log = File::open(dir.file(kLogName), O_RDONLY);
    ASSERT_TRUE(log.ok() && log->seek(kFileHeaderLen).ok());
    const uint64_t log_len = test_support::read_file(dir.file(kLogName)).size();
    FrameScanner scanner(*log, kFileHeaderLen, log_len);
    PlainReplay replay;
    for (Result<const ScannedFrame*> frame = scanner.next(); frame.ok() && *frame; frame = scanner.next()) {
      replay.apply((*frame)->record);
    }
    // Nothing is cut, every message is there, and each lease is its due time.
    EXPECT_TRUE(scanner.end().clean() && scanner.end().offset == log_len) << scanner.end().reason;
    ASSERT_EQ(replay.messages.size(), due.size());
    for (const auto& [seq, deadline] : due) EXPECT_EQ(replay.messages[seq].lease_deadline_ms, deadline) << seq;
    replay.sweep(start + 1999);
    EXPECT_TRUE(replay.messages[2].lease_deadline_ms && !replay.messages[0].lease_deadline_ms);
    replay.sweep(start + 2000);
    EXPECT_EQ(std::make_tuple(replay.messages[2].deliveries, replay.messages[0].deliveries), std::make_tuple(0u, 1u));
    replay.sweep(kBuriedDeadlineMs - 1);
    EXPECT_EQ(replay.messages[5].lease_deadline_ms, kBuriedDeadlineMs) << "a buried message stays leased for ever";
  }
}

}  // namespace
}  // namespace tollivane::logfile
