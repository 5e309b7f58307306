// How a consumer that found nothing to lease waits until the queue may have
// changed, holding none of the queue's locks and using no CPU meanwhile.
//
// What can make a message ready for it: a record that another object or
// process writes to queue.log (an enqueue, a requeue, or a lease that brings
// the earliest deadline forward), possibly into a new queue.log that a
// compaction or purge renamed into place; a commit by another thread on the
// same object, which is all a queue without a log has; and a lease running
// out, which writes nothing. The first is seen through inotify on the queue
// directory, which names the file of every write in it, so one watch follows
// every replacement of the log; the second through the object's
// ChangeNotifier, which its commits signal (and its closing, which ends
// every wait); the third the waiter times itself, from the earliest deadline
// it knows.
//
// A watch is armed under the locks of the call whose attempt leased
// nothing, before they are released: no record can be written between that
// attempt and the arming, and every one after it is reported. Before each
// further wait the caller discards, again under the locks of an attempt,
// what that attempt has already looked at.
//
// Where inotify is not available (no /proc, the per-user limit of inotify
// instances or watches reached, a kernel without it) the watch falls back
// to looking again every kPollIntervalMs: at most 20 wake-ups a second.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/directory.h"
#include "base/fork_epoch.h"

namespace tollivane {

inline constexpr uint64_t kPollIntervalMs = 50;

// Tells the watches of one queue object that a commit of that object changed
// the queue, or that the object is being closed.
//
// A watch sleeps in ppoll() on an eventfd of its own rather than on a
// condition variable, because one sleep must cover inotify, this notifier
// and signals: Ctrl-C has to end the wait, and a signal does not interrupt
// a wait on a condition variable.
class ChangeNotifier {
 public:
  ChangeNotifier() = default;
  ChangeNotifier(const ChangeNotifier&) = delete;
  ChangeNotifier& operator=(const ChangeNotifier&) = delete;

  // Wakes every watch subscribed now; one atomic load when there is none.
  void notify();
  // Wakes every watch, and from now on each new one at once.
  void close();

 private:
  friend class ChangeWatch;
  void subscribe(int wake_fd);
  void unsubscribe(int wake_fd);
  void wake_all_locked();
  // In a child of fork(), before its first subscription or the close.
  void forget_parent_after_fork();

  // A subscription made before a fork() belongs to a thread of the parent,
  // which a child does not have, and its descriptor may since have been
  // closed in the child and its number reused for another file: the child
  // must never write to it.
  struct Subscription {
    int wake_fd;
    uint64_t fork_epoch;
  };

  std::mutex mutex_;
  std::vector<Subscription> subscriptions_;
  // The fork epoch of the subscriptions plus one, or 0 when there are none
  // of this process; read by notify() without the mutex. A watch subscribes
  // under the queue object's mutex, which every commit holds too, so a
  // commit made after a subscription always sees it.
  std::atomic<uint64_t> watched_in_epoch_{0};
  bool closed_ = false;
  // The fork epoch whose threads may use the mutex and the subscriptions.
  uint64_t used_in_epoch_ = base::current_fork_epoch();
};

enum class WaitEnd : uint8_t {
  kChanged,      // the queue may have changed (or was closed): look again
  kTimedOut,     // the time given passed without a change
  kInterrupted,  // a signal arrived
};

class ChangeWatch {
 public:
  // Watches the queue directory `directory` holds (null for a queue without
  // a log) and `notifier`. Cannot fail: without inotify it polls.
  static ChangeWatch arm(const base::Directory* directory, std::shared_ptr<ChangeNotifier> notifier);

  ChangeWatch(ChangeWatch&& other) noexcept;
  ChangeWatch& operator=(ChangeWatch&&) = delete;
  ChangeWatch(const ChangeWatch&) = delete;
  ~ChangeWatch();

  // Forgets the changes reported so far, which an attempt made under the
  // locks held now has looked at. Returns whether any of them may matter.
  bool discard_pending();
  // Waits until a change, the end of `timeout_ms`, or a signal. During the
  // wait the thread's signal mask is `unblocked_signals` when given, so that
  // a caller may block signals before it last looks for a pending one and
  // still be interrupted by any that arrives after. Touches nothing of the
  // queue, which may be closed meanwhile.
  WaitEnd wait(uint64_t timeout_ms, const sigset_t* unblocked_signals);
  bool polling() const { return polling_; }
  // For a caller that sleeps in an event loop of its own instead of in
  // wait(): one descriptor that becomes readable at every change wait()
  // would end for (an epoll set of the watch's descriptors, made at the
  // first call and kept), or -1 with errno set. It stays readable until
  // discard_pending() is called. While polling() the caller must also look
  // again every kPollIntervalMs, which the descriptor does not tell.
  int descriptor();

 private:
  explicit ChangeWatch(std::shared_ptr<ChangeNotifier> notifier) : notifier_(std::move(notifier)) {}
  void watch_directory(const base::Directory& directory);
  // Reads what has arrived, without waiting; whether any of it may matter.
  bool drain();
  bool drain_directory_events();

  std::shared_ptr<ChangeNotifier> notifier_;
  int wake_fd_ = -1;     // the eventfd the notifier writes to
  int inotify_fd_ = -1;  // an instance of the pool, or -1
  int watch_ = -1;       // the directory's watch in it
  int epoll_fd_ = -1;    // the set descriptor() hands out, or -1
  bool polling_ = false;
};

}  // namespace tollivane
