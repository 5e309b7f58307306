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
// waited for with a blocking flock, so the wait is bounded by the time-out
// even if the holder hangs: a waiter sleeps in the waiting room of the
// directory's hint page (waiting_room.h), which wakes it in turn when the
// lock is released, and tries the lock with LOCK_NB; without a hint page
// it polls with back-off.
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
#include <memory>
#include <optional>

#include "base/directory.h"
#include "base/file.h"
#include "base/error.h"
#include "locking/hint_page.h"
#include "locking/waiting_room.h"

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
  // With `hints`, the directory's hint page, waits are made in its waiting
  // room; without, by polling.
  static Result<ProcessLock> open(const base::Directory& directory, const char* name,
                                  std::shared_ptr<HintPage> hints = nullptr);

  // Takes the exclusive lock, or fails with the time-out error once `timeout`
  // has passed, or with flock's own error. Fails at once with kWouldDeadlock
  // when this thread holds the lock of the same file through another
  // ProcessLock, and with kInterrupted when the caller's hooks end the wait.
  Result<ProcessLockGuard> write_lock(std::chrono::nanoseconds timeout = kProcessLockTimeout);
  // Takes the lock only if it is free: one attempt, and kWouldWait when
  // another description holds it.
  Result<ProcessLockGuard> try_write_lock();

 private:
  ProcessLock(base::File file, base::FileIdentity identity, std::shared_ptr<HintPage> hints);
  friend class ProcessLockGuard;

  bool try_lock();
  Result<ProcessLockGuard> wait_for_lock(std::chrono::nanoseconds start, std::chrono::nanoseconds timeout);
  Result<ProcessLockGuard> wait_in_room(std::chrono::nanoseconds start, std::chrono::nanoseconds timeout);
  // Tries the lock at every release the room sees, for at most `budget`:
  // whether it got it, or flock's own error.
  Result<bool> spin_for_lock(std::chrono::nanoseconds budget);

  // Closing it (when the object goes) also drops a lock still held through it.
  base::File file_;
  // Which lock file it is: flock excludes every description of one file.
  base::FileIdentity identity_;
  std::optional<WaitingRoom> room_;
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

  // Releases the lock for a caller that will not take it again soon (it
  // goes to wait for the disk): a waiter is woken for it at once, where a
  // plain release leaves it to callers that are about to come back.
  void release_for_a_while();

 private:
  explicit ProcessLockGuard(ProcessLock& lock);
  friend class ProcessLock;
  void release(Leaving leaving = Leaving::kForNow);

  ProcessLock* lock_ = nullptr;
  pthread_t thread_{};
};

}  // namespace tollivane
