#include "binding/waiting.h"

#include <signal.h>

#include <algorithm>
#include <cassert>
#include <limits>

#include "queue/clock.h"

namespace tollivane::binding {
namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

}  // namespace

ConsumerWait::ConsumerWait(uint64_t timeout_ms) : give_up_at_ms_(saturating_add(monotonic_ms(), timeout_ms)) {}

bool ConsumerWait::time_left() const { return monotonic_ms() < give_up_at_ms_; }

void ConsumerWait::prepare(QueueCall& call) {
  if (!time_left()) return;
  if (watch_) {
    (void)watch_->discard_pending();
  } else {
    watch_.emplace(call.watch_changes());
  }
  // At least a millisecond: the wall clock that deadlines follow may lag the
  // monotonic one a little, and a lease not yet over must not make a spin.
  const std::optional<uint64_t> expiry_ms = call.ms_to_next_lease_expiry();
  lease_expiry_at_ms_.reset();
  if (expiry_ms) lease_expiry_at_ms_ = saturating_add(monotonic_ms(), std::max<uint64_t>(*expiry_ms, 1));
}

bool ConsumerWait::wait() {
  assert(watch_ && "prepare() arms the watch before the first wait");
  const uint64_t wake_at = std::min(give_up_at_ms_, lease_expiry_at_ms_.value_or(give_up_at_ms_));
  const uint64_t now = monotonic_ms();
  const uint64_t timeout_ms = wake_at > now ? wake_at - now : 0;
  // Every signal is blocked before the last look for a pending one, and
  // ppoll() unblocks them only as it starts to sleep. One that arrives in
  // between stays pending and cuts the sleep short at once; without the
  // block, the handler could run just before the sleep and leave Ctrl-C
  // unanswered until the wait ends. (Python runs handlers in the main
  // thread only, so a wait in another thread just sleeps on.)
  sigset_t everything;
  sigset_t caller_mask;
  sigfillset(&everything);
  pthread_sigmask(SIG_BLOCK, &everything, &caller_mask);
  bool raised = PyErr_CheckSignals() != 0;
  if (!raised) {
    ChangeWatch& watch = *watch_;
    Py_BEGIN_ALLOW_THREADS
    (void)watch.wait(timeout_ms, &caller_mask);
    Py_END_ALLOW_THREADS
  }
  pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
  return !raised && PyErr_CheckSignals() == 0;
}

}  // namespace tollivane::binding
