// The frame every method call runs in.
//
//   1. arguments are converted by the caller, before anything is locked;
//   2. the object's mutex is taken (see object_mutex.h); a closed object
//      refuses the call here with ValueError;
//   3. the queue enters the call: process lock and catch-up for a
//      persistent queue, nothing for ":memory:";
//   4. `work` runs and may create the Python objects that carry queue data
//      out (bodies, the stats dict), since the data is only valid under the
//      locks;
//   5. the process lock is released, then the mutex, on every path;
//   6. the sync the call owes runs (log_sync.h): after both locks, so that
//      other callers append meanwhile and share the fsync;
//   7. only then is an error raised or the rest of the result built.
//
// Waits in steps 2, 3 and 6, and long work in 3 and 4 that touches no
// Python object, run with the interpreter lock released (interpreter_lock.h),
// so the program's other threads go on. While one thread waits so, another
// may call the same object (it waits for the mutex, with the interpreter
// lock released too) or close() it (likewise: it closes once the call has
// let go of the mutex, and the sync of step 6 holds the log file, not the
// object). No path waits for the mutex while holding the interpreter lock,
// and Python objects are made only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>
#include <variant>

#include "binding/core_type.h"
#include "binding/errors.h"
#include "binding/interpreter_lock.h"
#include "queue/queue.h"

namespace tollivane::binding {

inline Result<std::monostate> as_result(Status status) {
  if (!status.ok()) return status.take_error();
  return std::monostate{};
}

// The queue of an object that is still open, or nullptr with ValueError set,
// for the few paths that need no lock (an empty batch, the fixed report of a
// queue without a log). close() may let go of the interpreter lock while it
// syncs under the mutex, so such a path may find the object open while a
// close() is under way: it then only reads the queue's kind, which stays as
// it was until the queue is dropped, with the interpreter lock held.
inline Queue* open_queue(PyObject* self) {
  Queue* queue = core_data(self).queue.get();
  if (queue == nullptr) PendingError::closed_queue().raise();
  return queue;
}

// The object whose calls on this thread may not wait, if any: set by
// TollivaneCore._nowait() for the one call it makes (queue.h, Waits).
inline thread_local const CoreData* t_refusing_waits = nullptr;

class [[nodiscard]] RefusingWaits {
 public:
  explicit RefusingWaits(const CoreData& data) : previous_(std::exchange(t_refusing_waits, &data)) {}
  RefusingWaits(const RefusingWaits&) = delete;
  RefusingWaits& operator=(const RefusingWaits&) = delete;
  ~RefusingWaits() { t_refusing_waits = previous_; }

 private:
  const CoreData* previous_;
};

// `work(QueueCall&)` returns a Result<T>; `build(T&&)` makes the Python result.
template <typename Work, typename Build>
PyObject* run_call(PyObject* self, CatchUp catch_up, Work&& work, Build&& build) {
  CoreData& data = core_data(self);
  using WorkResult = decltype(work(std::declval<QueueCall&>()));
  const Waits waits = t_refusing_waits == &data ? Waits::kRefused : Waits::kAllowed;
  ReleasingInterpreterLock waits_release_it;
  std::optional<WorkResult> result;
  PendingError failure;
  PendingSync owed;
  {
    MutexGuard mutex;
    if (waits == Waits::kRefused) {
      // Held by another thread's call, which may take as long as it likes.
      if (!mutex.try_acquire(data.mutex)) {
        return PendingError::from(IoError::custom(ErrorKind::kWouldWait, "the call would wait: the object is busy"))
            .raise();
      }
      data.after_locking();
    } else if (!data.lock(mutex)) {
      return nullptr;
    }
    if (!data.queue) {
      failure = PendingError::closed_queue();
    } else {
      // Declared after the mutex guard, so released before it.
      Result<QueueCall> call = data.queue->enter_call(catch_up, waits);
      if (call.ok()) {
        result.emplace(work(*call));
        owed = call->leave();
      } else {
        failure = PendingError::from(call.error());
      }
    }
  }
  if (failure) return failure.raise();
  // Completed even when the work failed: what it applied before failing is
  // in the log, and its durability is what the next call will count on.
  Status synced = owed.complete();
  if (!result->ok()) return PendingError::from(result->error()).raise();
  if (!synced.ok()) return PendingError::from(synced.error()).raise();
  return build(std::move(result->value()));
}

}  // namespace tollivane::binding
