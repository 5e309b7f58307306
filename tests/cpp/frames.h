// Log bytes for tests, made by the encoder the queue appends with.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "logfile/log_writer.h"
#include "logfile/record.h"

namespace tollivane::test_support {

// The bytes of `text`, for a body that outlives the record viewing it.
inline std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The bytes of `text`, owned: a body for a call that copies it or not.
inline std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

// The whole frame of `record`: "TLR1", length, CRC-32, payload.
inline std::vector<uint8_t> frame_of(const logfile::RecordView& record) {
  std::vector<uint8_t> frame;
  logfile::append_record_frame(record, frame);
  return frame;
}

// The payload of `record` alone.
inline std::vector<uint8_t> payload_of(const logfile::RecordView& record) {
  const std::vector<uint8_t> frame = frame_of(record);
  return {frame.begin() + static_cast<std::ptrdiff_t>(logfile::kFrameHeaderLen), frame.end()};
}

}  // namespace tollivane::test_support
