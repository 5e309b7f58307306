// Compaction: rewrites the log with only what rebuilds the current state.
// The new file carries the next generation, which tells every other object
// to reload at its next call.
#include <algorithm>
#include <cassert>
#include <optional>
#include <vector>

#include "logfile/format.h"
#include "logfile/log_writer.h"
#include "queue/queue.h"

namespace tollivane {
namespace {

// Readers derive next_seq from the largest id they see. When the newest
// messages are gone, a compacted log carries a settled placeholder of the
// last id handed out, so that no reader hands the same id out again (a late
// ack of the old message would otherwise delete the new one).
bool newest_id_gone(const QueueState& state) {
  const uint64_t next_seq = state.counters().next_seq;
  return next_seq > 0 && state.find(next_seq - 1) == nullptr;
}

// The length of the log do_compact writes for `state`: the header, each live
// message's Enqueue frame (live_bytes), a Requeue frame for each one
// delivered before, a Lease frame for each one held (in flight, scheduled or
// buried), and the placeholder.
uint64_t compacted_len(const QueueState& state) {
  constexpr uint64_t requeue_len = logfile::kFrameHeaderLen + logfile::kRequeuePayloadLen;
  constexpr uint64_t lease_len = logfile::kFrameHeaderLen + logfile::kLeasePayloadLen;
  constexpr uint64_t placeholder_len =
      logfile::kEnqueueFrameOverhead + logfile::kFrameHeaderLen + logfile::kAckPayloadLen;
  return logfile::kFileHeaderLen + state.counters().live_bytes + requeue_len * state.delivered_count() +
         lease_len * state.held_count() + (newest_id_gone(state) ? placeholder_len : 0);
}

}  // namespace

Status QueueCall::compact() {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  return queue_->do_compact();
}

bool Queue::should_auto_compact() const {
  if (!persistent_ || config_.auto_compact_bytes == 0) return false;
  if (inner_.log_bytes < config_.auto_compact_bytes) return false;
  // More than half of the log must be what a compaction would drop. That is
  // measured against the log a compaction would write, not against
  // live_bytes: a leased message carries a Requeue and a Lease frame besides
  // its Enqueue, and with small bodies a freshly compacted log is more than
  // twice live_bytes, so every following ack would rewrite it again. With
  // this measure the rule stays quiet until the log has grown to twice what
  // a compaction would write, and every process, one that has just reloaded
  // the compacted log included, reaches the same answer from the same state
  // and log length. The first test keeps the doubling from wrapping.
  const uint64_t compacted = compacted_len(inner_.state);
  return compacted < (uint64_t{1} << 63) && 2 * compacted < inner_.log_bytes;
}

Status Queue::after_removal() {
  // A call that may not wait leaves it to the next removal: it entered
  // only well below the size from which one compacts.
  if (inner_.refusing_waits || !should_auto_compact()) return Status();
  return do_compact();
}

Status Queue::do_compact() {
  if (!persistent_) return Status();
  std::vector<LiveMessage> live;
  live.reserve(static_cast<size_t>(inner_.state.message_count()));
  inner_.state.for_each_message([&](uint64_t seq, const MessageEntry& entry, std::optional<uint64_t> deadline_ms) {
    live.push_back(LiveMessage{seq, &entry, deadline_ms});
  });
  std::vector<MovedBody> moved;
  moved.reserve(live.size());
  Status replaced = replace_log(logfile::kCompactTempName, [&](logfile::LogWriter& writer) {
    return write_live_messages(live, writer, moved);
  });
  if (!replaced.ok()) return replaced;
  for (const MovedBody& body : moved) inner_.state.set_body_offset(body.seq, body.body_offset);
  return Status();
}

Status Queue::write_live_messages(const std::vector<LiveMessage>& live, logfile::LogWriter& writer,
                                  std::vector<MovedBody>& moved) {
  uint64_t position = logfile::kFileHeaderLen;
  std::vector<uint8_t>& scratch = inner_.frame_scratch;
  // Frames are built from views: a body goes from the map into the frame
  // without a copy of its own.
  auto write = [&](const logfile::RecordView& record) {
    scratch.clear();
    position += logfile::append_record_frame(record, scratch);
    return writer.write(scratch);
  };
  for (const LiveMessage& message : live) {
    const MessageEntry& entry = *message.entry;
    // One body at a time, straight from the map into its frame. The next
    // body read may remap, so the frame is written before it.
    Result<std::span<const uint8_t>> body = this->body(message.seq, entry);
    if (!body.ok()) return body.take_error();
    moved.push_back(MovedBody{message.seq, position + logfile::kEnqueueFrameOverhead});
    if (Status written = write(logfile::EnqueueView{message.seq, entry.enqueued_ts_ms, *body}); !written.ok()) {
      return written;
    }
    if (entry.deliveries != 0) {
      if (Status written = write(logfile::Requeue{message.seq, entry.deliveries}); !written.ok()) return written;
    }
    if (message.deadline_ms) {
      if (Status written = write(logfile::Lease{message.seq, *message.deadline_ms, entry.deliveries}); !written.ok()) {
        return written;
      }
    }
  }
  if (newest_id_gone(inner_.state)) {
    const uint64_t last_id = inner_.state.counters().next_seq - 1;
    if (Status written = write(logfile::EnqueueView{last_id, 0, {}}); !written.ok()) return written;
    if (Status written = write(logfile::Ack{last_id}); !written.ok()) return written;
  }
  // The automatic rule reckons with this length without writing the log.
  assert(position == compacted_len(inner_.state));
  return Status();
}

}  // namespace tollivane
