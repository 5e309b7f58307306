// Calls on a queue as the binding makes them: enter the call (the process
// lock and, unless skipped, catch-up), run the operation on the QueueCall,
// and finish the call (the lock let go, then the sync it owes) before
// looking at the result.
#pragma once

#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "queue/queue.h"

namespace tollivane::test_support {

// `work(QueueCall&)` returns a Status or a Result<T>; a failure to enter
// the call, or of the sync it owes, is returned in its place.
template <typename Work>
auto in_call(Queue& queue, Work&& work, CatchUp catch_up = CatchUp::kRun)
    -> decltype(work(std::declval<QueueCall&>())) {
  Result<QueueCall> call = queue.enter_call(catch_up);
  if (!call.ok()) return call.take_error();
  auto result = work(*call);
  Status synced = call->leave().complete();
  if (!result.ok() || synced.ok()) return result;
  return synced.take_error();
}

// Views of `bodies`, as enqueue_batch takes them; valid while `bodies` is.
inline std::vector<std::span<const uint8_t>> views_of(const std::vector<std::vector<uint8_t>>& bodies) {
  return {bodies.begin(), bodies.end()};
}

}  // namespace tollivane::test_support
