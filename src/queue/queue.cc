#include "queue/queue.h"

#include <utility>

namespace tollivane {
namespace {

// Until queue.log can be written, a directory path is refused at open, so the
// persistent branches below are never reached.
IoError log_unavailable() {
  return IoError::custom(ErrorKind::kInvalidInput,
                         "persistent queues are not available in this build; open \":memory:\"");
}

}  // namespace

Queue::Queue(const QueueConfig& config, std::string log_path, bool persistent)
    : config_(config), log_path_(std::move(log_path)), persistent_(persistent) {}

Result<std::unique_ptr<Queue>> Queue::open(std::string_view path, const QueueConfig& config) {
  // The comparison is exact: "dir/:memory:" is a directory like any other.
  if (path == kMemoryPath) {
    return std::unique_ptr<Queue>(new Queue(config, std::string(kMemoryPath), false));
  }
  return log_unavailable();
}

Result<CallScope> Queue::enter_call(CatchUp /*catch_up*/) {
  if (!process_lock_) return CallScope();
  // The lock comes first: what others appended can only be trusted to be
  // complete, and this call's appends to land at the tail, while it is held.
  Result<ProcessLockGuard> locked = process_lock_->write_lock();
  if (!locked.ok()) return locked.take_error();
  return CallScope(std::move(*locked));
}

Status Queue::commit(logfile::Record record, bool defer_sync) {
  const uint64_t frame_offset = inner_.tail_offset;
  if (persistent_) return log_unavailable();
  inner_.state.apply(std::move(record), frame_offset, /*keep_body=*/!persistent_);
  // The record is applied before the sync decision: once its frame is in the
  // file, other processes will replay it, so this process must hold it too,
  // even if the sync then fails and the caller sees an error.
  if (defer_sync) return Status();
  return maybe_sync(/*force=*/false);
}

Status Queue::maybe_sync(bool /*force*/) {
  if (!persistent_) return Status();
  return log_unavailable();
}

Result<std::span<const uint8_t>> Queue::body(const MessageEntry& entry) {
  if (entry.body) return std::span<const uint8_t>(*entry.body);
  return log_unavailable();
}

Status Queue::flush() { return maybe_sync(/*force=*/true); }

void Queue::flush_on_close() {
  if (!persistent_) return;
  (void)maybe_sync(/*force=*/true);
}

}  // namespace tollivane
