// The counting calls. available() and stats() sweep expired leases first so
// that they report what a dequeue would see now; in_flight() does not, and so
// never writes.
#include "queue/queue.h"

namespace tollivane {

Result<uint64_t> Queue::available() {
  if (Status swept = reclaim_expired(now()); !swept.ok()) return swept;
  return static_cast<uint64_t>(inner_.state.ready().size());
}

uint64_t Queue::in_flight() const { return static_cast<uint64_t>(inner_.state.in_flight().size()); }

Result<QueueStats> Queue::stats() {
  if (Status swept = reclaim_expired(now()); !swept.ok()) return swept;
  const QueueState& state = inner_.state;
  QueueStats stats;
  stats.ready = state.ready().size();
  stats.in_flight = state.in_flight().size();
  stats.total = state.messages().size();
  stats.counters = state.counters();
  stats.log_bytes = inner_.log_bytes;
  stats.generation = inner_.generation;
  stats.persistent = persistent_;
  return stats;
}

}  // namespace tollivane
