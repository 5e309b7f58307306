#include "queue/log_sync.h"

#include <pthread.h>

#include <algorithm>
#include <map>
#include <utility>

#include "base/blocking.h"

namespace tollivane {
namespace {

// The LogSyncs of this process by file. An entry lives as long as an object
// (or a call still syncing) holds it; each holds the file open, so its inode
// cannot be reused by another file meanwhile.
struct Registry {
  std::mutex mutex;
  std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<LogSync>> by_file;
};

Registry& registry() {
  // Never destroyed: an object freed during interpreter shutdown may still
  // look it up.
  static Registry* const instance = [] {
    auto* made = new Registry;
    // A fork() while another thread holds the mutex would leave it held in
    // the child forever; the child also starts with no entries, its objects
    // taking LogSyncs of their own (abandon_after_fork).
    pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                   [] {
                     registry().mutex.unlock();
                     registry().by_file.clear();
                   });
    return made;
  }();
  return *instance;
}

}  // namespace

Result<std::shared_ptr<LogSync>> LogSync::for_file(const base::File& log, const base::FileIdentity& identity) {
  Registry& files = registry();
  std::lock_guard lock(files.mutex);
  std::erase_if(files.by_file, [](const auto& entry) { return entry.second.expired(); });
  std::weak_ptr<LogSync>& slot = files.by_file[{identity.device, identity.inode}];
  if (std::shared_ptr<LogSync> existing = slot.lock(); existing && !existing->failure()) return existing;
  Result<base::File> own = log.duplicate();
  if (!own.ok()) return own.take_error();
  std::shared_ptr<LogSync> made(new LogSync(std::move(*own)));
  slot = made;
  return made;
}

Status LogSync::sync_through(uint64_t end, bool force) {
  {
    std::lock_guard lock(mutex_);
    if (!force && durable_end_ >= end) return Status();
    if (failure_) return *failure_;
  }
  // Waiting for the disk or for another caller's fsync: the caller's other
  // threads run meanwhile. Nothing below touches anything of the caller's.
  base::BlockingRegion others_run;
  std::unique_lock lock(mutex_);
  requested_end_ = std::max(requested_end_, end);
  // A round in progress may have started before this caller's bytes were
  // in the file; the next one to start is sure to cover them.
  const uint64_t covering_round = rounds_started_ + 1;
  while (true) {
    if (failure_) return failed_round_ >= covering_round ? *round_error_ : *failure_;
    if (rounds_done_ >= covering_round || (!force && durable_end_ >= end)) return Status();
    if (syncing_) {
      ++waiting_;
      round_done_.wait(lock);
      --waiting_;
    } else {
      lead_round(lock);
    }
  }
}

void LogSync::lead_round(std::unique_lock<std::mutex>& lock) {
  syncing_ = true;
  ++rounds_started_;
  // Whoever asked for these offsets had their bytes in the file before
  // asking, so this fsync, which starts after every ask so far, covers
  // them all, and every byte before them.
  const uint64_t covered = requested_end_;
  lock.unlock();
  Status synced = file_.sync();
  lock.lock();
  syncing_ = false;
  ++rounds_done_;
  if (synced.ok()) {
    durable_end_ = std::max(durable_end_, covered);
  } else if (!failure_) {
    failed_round_ = rounds_done_;
    round_error_ = synced.error().io();
    failure_ = IoError::custom(ErrorKind::kOther,
                               "fsync of queue.log failed (" + synced.error().message() +
                                   "); what was written since the last good sync may be lost, so this "
                                   "queue object refuses to write until it is reopened");
  }
  round_done_.notify_all();
}

std::optional<IoError> LogSync::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

uint64_t LogSync::waiting_callers() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

void LogSync::note_durable(uint64_t end) {
  std::lock_guard lock(mutex_);
  durable_end_ = std::max(durable_end_, end);
}

void LogSync::note_cut(uint64_t length) {
  std::lock_guard lock(mutex_);
  durable_end_ = std::min(durable_end_, length);
  requested_end_ = std::min(requested_end_, length);
}

void LogSync::abandon_after_fork(std::shared_ptr<LogSync> inherited) {
  if (inherited) new std::shared_ptr<LogSync>(std::move(inherited));
}

Status PendingSync::complete() {
  if (!log_sync_) return Status();
  return log_sync_->sync_through(end_, force_);
}

}  // namespace tollivane
