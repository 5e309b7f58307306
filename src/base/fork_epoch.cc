#include "base/fork_epoch.h"

#include <pthread.h>

#include <atomic>

namespace tollivane::base {
namespace {

std::atomic<uint64_t> g_fork_epoch{0};

}  // namespace

uint64_t current_fork_epoch() {
  // Registered at the first use, which comes before any object that asks
  // could have been inherited.
  static const bool registered = [] {
    return pthread_atfork(nullptr, nullptr, [] { g_fork_epoch.fetch_add(1, std::memory_order_relaxed); }) == 0;
  }();
  (void)registered;
  return g_fork_epoch.load(std::memory_order_relaxed);
}

}  // namespace tollivane::base
