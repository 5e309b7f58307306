#include "locking/process_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "base/blocking.h"
#include "base/system_calls.h"

namespace tollivane {
using base::system_calls;
namespace {

// Back-off schedule, by the number of failed attempts so far: spin briefly
// (the holder is usually about to finish an append), then yield the
// processor, then poll every 50 microseconds so a long wait costs little.
constexpr uint32_t kSpinAttempts = 64;
constexpr uint32_t kYieldAttempts = 1024;
constexpr long kPollSleepNs = 50000;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
  asm volatile("yield");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

std::chrono::nanoseconds monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Returns whether a signal cut the sleep short: its handler may want the
// wait to end, which the caller asks about before sleeping again.
bool sleep_poll_interval() {
  timespec request{0, kPollSleepNs};
  return clock_nanosleep(CLOCK_MONOTONIC, 0, &request, nullptr) == EINTR;
}

// Returns whether a signal interrupted the back-off.
bool back_off(uint32_t failed_attempts) {
  if (failed_attempts <= kSpinAttempts) {
    cpu_relax();
  } else if (failed_attempts <= kYieldAttempts) {
    sched_yield();
  } else {
    return sleep_poll_interval();
  }
  return false;
}

// Which thread of this process holds the lock of which lock file. Few are
// held at once (one per call in progress), so a vector is the whole
// registry.
struct HeldLock {
  base::FileIdentity identity;
  pthread_t thread;
};

struct HeldLocks {
  std::mutex mutex;
  std::vector<HeldLock> held;
};

HeldLocks& held_locks() {
  // Never destroyed: an object freed at exit may still release its lock.
  static HeldLocks* const instance = [] {
    auto* made = new HeldLocks;
    // A fork() child has only the forking thread; a lock the others held is
    // no lock of the child's, and their thread ids may be reused there.
    pthread_atfork([] { held_locks().mutex.lock(); }, [] { held_locks().mutex.unlock(); },
                   [] {
                     HeldLocks& locks = held_locks();
                     const pthread_t forking = pthread_self();
                     std::erase_if(locks.held, [&](const HeldLock& lock) { return !pthread_equal(lock.thread, forking); });
                     locks.mutex.unlock();
                   });
    return made;
  }();
  return *instance;
}

bool held_by_this_thread(const base::FileIdentity& identity) {
  HeldLocks& locks = held_locks();
  std::lock_guard guard(locks.mutex);
  const pthread_t self = pthread_self();
  return std::any_of(locks.held.begin(), locks.held.end(), [&](const HeldLock& lock) {
    return lock.identity == identity && pthread_equal(lock.thread, self);
  });
}

void note_held(const base::FileIdentity& identity, pthread_t thread) {
  HeldLocks& locks = held_locks();
  std::lock_guard guard(locks.mutex);
  locks.held.push_back(HeldLock{identity, thread});
}

void note_released(const base::FileIdentity& identity, pthread_t thread) {
  HeldLocks& locks = held_locks();
  std::lock_guard guard(locks.mutex);
  const auto held = std::find_if(locks.held.begin(), locks.held.end(), [&](const HeldLock& lock) {
    return lock.identity == identity && pthread_equal(lock.thread, thread);
  });
  if (held != locks.held.end()) locks.held.erase(held);
}

}  // namespace

Result<ProcessLock> ProcessLock::open(const base::Directory& directory, const char* name) {
  // Never truncated and never read: only the lock on it counts. A symbolic
  // link planted in its place is refused rather than replaced: processes
  // that opened the real file before would lock one file and this one
  // another, and no longer exclude each other.
  base::PathStatus opened;
  Result<base::File> file = directory.open_file(name, O_RDWR | O_CREAT, 0666, &opened);
  if (!file.ok()) return file.take_error();
  return ProcessLock(std::move(*file), opened.identity);
}

bool ProcessLock::try_lock() { return system_calls().flock(file_.fd(), LOCK_EX | LOCK_NB) == 0; }

Result<ProcessLockGuard> ProcessLock::write_lock(std::chrono::nanoseconds timeout) {
  // A call of another object on this directory, further up this thread's
  // stack, holds the lock and cannot go on before this call returns: a
  // finalizer run while that call builds its result is the usual way here.
  // Waiting would only end at the time-out, with every other thread of the
  // caller kept waiting too, had the wait not let them run.
  if (held_by_this_thread(identity_)) {
    return IoError::custom(ErrorKind::kWouldDeadlock, kProcessLockSelfDeadlockMessage);
  }
  const std::chrono::nanoseconds start = monotonic_now();
  // The uncontended lock costs one flock and lets nobody else run: handing
  // the caller's lock over and back would cost more than the wait.
  if (try_lock()) return ProcessLockGuard(*this);
  if (errno != EWOULDBLOCK) return IoError::from_errno(errno);
  return wait_for_lock(start, timeout);
}

Result<ProcessLockGuard> ProcessLock::try_write_lock() {
  if (held_by_this_thread(identity_)) {
    return IoError::custom(ErrorKind::kWouldDeadlock, kProcessLockSelfDeadlockMessage);
  }
  if (try_lock()) return ProcessLockGuard(*this);
  if (errno != EWOULDBLOCK) return IoError::from_errno(errno);
  return IoError::custom(ErrorKind::kWouldWait, kProcessLockBusyMessage);
}

Result<ProcessLockGuard> ProcessLock::wait_for_lock(std::chrono::nanoseconds start,
                                                    std::chrono::nanoseconds timeout) {
  // The holder may take long: another process compacting a large log, or
  // one that hangs for the whole time-out. The caller's other threads run
  // meanwhile. A Ctrl-C interrupts the sleep of the thread it is delivered
  // to; one delivered while this thread spins or yields, or to another
  // thread, is seen at the next regular check.
  base::BlockingRegion others_run;
  std::chrono::nanoseconds next_check = start + kProcessLockInterruptCheck;
  uint32_t failed_attempts = 1;
  while (true) {
    const std::chrono::nanoseconds now = monotonic_now();
    // A clock that reads earlier than the start counts as no time elapsed.
    const std::chrono::nanoseconds elapsed = now > start ? now - start : std::chrono::nanoseconds(0);
    if (elapsed >= timeout) return IoError::custom(ErrorKind::kTimedOut, kProcessLockTimeoutMessage);
    const bool signalled = back_off(failed_attempts);
    if (signalled || now >= next_check) {
      next_check = now + kProcessLockInterruptCheck;
      if (others_run.interrupted()) return IoError::custom(ErrorKind::kInterrupted, kProcessLockInterruptedMessage);
    }
    if (try_lock()) return ProcessLockGuard(*this);
    if (errno != EWOULDBLOCK) return IoError::from_errno(errno);
    if (failed_attempts < UINT32_MAX) ++failed_attempts;
  }
}

ProcessLockGuard::ProcessLockGuard(ProcessLock& lock) : lock_(&lock), thread_(pthread_self()) {
  note_held(lock.identity_, thread_);
}

ProcessLockGuard::ProcessLockGuard(ProcessLockGuard&& other) noexcept
    : lock_(std::exchange(other.lock_, nullptr)), thread_(other.thread_) {}

ProcessLockGuard& ProcessLockGuard::operator=(ProcessLockGuard&& other) noexcept {
  if (this != &other) {
    release();
    lock_ = std::exchange(other.lock_, nullptr);
    thread_ = other.thread_;
  }
  return *this;
}

ProcessLockGuard::~ProcessLockGuard() { release(); }

void ProcessLockGuard::release() {
  // Nothing useful can be done if the unlock fails; closing the descriptor
  // would release it anyway.
  if (lock_ == nullptr) return;
  (void)system_calls().flock(lock_->file_.fd(), LOCK_UN);
  note_released(lock_->identity_, thread_);
  lock_ = nullptr;
}

}  // namespace tollivane
