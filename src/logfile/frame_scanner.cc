#include "logfile/frame_scanner.h"

#include <utility>
#include <variant>

#include "logfile/format.h"

namespace tollivane::logfile {

FrameScanner::FrameScanner(base::File& file, uint64_t start, uint64_t file_len, uint64_t keep)
    : reader_(file, start, file_len), keep_(keep), position_(start) {}

const ScannedFrame* FrameScanner::stop(LogEnd::Kind kind, std::string reason) {
  end_ = LogEnd{kind, position_, std::move(reason)};
  return nullptr;
}

Result<const ScannedFrame*> FrameScanner::next() {
  Result<FrameRead> read = reader_.read_record_frame(keep_);
  if (!read.ok()) return read.take_error();
  switch (read->kind) {
    case FrameRead::Kind::kEof:
      return stop(LogEnd::Kind::kClean, std::string());
    case FrameRead::Kind::kCorrupt:
      return stop(LogEnd::Kind::kCorruptFrame, std::move(read->reason));
    case FrameRead::Kind::kComplete:
      break;
  }
  // Every reader of the log decodes every record: a frame whose CRC holds
  // but whose payload is no record ends the valid log as a torn frame does,
  // so that verification calls a log clean only where replay takes it whole.
  auto decoded = decode_record_view(read->payload, read->payload_len);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded)) {
    return stop(LogEnd::Kind::kUndecodableRecord, std::move(failure->reason));
  }
  frame_.emplace(ScannedFrame{position_, kFrameHeaderLen + read->payload_len, read->payload,
                              std::get<RecordView>(decoded)});
  position_ = reader_.position();
  return &*frame_;
}

}  // namespace tollivane::logfile
