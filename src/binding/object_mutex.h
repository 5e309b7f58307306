// The mutex that guards one queue object, and how a Python thread takes it.
//
// Building Python objects under the mutex (result bytes, the stats dict) can
// run the garbage collector, and with it arbitrary finalizers, during which
// the interpreter may switch threads. A second thread that then blocked on
// the mutex while holding the interpreter lock would never let the holder
// finish. So the mutex is taken without waiting when it is free (the usual
// case, no system call and no interpreter lock traffic); only when it is
// held does the caller wait, with the interpreter lock released. A call that
// re-enters the same object from the thread that already holds its mutex
// (a finalizer calling back into the queue) can never succeed: it raises
// RuntimeError instead of deadlocking on itself.
//
// A child of fork() has only the thread that forked. A mutex that another
// thread of the parent held at the fork would stay held in the child for
// ever, by a thread that is not there to release it, and every call on the
// inherited object would wait on it. So every mutex is known to the fork
// handlers, and in the child each one held by a thread other than the
// forking one is made free again, and marked: the call it guarded stopped
// half-done, and whatever it guarded must be treated as unreliable by the
// next thread that takes it (take_cut_by_fork()).
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tollivane::binding {

class ObjectMutex {
 public:
  ObjectMutex();
  ~ObjectMutex();
  ObjectMutex(const ObjectMutex&) = delete;
  ObjectMutex& operator=(const ObjectMutex&) = delete;

  bool try_lock();
  // Blocks; the caller has released the interpreter lock.
  void lock();
  void unlock();
  bool held_by_current_thread() const;

  // For the thread that holds the mutex: whether a fork() found another
  // thread inside it since it was last asked. Asked once, it answers false.
  bool take_cut_by_fork();

 private:
  friend struct ForkHandlers;
  // In a child of fork(), before it has a second thread.
  void free_if_held_by_another_thread();

  std::mutex mutex_;
  // Written only by the holder, so a thread that reads its own id here is
  // certain to hold the mutex.
  std::atomic<std::thread::id> owner_{};
  bool cut_by_fork_ = false;
  // Every ObjectMutex of the process, in a list the fork handlers walk.
  ObjectMutex* previous_ = nullptr;
  ObjectMutex* next_ = nullptr;
};

// Holds an ObjectMutex for one call and releases it when the call ends.
class [[nodiscard]] MutexGuard {
 public:
  MutexGuard() = default;
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;
  ~MutexGuard() {
    if (mutex_ != nullptr) mutex_->unlock();
  }

  // Takes `mutex` as described above. Returns false with RuntimeError set
  // for a re-entrant call; nothing is held then.
  bool acquire(ObjectMutex& mutex);
  // Takes `mutex` only if it is free; false (nothing set) otherwise.
  bool try_acquire(ObjectMutex& mutex);

 private:
  ObjectMutex* mutex_ = nullptr;
};

}  // namespace tollivane::binding
