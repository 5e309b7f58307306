#include "locking/process_lock.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <utility>

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

void sleep_poll_interval() {
  timespec request{0, kPollSleepNs};
  timespec remaining{};
  // A signal cuts the sleep short; sleep what is left.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &request, &remaining) == EINTR) request = remaining;
}

void back_off(uint32_t failed_attempts) {
  if (failed_attempts <= kSpinAttempts) {
    cpu_relax();
  } else if (failed_attempts <= kYieldAttempts) {
    sched_yield();
  } else {
    sleep_poll_interval();
  }
}

}  // namespace

Result<ProcessLock> ProcessLock::open(const base::Directory& directory, const char* name) {
  // Never truncated and never read: only the lock on it counts. A symbolic
  // link planted in its place is refused rather than replaced: processes
  // that opened the real file before would lock one file and this one
  // another, and no longer exclude each other.
  Result<base::File> file = directory.open_file(name, O_RDWR | O_CREAT, 0666);
  if (!file.ok()) return file.take_error();
  return ProcessLock(std::move(*file));
}

Result<ProcessLockGuard> ProcessLock::write_lock(std::chrono::nanoseconds timeout) {
  const std::chrono::nanoseconds start = monotonic_now();
  uint32_t failed_attempts = 0;
  while (true) {
    if (system_calls().flock(file_.fd(), LOCK_EX | LOCK_NB) == 0) return ProcessLockGuard(*this);
    if (errno != EWOULDBLOCK) return IoError::from_errno(errno);
    const std::chrono::nanoseconds now = monotonic_now();
    // A clock that reads earlier than the start counts as no time elapsed.
    const std::chrono::nanoseconds elapsed = now > start ? now - start : std::chrono::nanoseconds(0);
    if (elapsed >= timeout) return IoError::custom(ErrorKind::kTimedOut, kProcessLockTimeoutMessage);
    if (failed_attempts < UINT32_MAX) ++failed_attempts;
    back_off(failed_attempts);
  }
}

ProcessLockGuard::ProcessLockGuard(ProcessLockGuard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}

ProcessLockGuard& ProcessLockGuard::operator=(ProcessLockGuard&& other) noexcept {
  if (this != &other) {
    release();
    lock_ = std::exchange(other.lock_, nullptr);
  }
  return *this;
}

ProcessLockGuard::~ProcessLockGuard() { release(); }

void ProcessLockGuard::release() {
  // Nothing useful can be done if the unlock fails; closing the descriptor
  // would release it anyway.
  if (lock_ != nullptr) (void)system_calls().flock(lock_->file_.fd(), LOCK_UN);
  lock_ = nullptr;
}

}  // namespace tollivane
