// How dequeue_wait and dequeue_batch_wait wait for a message.
//
// Each attempt is a plain dequeue in the usual call frame. When it leases
// nothing and time is left, the same call, still under both locks, arms a
// watch on the queue (queue/change_watch.h) and notes the earliest lease
// deadline. The wait then holds no lock: not the object's mutex, not the
// process lock, not the interpreter lock. It ends at a change, at that
// deadline, at the time-out or at a signal, and the next attempt follows.
// Another consumer may have got there first, so every end is only a reason
// to look again.
//
// A close() from another thread wakes the wait, and the next attempt finds
// the object closed: the waiting call raises ValueError, as any call on a
// closed object does.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "binding/call_frame.h"
#include "binding/py_ref.h"
#include "queue/change_watch.h"
#include "queue/queue.h"

namespace tollivane::binding {

class ConsumerWait {
 public:
  explicit ConsumerWait(uint64_t timeout_ms);

  bool time_left() const;
  // Under the locks of an attempt that leased nothing: arms the watch, or
  // lets it forget what this attempt has covered, and notes when the
  // earliest lease runs out. Nothing once no time is left.
  void prepare(QueueCall& call);
  // Waits with no lock held, the interpreter lock included. Returns false
  // with the exception set when a signal handler raised one (Ctrl-C).
  bool wait();

 private:
  uint64_t give_up_at_ms_;  // monotonic clock
  std::optional<uint64_t> lease_expiry_at_ms_;
  std::optional<ChangeWatch> watch_;
};

// `attempt(QueueCall&, bool retry)` is a dequeue returning a Result of what
// it leased (a bool or a count); `retry` is false for the first attempt,
// which does all the plain call does. `build` makes the Python result of
// that value, once it is not zero or the time is out.
template <typename Attempt, typename Build>
PyObject* run_waiting_call(PyObject* self, uint64_t timeout_ms, Attempt&& attempt, Build&& build) {
  using Leased = std::remove_cvref_t<decltype(attempt(std::declval<QueueCall&>(), false).value())>;
  ConsumerWait waiting(timeout_ms);
  for (bool retry = false;; retry = true) {
    std::optional<Leased> leased;
    OwnedRef attempted = OwnedRef::steal(run_call(
        self, CatchUp::kRun,
        [&](QueueCall& call) {
          auto result = attempt(call, retry);
          if (result.ok() && !result.value()) waiting.prepare(call);
          return result;
        },
        [&](Leased value) {
          leased.emplace(value);
          Py_RETURN_NONE;
        }));
    if (!attempted) return nullptr;
    if (*leased || !waiting.time_left()) return build(*leased);
    if (t_refusing_waits == &core_data(self)) {
      return PendingError::from(IoError::custom(ErrorKind::kWouldWait, "the call would wait for a message")).raise();
    }
    if (!waiting.wait()) return nullptr;
  }
}

}  // namespace tollivane::binding
