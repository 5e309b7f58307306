#include "logfile/log_writer.h"

#include <cassert>
#include <cstring>
#include <utility>

#include "logfile/crc32.h"
#include "logfile/endian.h"
#include "logfile/format.h"

namespace tollivane::logfile {
namespace {

// Fills in the 12-byte header in front of the payload already in `frame`.
void seal_frame(std::vector<uint8_t>& frame) {
  const auto payload = std::span<const uint8_t>(frame).subspan(kFrameHeaderLen);
  // Bodies are limited before they are logged; a larger frame would be
  // refused by every reader as damage.
  assert(payload.size() <= kMaxRecordLen);
  std::memcpy(frame.data(), kFrameMagic, sizeof kFrameMagic);
  put_le<uint32_t>(frame.data() + 4, static_cast<uint32_t>(payload.size()));
  put_le<uint32_t>(frame.data() + 8, crc32(payload));
}

}  // namespace

LogWriter::LogWriter(File file) : file_(std::move(file)) { buffer_.reserve(kIoBufferLen); }

Status LogWriter::write(std::span<const uint8_t> bytes) {
  if (bytes.size() < kIoBufferLen - buffer_.size()) {
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
  return written;
}

Result<uint64_t> write_record_frame(LogWriter& writer, std::vector<uint8_t>& scratch,
                                    std::span<const uint8_t> payload) {
  scratch.assign(kFrameHeaderLen, 0);
  scratch.insert(scratch.end(), payload.begin(), payload.end());
  seal_frame(scratch);
  if (Status written = writer.write(scratch); !written.ok()) return written.take_error();
  return static_cast<uint64_t>(scratch.size());
}

std::span<const uint8_t> frame_record(const Record& record, std::vector<uint8_t>& scratch) {
  scratch.clear();
  scratch.reserve(kFrameHeaderLen + encoded_len(record));
  scratch.resize(kFrameHeaderLen);
  encode_record_into(record, scratch);
  seal_frame(scratch);
  return scratch;
}

}  // namespace tollivane::logfile
