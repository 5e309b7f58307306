#include "logfile/log_writer.h"

#include <cassert>
#include <cstring>
#include <utility>

#include "logfile/crc32.h"
#include "logfile/endian.h"
#include "logfile/format.h"

namespace tollivane::logfile {
namespace {

// What the buffer may keep allocated between calls.
constexpr size_t kRetainedBufferLen = size_t{4} << 20;

// Fills in the 12-byte header in front of the payload that follows it.
void seal_frame(uint8_t* frame, std::span<const uint8_t> payload) {
  // Bodies are limited before they are logged; a larger frame would be
  // refused by every reader as damage.
  assert(payload.size() <= kMaxRecordLen);
  std::memcpy(frame, kFrameMagic, sizeof kFrameMagic);
  put_le<uint32_t>(frame + kFrameLengthOffset, static_cast<uint32_t>(payload.size()));
  put_le<uint32_t>(frame + kFrameCrcOffset, crc32(payload));
}

}  // namespace

uint64_t append_record_frame(const RecordView& record, std::vector<uint8_t>& out) {
  const uint64_t payload_len = encoded_len(record);
  const size_t at = out.size();
  // No reallocation per frame once `out` has grown to its working size.
  out.resize(at + static_cast<size_t>(kFrameHeaderLen + payload_len));
  uint8_t* frame = out.data() + at;
  encode_record_at(record, frame + kFrameHeaderLen);
  seal_frame(frame, std::span<const uint8_t>(frame + kFrameHeaderLen, static_cast<size_t>(payload_len)));
  return kFrameHeaderLen + payload_len;
}

LogWriter::LogWriter(base::File file) : file_(std::move(file)) { buffer_.reserve(kIoBufferLen); }

Status LogWriter::write(std::span<const uint8_t> bytes) {
  if (buffer_.size() < kIoBufferLen && bytes.size() < kIoBufferLen - buffer_.size()) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return Status();
  }
  if (Status flushed = flush(); !flushed.ok()) return flushed;
  if (bytes.size() >= kIoBufferLen) return file_.write_all(bytes, "failed to write whole buffer");
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return Status();
}

Status LogWriter::flush() {
  if (buffer_.empty()) return Status();
  Status written = file_.write_all(buffer_, "failed to write the buffered data");
  buffer_.clear();
  // A large frame or batch grew the buffer; do not keep that memory for
  // the life of the queue.
  if (buffer_.capacity() > kRetainedBufferLen) {
    buffer_ = std::vector<uint8_t>();
    buffer_.reserve(kIoBufferLen);
  }
  return written;
}

uint64_t LogWriter::append_frame(const RecordView& record) { return append_record_frame(record, buffer_); }

}  // namespace tollivane::logfile
