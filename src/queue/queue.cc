#include "queue/queue.h"

namespace tollivane {

Queue::Queue(const QueueConfig& config, bool persistent) : config_(config), persistent_(persistent) {}

Queue::~Queue() { changes_->close(); }

Result<std::unique_ptr<Queue>> Queue::open(std::string_view path, const QueueConfig& config) {
  // The comparison is exact: "dir/:memory:" is a directory like any other.
  if (path == kMemoryPath) {
    return std::unique_ptr<Queue>(new Queue(config, false));
  }
  return open_persistent(std::string(path), config);
}

Result<std::span<const uint8_t>> Queue::body(uint64_t seq, const MessageEntry& entry) {
  if (!persistent_) return inner_.state.memory_body(seq).value_or(std::span<const uint8_t>());
  return inner_.map.read(directory_, entry.body_offset, entry.body_len);
}

}  // namespace tollivane
