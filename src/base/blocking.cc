#include "base/blocking.h"

namespace tollivane::base {
namespace {

// Per thread: the hooks of the call in progress, and whether a region of it
// has released the caller's lock (regions nest; only the outermost releases).
thread_local BlockingHooks* t_hooks = nullptr;
thread_local bool t_released = false;

}  // namespace

BlockingHooksScope::BlockingHooksScope(BlockingHooks* hooks)
    : previous_hooks_(t_hooks), previous_released_(t_released) {
  t_hooks = hooks;
  t_released = false;
}

BlockingHooksScope::~BlockingHooksScope() {
  t_hooks = previous_hooks_;
  t_released = previous_released_;
}

BlockingRegion::BlockingRegion() {
  if (t_hooks == nullptr || t_released) return;
  t_hooks->release();
  t_released = true;
  released_here_ = true;
}

BlockingRegion::~BlockingRegion() {
  if (!released_here_) return;
  t_released = false;
  t_hooks->resume();
}

bool BlockingRegion::interrupted() {
  if (t_hooks == nullptr || !t_released) return false;
  t_hooks->resume();
  const bool interrupted = t_hooks->interrupted();
  t_hooks->release();
  return interrupted;
}

}  // namespace tollivane::base
