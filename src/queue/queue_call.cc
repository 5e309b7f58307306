// The operations of a call, each the queue's own once the call has entered.
#include "queue/queue.h"

namespace tollivane {

Result<uint64_t> QueueCall::enqueue(std::span<const uint8_t> body) { return queue_->enqueue(body); }
Result<std::vector<uint64_t>> QueueCall::enqueue_batch(std::span<const std::span<const uint8_t>> bodies) {
  return queue_->enqueue_batch(bodies);
}
Result<bool> QueueCall::dequeue(std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  return queue_->dequeue(lease_ms, sink);
}
Result<uint64_t> QueueCall::dequeue_batch(uint64_t max, std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  return queue_->dequeue_batch(max, lease_ms, sink);
}
Status QueueCall::reclaim_expired(uint64_t now) { return queue_->reclaim_expired(now); }
Result<bool> QueueCall::ack(uint64_t seq) { return queue_->ack(seq); }
Result<uint64_t> QueueCall::ack_batch(const std::vector<uint64_t>& seqs) { return queue_->ack_batch(seqs); }
Result<bool> QueueCall::nack(uint64_t seq, bool requeue) { return queue_->nack(seq, requeue); }
Result<bool> QueueCall::extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms) {
  return queue_->extend_lease(seq, lease_ms);
}
Result<uint64_t> QueueCall::available() { return queue_->available(); }
uint64_t QueueCall::in_flight() const { return queue_->in_flight(); }
Result<QueueStats> QueueCall::stats() { return queue_->stats(); }
Status QueueCall::flush() { return queue_->flush(); }
Status QueueCall::compact() { return queue_->compact(); }
Status QueueCall::purge() { return queue_->purge(); }
Result<IntegrityReport> QueueCall::verify_integrity() { return queue_->verify_integrity(); }

}  // namespace tollivane
