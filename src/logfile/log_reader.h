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
#include "logfile/format.h"

namespace tollivane::logfile {

enum class Fill { kFull, kEof, kTorn };

// One frame read back. Its payload is lent by the reader rather than handed
// over: no memory is allocated per frame, which is what replaying a large
// log costs.
struct FrameRead {
  enum class Kind { kComplete, kEof, kCorrupt };
  Kind kind = Kind::kEof;
  // kComplete: the payload, valid until the next read; only its first bytes
  // when it was larger than kLargePayloadLen and what the caller keeps.
  std::span<const uint8_t> payload;
  uint64_t payload_len = 0;  // kComplete: the whole payload's length
  std::string reason;        // kCorrupt: why the frame is bad
};

// A payload larger than this (and than what the reader is asked to keep) is
// checked a piece at a time instead of being held whole.
inline constexpr uint64_t kLargePayloadLen = kIoBufferLen * 16;

class LogReader {
 public:
  // Reads `file` from `position` in the log (without moving the file's own
  // position) up to `file_len`, the log's length when the caller looked: whatever the
  // file holds past it counts as its end. That keeps a read consistent with
  // the length taken under the process lock even when it is read after the
  // lock is released (and others append meanwhile), and bounds what a
  // length field may claim before anything is allocated for it.
  LogReader(base::File& file, uint64_t position, uint64_t file_len);

  // Fills `out` completely (kFull), or reports the end of the file before
  // any byte (kEof) or after some (kTorn).
  Result<Fill> read_full_or_eof(std::span<uint8_t> out);

  // Reads the frame that starts at the current position. Of a large
  // payload only the first `keep` bytes are held (see FrameRead).
  Result<FrameRead> read_record_frame(uint64_t keep = UINT64_MAX);

  // Offset in the log of the next byte to be read.
  uint64_t position() const { return position_; }

 private:
  // read_some() of the file, never past file_len_.
  Result<size_t> read_some(std::span<uint8_t> into);
  // Read the payload that follows a frame header into lent_ and its CRC-32
  // into `crc`; false when the file ends first.
  Result<bool> read_payload(uint32_t length, uint32_t& crc);
  Result<bool> read_payload_in_pieces(uint32_t length, uint64_t keep, uint32_t& crc);

  base::File& file_;
  uint64_t position_;
  uint64_t file_len_;
  // Bytes up to file_len_ not yet read from the file.
  uint64_t unread_;
  std::vector<uint8_t> buffer_;
  size_t buffer_begin_ = 0;
  size_t buffer_end_ = 0;
  // Holds a lent payload that is not whole in the buffer.
  std::vector<uint8_t> payload_;
  std::span<const uint8_t> lent_;
};

}  // namespace tollivane::logfile
