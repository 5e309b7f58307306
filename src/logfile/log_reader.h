// Reading frames back through a buffered reader (8192-byte buffer); the
// frame scanner (frame_scanner.h) is what reads a log with it.
//
// Damage is a value, never an error: a torn or corrupt frame yields
// FrameRead::kCorrupt with a reason, and the caller decides whether to cut
// the file (at open) or only report it. Only a failed read() is an error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/error.h"

namespace tollivane::logfile {

enum class Fill { kFull, kEof, kTorn };

// One frame read back. Its payload is lent by the reader rather than handed
// over: no memory is allocated per frame, which is what replaying a large
// log costs.
struct FrameRead {
  enum class Kind { kComplete, kEof, kCorrupt };
  Kind kind = Kind::kEof;
  std::span<const uint8_t> payload;  // kComplete: valid until the next read
  std::string reason;                // kCorrupt: why the frame is bad
};

class LogReader {
 public:
  // Reads `file` from its current position, which is `position` in the log;
  // `file_len` is the log's length, which bounds what a length field may
  // claim before anything is allocated for it.
  LogReader(base::File& file, uint64_t position, uint64_t file_len);

  // Fills `out` completely (kFull), or reports the end of the file before
  // any byte (kEof) or after some (kTorn).
  Result<Fill> read_full_or_eof(std::span<uint8_t> out);

  // Reads the frame that starts at the current position.
  Result<FrameRead> read_record_frame();

  // Offset in the log of the next byte to be read.
  uint64_t position() const { return position_; }

 private:
  base::File& file_;
  uint64_t position_;
  uint64_t file_len_;
  std::vector<uint8_t> buffer_;
  size_t buffer_begin_ = 0;
  size_t buffer_end_ = 0;
  // Holds a lent payload that is not whole in the buffer.
  std::vector<uint8_t> payload_;
};

}  // namespace tollivane::logfile
