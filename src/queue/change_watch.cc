#include "queue/change_watch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "base/fork_epoch.h"
#include "base/system_calls.h"
#include "logfile/format.h"
#include "queue/clock.h"

namespace tollivane {
using base::current_fork_epoch;
using base::system_calls;
namespace {

// The longest single ppoll(): its timespec holds seconds in a time_t, which
// has 32 bits on the ARM targets. A longer wait is made of several.
constexpr uint64_t kLongestSleepMs = uint64_t{24} * 3600 * 1000;

constexpr uint32_t kDirectoryEvents = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

// Closing an inotify instance that has ever watched something makes the
// kernel wait until its marks are retired, which takes milliseconds (about
// ten on the machines we measured), while removing a watch is cheap. A
// worker calling dequeue_wait in a loop would pay that at every call, so
// instances are kept, without their watch, for the next watch of the
// process. A forked child forgets what it inherited: sharing an instance
// with its parent, each would read away the other's events.
class InotifyPool {
 public:
  static InotifyPool& instance() {
    // Never destroyed: the fork handlers may use it until the process ends.
    static InotifyPool* const pool = new InotifyPool();
    static const bool registered = [] { return pthread_atfork(before_fork, in_parent, in_child) == 0; }();
    (void)registered;
    return *pool;
  }

  // An instance without a watch, or -1 with errno set.
  int take() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        const int fd = idle_.back();
        idle_.pop_back();
        return fd;
      }
    }
    return system_calls().inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  }

  void give_back(int fd) {
    {
      std::lock_guard lock(mutex_);
      if (idle_.size() < kMaxIdle) {
        idle_.push_back(fd);
        return;
      }
    }
    (void)system_calls().close(fd);
  }

 private:
  // More than this many consumers of one process waiting at once is rare;
  // the instances of such a burst beyond it are closed, not kept.
  static constexpr size_t kMaxIdle = 16;

  // Held across fork(), so that the child's copy is neither locked by a
  // thread it does not have nor half changed.
  static void before_fork() { instance().mutex_.lock(); }
  static void in_parent() { instance().mutex_.unlock(); }
  static void in_child() {
    InotifyPool& pool = instance();
    // Cheap to close: the parent still holds each of them.
    for (const int fd : pool.idle_) (void)system_calls().close(fd);
    pool.idle_.clear();
    pool.mutex_.unlock();
  }

  std::mutex mutex_;
  std::vector<int> idle_;
};

}  // namespace

void ChangeNotifier::notify() {
  // Nobody waits, or only threads of the process this one was forked from.
  if (watched_in_epoch_.load(std::memory_order_acquire) != current_fork_epoch() + 1) return;
  std::lock_guard lock(mutex_);
  wake_all_locked();
}

void ChangeNotifier::forget_parent_after_fork() {
  const uint64_t epoch = current_fork_epoch();
  if (used_in_epoch_ == epoch) return;
  // A thread of the parent may have been inside at the fork (a watch that
  // ended unsubscribes without the queue object's lock): the mutex may be
  // held for ever and the list half changed. Both are replaced, untouched;
  // the parent's subscriptions are none of the child's anyway. Every caller
  // holds the queue object's lock, and a watch of the child can only
  // unsubscribe after its subscribe() made this replacement.
  new (&mutex_) std::mutex();
  new (&subscriptions_) std::vector<Subscription>();
  used_in_epoch_ = epoch;
}

void ChangeNotifier::close() {
  forget_parent_after_fork();
  std::lock_guard lock(mutex_);
  closed_ = true;
  wake_all_locked();
}

void ChangeNotifier::subscribe(int wake_fd) {
  forget_parent_after_fork();
  const uint64_t epoch = current_fork_epoch();
  std::lock_guard lock(mutex_);
  subscriptions_.push_back(Subscription{wake_fd, epoch});
  watched_in_epoch_.store(epoch + 1, std::memory_order_release);
  // A watch of a closed queue has nothing to wait for.
  if (closed_) wake_all_locked();
}

void ChangeNotifier::unsubscribe(int wake_fd) {
  const uint64_t epoch = current_fork_epoch();
  std::lock_guard lock(mutex_);
  std::erase_if(subscriptions_, [&](const Subscription& s) { return s.wake_fd == wake_fd && s.fork_epoch == epoch; });
  const bool watched = std::any_of(subscriptions_.begin(), subscriptions_.end(),
                                   [&](const Subscription& s) { return s.fork_epoch == epoch; });
  watched_in_epoch_.store(watched ? epoch + 1 : 0, std::memory_order_release);
}

void ChangeNotifier::wake_all_locked() {
  const uint64_t epoch = current_fork_epoch();
  const uint64_t one = 1;
  // An eventfd adds what is written to its counter; it cannot fill up in
  // any life of a process, and a watch that is already woken needs no more.
  for (const Subscription& s : subscriptions_) {
    if (s.fork_epoch == epoch) (void)system_calls().write(s.wake_fd, &one, sizeof one);
  }
}

ChangeWatch ChangeWatch::arm(const base::Directory* directory, std::shared_ptr<ChangeNotifier> notifier) {
  ChangeWatch watch(std::move(notifier));
  watch.wake_fd_ = system_calls().eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (watch.wake_fd_ >= 0) watch.notifier_->subscribe(watch.wake_fd_);
  if (directory != nullptr) watch.watch_directory(*directory);
  watch.polling_ = watch.wake_fd_ < 0 || (directory != nullptr && watch.watch_ < 0);
  return watch;
}

void ChangeWatch::watch_directory(const base::Directory& directory) {
  inotify_fd_ = InotifyPool::instance().take();
  if (inotify_fd_ < 0) return;
  // The held directory, whatever became of the name it was opened by.
  const std::string path = "/proc/self/fd/" + std::to_string(directory.fd());
  watch_ = system_calls().inotify_add_watch(inotify_fd_, path.c_str(), kDirectoryEvents);
  if (watch_ < 0) {
    InotifyPool::instance().give_back(inotify_fd_);
    inotify_fd_ = -1;
    return;
  }
  // A pooled instance may still hold events of its previous watch.
  (void)drain_directory_events();
}

ChangeWatch::ChangeWatch(ChangeWatch&& other) noexcept
    : notifier_(std::move(other.notifier_)),
      wake_fd_(std::exchange(other.wake_fd_, -1)),
      inotify_fd_(std::exchange(other.inotify_fd_, -1)),
      watch_(std::exchange(other.watch_, -1)),
      epoll_fd_(std::exchange(other.epoll_fd_, -1)),
      polling_(other.polling_) {}

ChangeWatch::~ChangeWatch() {
  // First, so that the pooled instance goes back with no set holding it.
  if (epoll_fd_ >= 0) (void)system_calls().close(epoll_fd_);
  if (inotify_fd_ >= 0) {
    if (watch_ >= 0) (void)system_calls().inotify_rm_watch(inotify_fd_, watch_);
    InotifyPool::instance().give_back(inotify_fd_);
  }
  if (wake_fd_ >= 0) {
    notifier_->unsubscribe(wake_fd_);
    (void)system_calls().close(wake_fd_);
  }
}

bool ChangeWatch::discard_pending() { return drain(); }

int ChangeWatch::descriptor() {
  if (epoll_fd_ >= 0) return epoll_fd_;
  const int epoll_fd = system_calls().epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) return -1;
  // Level-triggered: the set stays readable while anything is unread.
  for (const int fd : {wake_fd_, inotify_fd_}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (fd >= 0 && system_calls().epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
      const int error = errno;
      (void)system_calls().close(epoll_fd);
      errno = error;
      return -1;
    }
  }
  epoll_fd_ = epoll_fd;
  return epoll_fd_;
}

bool ChangeWatch::drain() {
  bool changed = false;
  uint64_t count = 0;
  if (wake_fd_ >= 0 && system_calls().read(wake_fd_, &count, sizeof count) > 0) changed = true;
  if (inotify_fd_ >= 0 && drain_directory_events()) changed = true;
  return changed;
}

bool ChangeWatch::drain_directory_events() {
  bool changed = false;
  alignas(inotify_event) char buffer[4096];
  while (true) {
    const ssize_t got = system_calls().read(inotify_fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return changed;  // EAGAIN: nothing more for now
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      // Events were lost: any of them may have been a write to the log.
      if ((event->mask & IN_Q_OVERFLOW) != 0) changed = true;
      if (event->wd != watch_) continue;  // left by an earlier watch of a pooled instance
      if ((event->mask & IN_IGNORED) != 0) {
        // The directory is gone (removed, or its file system unmounted), and
        // its watch with it: look again from time to time instead.
        watch_ = -1;
        polling_ = true;
        changed = true;
      } else if (event->len > 0 && std::strcmp(event->name, logfile::kLogName) == 0) {
        changed = true;
      }
    }
  }
}

WaitEnd ChangeWatch::wait(uint64_t timeout_ms, const sigset_t* unblocked_signals) {
  pollfd fds[2];
  nfds_t count = 0;
  if (wake_fd_ >= 0) fds[count++] = pollfd{wake_fd_, POLLIN, 0};
  if (watch_ >= 0) fds[count++] = pollfd{inotify_fd_, POLLIN, 0};
  const uint64_t started = monotonic_ms();
  while (true) {
    const uint64_t elapsed = monotonic_ms() - started;
    if (elapsed >= timeout_ms) return WaitEnd::kTimedOut;
    uint64_t sleep_ms = std::min(timeout_ms - elapsed, kLongestSleepMs);
    if (polling_) sleep_ms = std::min(sleep_ms, kPollIntervalMs);
    const timespec sleep{static_cast<time_t>(sleep_ms / 1000), static_cast<long>(sleep_ms % 1000) * 1000000L};
    const int ready = system_calls().ppoll(fds, count, &sleep, unblocked_signals);
    if (ready < 0 && errno == EINTR) return WaitEnd::kInterrupted;
    if (ready < 0) {
      // Nothing the watch can mend (no memory for the poll table): wait
      // as a watch without inotify would, rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(sleep_ms, kPollIntervalMs)));
      return WaitEnd::kChanged;
    }
    if (ready > 0 && drain()) return WaitEnd::kChanged;
    // Polling, a slice that passed is a time to look again.
    if (ready == 0 && polling_ && monotonic_ms() - started < timeout_ms) return WaitEnd::kChanged;
  }
}

}  // namespace tollivane
