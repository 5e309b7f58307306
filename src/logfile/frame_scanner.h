// Reading a log front to back: every program that reads queue.log (recovery
// at open, catch-up, verification, the read-only scan) goes through this
// one scanner, so they all agree on where the valid log ends and why.
//
// The scanner yields the valid frames one at a time with their offsets and
// decoded records, and stops at the first frame that is torn, corrupt or holds
// no record. That end is reported as a value (LogEnd): the
// caller decides whether to cut the file there or only say so. Only a failed
// read() is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/error.h"
#include "base/file.h"
#include "logfile/log_reader.h"
#include "logfile/record.h"

namespace tollivane::logfile {

// Where and why the valid part of a log ends.
struct LogEnd {
  enum class Kind {
    kClean,              // at the end of the file, on a frame boundary
    kCorruptFrame,       // a torn or damaged frame
    kUndecodableRecord,  // an intact frame whose payload holds no record
  };
  Kind kind = Kind::kClean;
  uint64_t offset = 0;  // just past the last valid frame: where the bad one starts
  std::string reason;   // the frame reader's or the decoder's reason

  bool clean() const { return kind == Kind::kClean; }
};

struct ScannedFrame {
  uint64_t offset = 0;                // of the frame's first byte
  uint64_t length = 0;                // 12 + the payload length
  std::span<const uint8_t> payload;   // valid until the next call of next(); see FrameRead
  RecordView record;                  // decoded from the payload, whose bytes it may point into
};

class FrameScanner {
 public:
  // Reads `file` from `start` in the log up to `file_len` (see LogReader). Of a large payload only the first
  // `keep` bytes are held (see FrameRead): what decoding needs by default,
  // so that replay needs little memory whatever the bodies' sizes.
  FrameScanner(base::File& file, uint64_t start, uint64_t file_len, uint64_t keep = kEnqueuePayloadHeaderLen);

  // The next valid frame, or nullptr once the valid log has ended (end()
  // says where and why). After an I/O error, position() still holds the end
  // of the last frame returned.
  Result<const ScannedFrame*> next();

  // Just past the last valid frame returned so far.
  uint64_t position() const { return position_; }
  // Valid once next() has returned nullptr.
  const LogEnd& end() const { return end_; }

 private:
  const ScannedFrame* stop(LogEnd::Kind kind, std::string reason);

  LogReader reader_;
  uint64_t keep_;
  uint64_t position_;
  std::optional<ScannedFrame> frame_;
  LogEnd end_;
};

}  // namespace tollivane::logfile
