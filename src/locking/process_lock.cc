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

// Back-off schedule without a waiting room, by the number of failed
// attempts so far: spin briefly (the holder is usually about to finish an
// append), then yield the processor, then poll every 50 microseconds so a
// long wait costs little.
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

// Spins until `moved()`, for at most `budget`; returns whether it did. The
// waiter yields its processor now and then: a holder may be waiting for it.
template <typename Moved>
bool spin_until(Moved moved, std::chrono::nanoseconds budget) {
  const std::chrono::nanoseconds until = monotonic_now() + budget;
  while (true) {
    for (int i = 0; i < 64; ++i) {
      if (moved()) return true;
      cpu_relax();
    }
    if (monotonic_now() >= until) return false;
    sched_yield();
  }
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

ProcessLock::ProcessLock(base::File file, base::FileIdentity identity, std::shared_ptr<HintPage> hints)
    : file_(std::move(file)), identity_(identity) {
  if (hints) room_.emplace(std::move(hints));
}

Result<ProcessLock> ProcessLock::open(const base::Directory& directory, const char* name,
                                      std::shared_ptr<HintPage> hints) {
  // Never truncated and never read: only the lock on it counts. A symbolic
  // link planted in its place is refused rather than replaced: processes
  // that opened the real file before would lock one file and this one
  // another, and no longer exclude each other.
  base::PathStatus opened;
  Result<base::File> file = directory.open_file(name, O_RDWR | O_CREAT, 0666, &opened);
  if (!file.ok()) return file.take_error();
  return ProcessLock(std::move(*file), opened.identity, std::move(hints));
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
  // the caller's lock over and back would cost more than the wait. A caller
  // tries it before it queues, unless a waiter has starved and asked for
  // the next turn (waiting_room.h).
  if (!room_ || !room_->held_off()) {
    if (try_lock()) return ProcessLockGuard(*this);
    if (errno != EWOULDBLOCK) return IoError::from_errno(errno);
  }
  return room_ ? wait_in_room(start, timeout) : wait_for_lock(start, timeout);
}

Result<bool> ProcessLock::spin_for_lock(std::chrono::nanoseconds budget) {
  const WaitingRoom& room = *room_;
  const std::chrono::nanoseconds until = monotonic_now() + budget;
  while (monotonic_now() < until) {
    const uint32_t released = room.releases();
    if (try_lock()) return true;
    if (errno != EWOULDBLOCK) return IoError::from_errno(errno);
    if (!spin_until([&] { return room.releases() != released; }, until - monotonic_now())) break;
    if (!room.left_for_a_while()) {
      const uint32_t next_release = room.releases();
      spin_until([&] { return room.releases() != next_release; }, kComeBackGrace);
    }
  }
  return false;
}

Result<ProcessLockGuard> ProcessLock::wait_in_room(std::chrono::nanoseconds start, std::chrono::nanoseconds timeout) {
  // As wait_for_lock(), the caller's other threads run, a signal ends the
  // sleep it arrives in, and the time-out bounds the whole wait. Why no
  // state of the room can keep this waiter from the lock for longer than a
  // bounded nap is told in waiting_room.h.
  base::BlockingRegion others_run;
  WaitingRoom& room = *room_;
  // Most waits end here: a call holds the lock for a few microseconds.
  if (!room.held_off()) {
    Result<bool> taken = spin_for_lock(kNewcomerSpin);
    if (!taken.ok()) return taken.take_error();
    if (*taken) return ProcessLockGuard(*this);
  }
  const uint32_t ticket = room.take_ticket();
  uint32_t last_serving = room.serving();
  std::chrono::nanoseconds serving_since = monotonic_now();
  std::optional<std::chrono::nanoseconds> front_since;
  std::chrono::nanoseconds nap = kFrontNapMin;
  std::chrono::nanoseconds next_check = start + kProcessLockInterruptCheck;
  bool signalled = false;
  // A waiter that leaves without the lock hands its turn on if it had it;
  // if not, the queue behind it moves once its turn has stood still kStuck.
  auto give_up = [&](IoError error) -> Result<ProcessLockGuard> {
    if (room.is_front(ticket)) room.pass_turn(ticket);
    return error;
  };
  while (true) {
    const std::chrono::nanoseconds now = monotonic_now();
    const std::chrono::nanoseconds elapsed = now > start ? now - start : std::chrono::nanoseconds(0);
    if (elapsed >= timeout) return give_up(IoError::custom(ErrorKind::kTimedOut, kProcessLockTimeoutMessage));
    if (signalled || now >= next_check) {
      next_check = now + kProcessLockInterruptCheck;
      if (others_run.interrupted()) {
        return give_up(IoError::custom(ErrorKind::kInterrupted, kProcessLockInterruptedMessage));
      }
    }
    // The longest any one sleep may last: until the time-out or the next
    // look at the caller's signals.
    const std::chrono::nanoseconds awake_by = std::min(timeout - elapsed, next_check - now);
    const uint32_t slot = room.turn_slot(ticket);
    const uint32_t serving = room.serving();
    if (serving != last_serving) {
      last_serving = serving;
      serving_since = now;
    }
    if (!room.is_front(ticket) && now - serving_since < kStuck) {
      const std::chrono::nanoseconds until_stuck = serving_since + kStuck - now;
      signalled = room.wait_for_turn(ticket, slot, std::min(until_stuck, awake_by)) == RoomWait::kSignalled;
      continue;
    }
    if (!front_since) front_since = now;
    const uint32_t releases = room.releases();
    if (try_lock()) {
      room.pass_turn(ticket);
      return ProcessLockGuard(*this);
    }
    if (errno != EWOULDBLOCK) return give_up(IoError::from_errno(errno));
    if (now - *front_since < kFairWait) {
      // Callers on a processor go first; this waiter looks again now and
      // then, or when a holder leaves for a while.
      const std::chrono::nanoseconds until_fair = *front_since + kFairWait - now;
      const std::chrono::nanoseconds look_in = std::min<std::chrono::nanoseconds>({kLookAgain, until_fair, awake_by});
      signalled = room.wait_for_release(releases, look_in) == RoomWait::kSignalled;
      continue;
    }
    // Its turn, from now on: newcomers queue, and the next release wakes it.
    room.hold_off(ticket);
    if (spin_until([&] { return room.releases() != releases; }, kFrontSpin)) {
      nap = kFrontNapMin;
      continue;
    }
    const RoomWait woke = room.wait_for_release(releases, std::min(nap, awake_by));
    signalled = woke == RoomWait::kSignalled;
    nap = woke == RoomWait::kTimedOut ? std::min<std::chrono::nanoseconds>(2 * nap, kFrontNapMax) : kFrontNapMin;
  }
}

Result<ProcessLockGuard> ProcessLock::try_write_lock() {
  if (held_by_this_thread(identity_)) {
    return IoError::custom(ErrorKind::kWouldDeadlock, kProcessLockSelfDeadlockMessage);
  }
  // A call that may not wait never queues in the waiting room: it has no
  // turn to wait for. It leaves a free lock to a front waiter that starves
  // and asked for the next turn (waiting_room.h), as a newcomer would, and
  // its caller makes the call again where it may wait, in turn.
  if (room_ && room_->held_off()) return IoError::custom(ErrorKind::kWouldWait, kProcessLockBusyMessage);
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

void ProcessLockGuard::release_for_a_while() { release(Leaving::kForAWhile); }

void ProcessLockGuard::release(Leaving leaving) {
  // Nothing useful can be done if the unlock fails; closing the descriptor
  // would release it anyway.
  if (lock_ == nullptr) return;
  (void)system_calls().flock(lock_->file_.fd(), LOCK_UN);
  // After the unlock: a waiter woken before it would find the lock still
  // taken, and sleep again with no release left to wake it.
  if (lock_->room_) lock_->room_->released(leaving);
  note_released(lock_->identity_, thread_);
  lock_ = nullptr;
}

}  // namespace tollivane
