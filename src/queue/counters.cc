// The counting calls. available() and stats() sweep expired leases first so
// that they report what a dequeue would see now; in_flight() does not, and so
// never writes.
#include "queue/queue.h"

namespace tollivane {

Result<uint64_t> Queue::available() {
  if (Status swept = reclaim_expired(now()); !swept.ok()) return swept;
  return inner_.state.ready_count();
}

uint64_t Queue::in_flight() const { return inner_.state.in_flight_count(); }

Result<QueueStats> Queue::stats() {
  if (Status swept = reclaim_expired(now()); !swept.ok()) return swept;
  const QueueState& state = inner_.state;
  QueueStats stats;
  stats.ready = state.ready_count();
  stats.in_flight = state.in_flight_count();
  stats.total = state.message_count();
  stats.counters = state.counters();
  stats.log_bytes = inner_.log_bytes;
  stats.generation = inner_.generation;
  stats.persistent = persistent_;
  return stats;
}

}  // namespace tollivane
