// The buffered appender of queue.log (8192-byte buffer).
//
// Frames are assembled whole and handed over in one write(), so that a frame
// reaches the file in one piece whenever the buffer is flushed; the queue
// flushes after every append, which leaves the buffer empty between calls.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/file.h"
#include "logfile/format.h"
#include "logfile/record.h"
#include "base/error.h"

namespace tollivane::logfile {

class LogWriter {
 public:
  explicit LogWriter(base::File file);

  // Copies `bytes` into the buffer when they fit in its free space;
  // otherwise flushes first, and bytes at least as long as the whole buffer
  // go to the file directly.
  Status write(std::span<const uint8_t> bytes);
  // Hands the buffered bytes to the operating system. They are dropped even
  // when that fails, so that a torn frame's bytes can never land behind a
  // frame written later.
  Status flush();

  // Builds the frame of `record` at the end of the buffer, however full the
  // buffer is, so that any number of frames can go out in one write at the
  // next flush(). Nothing is written here. Returns the frame length.
  uint64_t append_frame(const RecordView& record);

  base::File& file() { return file_; }
  bool has_buffered_bytes() const { return !buffer_.empty(); }
  uint64_t buffered_len() const { return buffer_.size(); }

 private:
  base::File file_;
  std::vector<uint8_t> buffer_;
};

// Appends the frame of `record` ("TLR1", length, CRC-32, payload) to `out`,
// encoded in place. Returns its length.
uint64_t append_record_frame(const RecordView& record, std::vector<uint8_t>& out);

// 12 + the payload length of `record`.
inline uint64_t frame_len_of(const RecordView& record) { return kFrameHeaderLen + encoded_len(record); }

}  // namespace tollivane::logfile
