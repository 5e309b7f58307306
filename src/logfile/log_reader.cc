#include "logfile/log_reader.h"

#include <algorithm>
#include <cstring>

#include "logfile/crc32.h"
#include "logfile/endian.h"
#include "logfile/format.h"

namespace tollivane::logfile {

LogReader::LogReader(base::File& file, uint64_t position, uint64_t file_len)
    : file_(file),
      position_(position),
      file_len_(file_len),
      unread_(file_len > position ? file_len - position : 0),
      buffer_(kIoBufferLen) {}

Result<size_t> LogReader::read_some(std::span<uint8_t> into) {
  if (into.size() > unread_) into = into.first(static_cast<size_t>(unread_));
  if (into.empty()) return size_t{0};
  // Positional reads: no seek before a replay, and the file's position,
  // which other readers of the descriptor may share, is left alone.
  Result<size_t> got = file_.read_some_at(file_len_ - unread_, into);
  if (got.ok()) unread_ -= *got;
  return got;
}

Result<Fill> LogReader::read_full_or_eof(std::span<uint8_t> out) {
  size_t filled = 0;
  while (filled < out.size()) {
    if (buffer_begin_ == buffer_end_) {
      const size_t wanted = out.size() - filled;
      // A request at least as large as the buffer bypasses it.
      if (wanted >= buffer_.size()) {
        Result<size_t> got = read_some(out.subspan(filled));
        if (!got.ok()) return got.take_error();
        if (*got == 0) break;
        filled += *got;
        position_ += *got;
        continue;
      }
      Result<size_t> got = read_some(buffer_);
      if (!got.ok()) return got.take_error();
      if (*got == 0) break;
      buffer_begin_ = 0;
      buffer_end_ = *got;
    }
    const size_t take = std::min(out.size() - filled, buffer_end_ - buffer_begin_);
    std::memcpy(out.data() + filled, buffer_.data() + buffer_begin_, take);
    buffer_begin_ += take;
    filled += take;
    position_ += take;
  }
  if (filled == out.size()) return Fill::kFull;
  return filled == 0 ? Fill::kEof : Fill::kTorn;
}

Result<bool> LogReader::read_payload(uint32_t length, uint32_t& crc) {
  if (buffer_end_ - buffer_begin_ >= length) {
    // Whole in the buffer (the usual case for small records): lend it there.
    lent_ = std::span<const uint8_t>(buffer_.data() + buffer_begin_, length);
    buffer_begin_ += length;
    position_ += length;
  } else {
    // An earlier large frame must not pin its size for the rest of a replay.
    if (payload_.size() > kLargePayloadLen && length <= kLargePayloadLen) payload_ = std::vector<uint8_t>();
    if (payload_.size() < length) payload_.resize(length);
    const std::span<uint8_t> into(payload_.data(), length);
    Result<Fill> filled = read_full_or_eof(into);
    if (!filled.ok()) return filled.take_error();
    if (*filled != Fill::kFull) return false;
    lent_ = into;
  }
  crc = crc32(lent_);
  return true;
}

Result<bool> LogReader::read_payload_in_pieces(uint32_t length, uint64_t keep, uint32_t& crc) {
  // Only the first `keep` bytes stay; the rest is checked a piece at a time,
  // so a frame's size costs time, not memory.
  if (payload_.capacity() > kLargePayloadLen) payload_ = std::vector<uint8_t>();
  if (payload_.size() < keep) payload_.resize(static_cast<size_t>(keep));
  const std::span<uint8_t> kept(payload_.data(), static_cast<size_t>(keep));
  Result<Fill> filled = read_full_or_eof(kept);
  if (!filled.ok()) return filled.take_error();
  if (*filled != Fill::kFull) return false;
  crc = crc32(kept);
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(length - keep, kLargePayloadLen)));
  for (uint64_t done = keep; done < length;) {
    const std::span<uint8_t> next(piece.data(), static_cast<size_t>(std::min<uint64_t>(piece.size(), length - done)));
    Result<Fill> read = read_full_or_eof(next);
    if (!read.ok()) return read.take_error();
    if (*read != Fill::kFull) return false;
    crc = crc32_extend(crc, next);
    done += next.size();
  }
  lent_ = kept;
  return true;
}

Result<FrameRead> LogReader::read_record_frame(uint64_t keep) {
  FrameRead frame;
  uint8_t header[kFrameHeaderLen];
  Result<Fill> header_fill = read_full_or_eof(header);
  if (!header_fill.ok()) return header_fill.take_error();
  if (*header_fill == Fill::kEof) return frame;
  frame.kind = FrameRead::Kind::kCorrupt;
  if (*header_fill == Fill::kTorn) {
    frame.reason = "truncated record header";
    return frame;
  }
  if (std::memcmp(header, kFrameMagic, sizeof kFrameMagic) != 0) {
    frame.reason = "bad record magic";
    return frame;
  }
  const uint32_t length = get_le<uint32_t>(header + kFrameLengthOffset);
  if (length > kMaxRecordLen) {
    frame.reason = "record length " + std::to_string(length) + " exceeds max " + std::to_string(kMaxRecordLen);
    return frame;
  }
  // A damaged length below the limit must not cost a large allocation: the
  // payload cannot be longer than what is left of the file.
  const uint64_t left = file_len_ > position_ ? file_len_ - position_ : 0;
  if (length > left) {
    frame.reason = "truncated record payload";
    return frame;
  }

  uint32_t crc = 0;
  Result<bool> whole = length > std::max<uint64_t>(keep, kLargePayloadLen) ? read_payload_in_pieces(length, keep, crc)
                                                                           : read_payload(length, crc);
  if (!whole.ok()) return whole.take_error();
  if (!*whole) {
    frame.reason = "truncated record payload";
    return frame;
  }
  if (crc != get_le<uint32_t>(header + kFrameCrcOffset)) {
    frame.reason = "record CRC mismatch (silent corruption)";
    return frame;
  }
  frame.payload = lent_;
  frame.payload_len = length;
  frame.kind = FrameRead::Kind::kComplete;
  return frame;
}

}  // namespace tollivane::logfile
