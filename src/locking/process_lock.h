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
//
// A wait lets the caller's other threads run (base/blocking.h) and now and
// then asks the caller whether to give up, so that a signal (Ctrl-C) ends a
// long wait. A thread that already holds the lock through another object of
// the same lock file is refused at once instead: the two descriptions
// exclude each other, so that wait could only end at the time-out.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>

#include "base/directory.h"
#include "base/file.h"
#include "base/error.h"

namespace tollivane {

inline constexpr std::chrono::seconds kProcessLockTimeout{30};
inline constexpr char kProcessLockTimeoutMessage[] =
    "process lock timed out \u2014 a live peer is holding it too long";
inline constexpr char kProcessLockSelfDeadlockMessage[] =
    "the process lock of this queue directory is already held by this thread, through another "
    "object on the same directory that is inside a call (for example from a finalizer run while "
    "that call builds its result); refused, as waiting would deadlock";
inline constexpr char kProcessLockInterruptedMessage[] = "interrupted while waiting for the process lock";
inline constexpr char kProcessLockBusyMessage[] = "the process lock of this queue directory is held by another call";
// How often a long wait asks the caller whether to give up, besides when a
// signal cuts its sleep short.
inline constexpr std::chrono::milliseconds kProcessLockInterruptCheck{20};

class ProcessLockGuard;

class ProcessLock {
 public:
  // Opens (creating when missing, never truncating) the lock file `name` of
  // `directory`: a description of its own, which no other object shares.
  static Result<ProcessLock> open(const base::Directory& directory, const char* name);

  // Takes the exclusive lock, or fails with the time-out error once `timeout`
  // has passed, or with flock's own error. Fails at once with kWouldDeadlock
  // when this thread holds the lock of the same file through another
  // ProcessLock, and with kInterrupted when the caller's hooks end the wait.
  Result<ProcessLockGuard> write_lock(std::chrono::nanoseconds timeout = kProcessLockTimeout);
  // Takes the lock only if it is free: one attempt, and kWouldWait when
  // another description holds it.
  Result<ProcessLockGuard> try_write_lock();

 private:
  ProcessLock(base::File file, base::FileIdentity identity) : file_(std::move(file)), identity_(identity) {}
  friend class ProcessLockGuard;

  bool try_lock();
  Result<ProcessLockGuard> wait_for_lock(std::chrono::nanoseconds start, std::chrono::nanoseconds timeout);

  // Closing it (when the object goes) also drops a lock still held through it.
  base::File file_;
  // Which lock file it is: flock excludes every description of one file.
  base::FileIdentity identity_;
};

// The lock held; releases it (flock LOCK_UN) when it goes out of scope. It
// refers to the ProcessLock it was taken through, never to a descriptor
// number, which a close and an open elsewhere could give to another file.
// It remembers the thread that took it, for whom the lock stays held (to
// refuse that thread a second wait for it) until it is released, by
// whichever thread.
class [[nodiscard]] ProcessLockGuard {
 public:
  ProcessLockGuard(ProcessLockGuard&& other) noexcept;
  ProcessLockGuard& operator=(ProcessLockGuard&& other) noexcept;
  ProcessLockGuard(const ProcessLockGuard&) = delete;
  ProcessLockGuard& operator=(const ProcessLockGuard&) = delete;
  ~ProcessLockGuard();

 private:
  explicit ProcessLockGuard(ProcessLock& lock);
  friend class ProcessLock;
  void release();

  ProcessLock* lock_ = nullptr;
  pthread_t thread_{};
};

}  // namespace tollivane
