#include "queue/log_scan.h"

#include <fcntl.h>

#include <algorithm>

#include "logfile/file_header.h"
#include "logfile/format.h"
#include "queue/recovery.h"

namespace tollivane {

Result<std::unique_ptr<LogScan>> LogScan::open(const std::string& path, uint64_t body_prefix) {
  // The operating system would read the name only up to the NUL.
  if (path.find('\0') != std::string::npos) {
    return IoError::custom(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  Result<base::Directory> directory = base::Directory::open(path);
  if (!directory.ok()) return directory.take_error();
  base::PathStatus opened;
  Result<base::File> file = directory->open_file(logfile::kLogName, O_RDONLY, 0, &opened);
  if (!file.ok()) return file.take_error();
  std::unique_ptr<LogScan> scan(new LogScan());
  scan->file_ = std::move(*file);
  scan->file_len_ = opened.size;
  if (Status read = scan->read_header(body_prefix); !read.ok()) return read.take_error();
  return scan;
}

Status LogScan::read_header(uint64_t body_prefix) {
  // A damaged header leaves no frame to read: the valid log ends at once.
  if (file_len_ < logfile::kFileHeaderLen) {
    end_ = logfile::LogEnd{logfile::LogEnd::Kind::kCorruptFrame, 0, "truncated file header"};
    return Status();
  }
  Result<logfile::FileHeader> header = logfile::read_file_header(file_);
  if (!header.ok()) return header.take_error();
  if (!header->magic_ok) {
    end_ = logfile::LogEnd{logfile::LogEnd::Kind::kCorruptFrame, 0, "bad file magic"};
    return Status();
  }
  header_ok_ = true;
  version_ = header->version;
  generation_ = header->generation;
  scanner_.emplace(file_, logfile::kFileHeaderLen, file_len_,
                   logfile::kEnqueuePayloadHeaderLen + std::min(body_prefix, logfile::kMaxBodyLen));
  return Status();
}

Result<const logfile::ScannedFrame*> LogScan::next() {
  if (end_) return nullptr;
  Result<const logfile::ScannedFrame*> frame = replay_next(*scanner_, state_);
  if (!frame.ok()) return frame;
  if (*frame == nullptr) {
    end_ = scanner_->end();
  } else {
    frames_ += 1;
  }
  return frame;
}

Result<IntegrityReport> LogScan::integrity_report() {
  if (!header_ok_) {
    // A header too short to read is refused as verify_integrity() refuses
    // it; a whole one lacks the magic.
    Result<logfile::FileHeader> header = logfile::read_file_header(file_);
    if (!header.ok()) return header.take_error();
    return foreign_log_report();
  }
  while (!end_) {
    Result<const logfile::ScannedFrame*> frame = next();
    if (!frame.ok()) return frame.take_error();
  }
  return tollivane::integrity_report(frames_, *end_);
}

uint64_t LogScan::position() const { return scanner_ ? scanner_->position() : 0; }

std::vector<LeasePair> LogScan::sweep(uint64_t now) {
  std::vector<LeasePair> expired = state_.take_expired_leases(now);
  for (const LeasePair& lease : expired) {
    state_.apply(state_.requeue_of(lease.seq), 0, /*keep_body=*/false);
  }
  return expired;
}

QueueStats LogScan::stats() const {
  QueueStats stats;
  stats.ready = state_.ready_count();
  stats.in_flight = state_.in_flight_count();
  stats.total = state_.message_count();
  stats.counters = state_.counters();
  stats.log_bytes = position();
  stats.generation = generation_;
  stats.persistent = true;
  return stats;
}

std::vector<LogScan::Message> LogScan::messages(std::optional<Hold> held) const {
  std::vector<Message> found;
  if (!held) {
    state_.for_each_ready([&](uint64_t seq, const MessageEntry& entry) {
      found.push_back(Message{seq, entry, std::nullopt});
      return true;
    });
    return found;
  }
  state_.for_each_message([&](uint64_t seq, const MessageEntry& entry, std::optional<uint64_t> deadline_ms) {
    if (deadline_ms && hold_of_lease(*deadline_ms, entry.deliveries) == *held) {
      found.push_back(Message{seq, entry, deadline_ms});
    }
  });
  std::sort(found.begin(), found.end(), [](const Message& a, const Message& b) {
    return LeasePair{*a.lease_deadline_ms, a.seq} < LeasePair{*b.lease_deadline_ms, b.seq};
  });
  return found;
}

Result<bool> LogScan::read_at(uint64_t offset, std::span<uint8_t> out) { return file_.read_exact_at(offset, out); }

}  // namespace tollivane
