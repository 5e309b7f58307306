// The buffered appender of queue.log (8192-byte buffer).
//
// Frames are assembled whole and handed over in one write(), so that a frame
// reaches the file in one piece whenever the buffer is flushed; the queue
// flushes after every append, which leaves the buffer empty between calls.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "logfile/file.h"
#include "logfile/record.h"
#include "queue/error.h"

namespace tollivane::logfile {

class LogWriter {
 public:
  explicit LogWriter(File file);

  // Copies `bytes` into the buffer when they fit in its free space;
  // otherwise flushes first, and bytes at least as long as the whole buffer
  // go to the file directly.
  Status write(std::span<const uint8_t> bytes);
  // Hands the buffered bytes to the operating system. They are dropped even
  // when that fails, so that a torn frame's bytes can never land behind a
  // frame written later.
  Status flush();

  File& file() { return file_; }
  bool has_buffered_bytes() const { return !buffer_.empty(); }

 private:
  File file_;
  std::vector<uint8_t> buffer_;
};

// Builds the frame of `payload` ("TLR1", length, CRC-32, payload) in
// `scratch` (emptied first, reusable) and hands it to `writer` in one write.
// Returns the frame length.
Result<uint64_t> write_record_frame(LogWriter& writer, std::vector<uint8_t>& scratch,
                                    std::span<const uint8_t> payload);

// Builds the frame of `record` in `scratch`, encoding it in place, and
// returns the frame's bytes (valid until `scratch` changes).
std::span<const uint8_t> frame_record(const Record& record, std::vector<uint8_t>& scratch);

}  // namespace tollivane::logfile
