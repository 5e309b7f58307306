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
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tollivane::binding {

class ObjectMutex {
 public:
  bool try_lock();
  // Blocks; the caller has released the interpreter lock.
  void lock();
  void unlock();
  bool held_by_current_thread() const;

 private:
  std::mutex mutex_;
  // Written only by the holder, so a thread that reads its own id here is
  // certain to hold the mutex.
  std::atomic<std::thread::id> owner_{};
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
