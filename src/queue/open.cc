// Opening a persistent queue: the directory, its lock file and its log.
#include <utility>

#include "base/blocking.h"
#include "base/directory.h"
#include "base/file.h"
#include "base/fork_epoch.h"
#include "queue/queue.h"
#include "queue/recovery.h"

namespace tollivane {

Result<std::unique_ptr<Queue>> Queue::open_persistent(const std::string& path, const QueueConfig& config) {
  // The operating system would read the name only up to the NUL: refuse it
  // rather than open some other path.
  if (path.find('\0') != std::string::npos) {
    return IoError::custom(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  if (Status created = base::create_directories(path); !created.ok()) return created.take_error();
  // The one look-up of the path: from here on the queue works on this
  // directory, whatever later happens to the name.
  Result<base::Directory> directory = base::Directory::open(path);
  if (!directory.ok()) return directory.take_error();
  std::unique_ptr<Queue> queue(new Queue(config, true));
  queue->directory_ = std::move(*directory);
  queue->fork_epoch_ = base::current_fork_epoch();
  queue->hints_ = HintPage::open(queue->directory_, logfile::kHintPageName);
  Result<ProcessLock> process_lock = ProcessLock::open(queue->directory_, logfile::kProcessLockName, queue->hints_);
  if (!process_lock.ok()) return process_lock.take_error();
  Inner& inner = queue->inner_;
  {
    // Recovery may write a header or cut a damaged tail: no other process
    // may append meanwhile.
    Result<ProcessLockGuard> locked = process_lock->write_lock();
    if (!locked.ok()) return locked.take_error();
    // Replaying the whole log: the caller's other threads run meanwhile.
    base::BlockingRegion others_run;
    Result<Recovered> recovered = recover(queue->directory_);
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
