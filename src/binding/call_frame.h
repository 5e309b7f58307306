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
//   6. only then is an error raised or the rest of the result built.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>
#include <variant>

#include "binding/core_type.h"
#include "binding/errors.h"
#include "queue/queue.h"

namespace tollivane::binding {

inline Result<std::monostate> as_result(Status status) {
  if (!status.ok()) return status.take_error();
  return std::monostate{};
}

// The queue of an object that is still open, or nullptr with ValueError set,
// for the few paths that need no lock (an empty batch, the fixed report of a
// queue without a log). close() takes the mutex but never lets go of the
// interpreter lock once it has it, so a caller that holds the interpreter
// lock sees the object either open or closed, never half closed.
inline Queue* open_queue(PyObject* self) {
  Queue* queue = core_data(self).queue.get();
  if (queue == nullptr) PendingError::closed_queue().raise();
  return queue;
}

// `work(QueueCall&)` returns a Result<T>; `build(T&&)` makes the Python result.
template <typename Work, typename Build>
PyObject* run_call(PyObject* self, CatchUp catch_up, Work&& work, Build&& build) {
  CoreData& data = core_data(self);
  using WorkResult = decltype(work(std::declval<QueueCall&>()));
  std::optional<WorkResult> result;
  PendingError failure;
  {
    MutexGuard mutex;
    if (!mutex.acquire(data.mutex)) return nullptr;
    if (!data.queue) {
      failure = PendingError::closed_queue();
    } else {
      // Declared after the mutex guard, so released before it.
      Result<QueueCall> call = data.queue->enter_call(catch_up);
      if (call.ok()) {
        result.emplace(work(*call));
      } else {
        failure = PendingError::from(call.error());
      }
    }
  }
  if (failure) return failure.raise();
  if (!result->ok()) return PendingError::from(result->error()).raise();
  return build(std::move(result->value()));
}

}  // namespace tollivane::binding
