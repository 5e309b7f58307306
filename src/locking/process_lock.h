// The process lock: one exclusive flock on the queue directory's .proc_lock.
//
// Every call on a persistent queue holds it from before it catches up with
// other processes' appends until after its own last write, so that reading
// what the others wrote, deciding, and appending are one step no other
// process can interleave with.
//
// flock locks belong to an open file description, not to a process: two
// objects that each opened .proc_lock exclude each other even inside one
// process, and a holder that dies releases the lock when the kernel closes
// its descriptor, so a dead peer never blocks the others. The lock is never
// waited for with a blocking flock: it is polled with back-off, so the wait
// is bounded by the time-out even if the holder hangs.
#pragma once

#include <chrono>
#include <cstdint>

#include "base/directory.h"
#include "base/file.h"
#include "base/error.h"

namespace tollivane {

inline constexpr std::chrono::seconds kProcessLockTimeout{30};
inline constexpr char kProcessLockTimeoutMessage[] =
    "process lock timed out \u2014 a live peer is holding it too long";

class ProcessLockGuard;

class ProcessLock {
 public:
  // Opens (creating when missing, never truncating) the lock file `name` of
  // `directory`: a description of its own, which no other object shares.
  static Result<ProcessLock> open(const base::Directory& directory, const char* name);

  // Takes the exclusive lock, or fails with the time-out error once `timeout`
  // has passed, or with flock's own error.
  Result<ProcessLockGuard> write_lock(std::chrono::nanoseconds timeout = kProcessLockTimeout);

 private:
  explicit ProcessLock(base::File file) : file_(std::move(file)) {}
  friend class ProcessLockGuard;

  // Closing it (when the object goes) also drops a lock still held through it.
  base::File file_;
};

// The lock held; releases it (flock LOCK_UN) when it goes out of scope. It
// refers to the ProcessLock it was taken through, never to a descriptor
// number, which a close and an open elsewhere could give to another file.
class [[nodiscard]] ProcessLockGuard {
 public:
  ProcessLockGuard(ProcessLockGuard&& other) noexcept;
  ProcessLockGuard& operator=(ProcessLockGuard&& other) noexcept;
  ProcessLockGuard(const ProcessLockGuard&) = delete;
  ProcessLockGuard& operator=(const ProcessLockGuard&) = delete;
  ~ProcessLockGuard();

 private:
  explicit ProcessLockGuard(ProcessLock& lock) : lock_(&lock) {}
  friend class ProcessLock;
  void release();

  ProcessLock* lock_ = nullptr;
};

}  // namespace tollivane
