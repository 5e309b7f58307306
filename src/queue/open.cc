// Opening a persistent queue: the directory, its lock file and its log.
#include <utility>

#include "logfile/file.h"
#include "logfile/recovery.h"
#include "queue/queue.h"

namespace tollivane {

Result<std::unique_ptr<Queue>> Queue::open_persistent(const std::string& directory, const QueueConfig& config) {
  // The operating system would read the name only up to the NUL: refuse it
  // rather than open some other path.
  if (directory.find('\0') != std::string::npos) {
    return IoError::custom(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  if (Status created = logfile::create_directories(directory); !created.ok()) return created.take_error();
  std::unique_ptr<Queue> queue(new Queue(config, logfile::join_path(directory, "queue.log"), true));
  queue->lock_path_ = logfile::join_path(directory, ".proc_lock");
  queue->fork_epoch_ = current_fork_epoch();
  Result<ProcessLock> process_lock = ProcessLock::open(queue->lock_path_);
  if (!process_lock.ok()) return process_lock.take_error();
  Inner& inner = queue->inner_;
  {
    // Recovery may write a header or cut a damaged tail: no other process
    // may append meanwhile.
    Result<ProcessLockGuard> locked = process_lock->write_lock();
    if (!locked.ok()) return locked.take_error();
    Result<logfile::Recovered> recovered = logfile::recover(queue->log_path_);
    if (!recovered.ok()) return recovered.take_error();
    if (Status opened = queue->open_log_handles(); !opened.ok()) return opened.take_error();
    inner.state = std::move(recovered->state);
    inner.generation = recovered->generation;
    inner.tail_offset = recovered->end_offset;
    inner.log_bytes = recovered->end_offset;
  }
  inner.last_sync_ms = queue->now();
  queue->process_lock_.emplace(std::move(*process_lock));
  return queue;
}

}  // namespace tollivane
