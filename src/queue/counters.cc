// The counting calls. available(), stats() and oldest_ready_ts_ms() sweep
// expired leases first so that they report what a dequeue would see now;
// in_flight() does not, and so never writes.
#include "queue/queue.h"

namespace tollivane {

Result<uint64_t> QueueCall::available() {
  if (Status swept = queue_->reclaim_expired(queue_->now()); !swept.ok()) return swept;
  return queue_->inner_.state.ready_count();
}

Result<std::optional<uint64_t>> QueueCall::oldest_ready_ts_ms() {
  if (Status swept = queue_->reclaim_expired(queue_->now()); !swept.ok()) return swept;
  return queue_->inner_.state.oldest_ready_ts_ms();
}

uint64_t QueueCall::in_flight() const { return queue_->inner_.state.in_flight_count(); }
uint64_t QueueCall::scheduled() const { return queue_->inner_.state.scheduled_count(); }
uint64_t QueueCall::buried() const { return queue_->inner_.state.buried_count(); }

Result<QueueStats> QueueCall::stats() {
  if (Status swept = queue_->reclaim_expired(queue_->now()); !swept.ok()) return swept;
  const QueueState& state = queue_->inner_.state;
  QueueStats stats;
  stats.ready = state.ready_count();
  stats.in_flight = state.in_flight_count();
  stats.total = state.message_count();
  stats.counters = state.counters();
  stats.log_bytes = queue_->inner_.log_bytes;
  stats.generation = queue_->inner_.generation;
  stats.persistent = queue_->persistent_;
  return stats;
}

}  // namespace tollivane
