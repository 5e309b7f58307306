// The append path: every state change of a persistent queue is a frame
// handed to the operating system before it is applied, and fsynced by the
// sync policy.
#include <string>

#include "queue/queue.h"

namespace tollivane {

Status Queue::commit(const logfile::RecordView& record, bool defer_sync) {
  const uint64_t frame_offset = inner_.tail_offset;
  if (persistent_) {
    if (Status appended = append_record(record); !appended.ok()) return appended;
  }
  inner_.state.apply(record, frame_offset, /*keep_body=*/!persistent_);
  changes_->notify();
  // The record is applied before the sync decision: once its frame is in the
  // file, other processes and the next open will replay it, so this object
  // must hold it too, even if the sync then fails and the caller sees an
  // error. Otherwise the next enqueue would hand out the same id again.
  if (defer_sync) return Status();
  return maybe_sync(/*force=*/false);
}

Status Queue::append_record(const logfile::RecordView& record) {
  if (inner_.write_failure) return *inner_.write_failure;
  // Encoded straight into the writer's buffer, which is empty between calls.
  const uint64_t frame_len = inner_.writer->append_frame(record);
  if (Status written = write_buffered(inner_.tail_offset); !written.ok()) return written;
  inner_.tail_offset += frame_len;
  inner_.log_bytes += frame_len;
  return Status();
}

Status Queue::commit_batch(const std::vector<logfile::RecordView>& records) {
  const uint64_t batch_start = inner_.tail_offset;
  if (persistent_ && !records.empty()) {
    if (inner_.write_failure) return *inner_.write_failure;
    // All frames go out in one write (a very large batch in a few), and
    // nothing is applied until every one of them is in the file: a failed
    // write is cut back to the batch's start, so the log and the state both
    // hold none of the batch rather than some prefix of it.
    logfile::LogWriter& writer = *inner_.writer;
    uint64_t batch_len = 0;
    for (const logfile::RecordView& record : records) {
      batch_len += writer.append_frame(record);
      if (writer.buffered_len() >= kBatchWriteLen) {
        if (Status written = write_buffered(batch_start); !written.ok()) return written;
      }
    }
    if (Status written = write_buffered(batch_start); !written.ok()) return written;
    inner_.tail_offset += batch_len;
    inner_.log_bytes += batch_len;
  }
  uint64_t frame_offset = batch_start;
  for (const logfile::RecordView& record : records) {
    const uint64_t frame_len = persistent_ ? logfile::frame_len_of(record) : 0;
    inner_.state.apply(record, frame_offset, /*keep_body=*/!persistent_);
    frame_offset += frame_len;
  }
  if (!records.empty()) changes_->notify();
  return Status();
}

Status Queue::write_buffered(uint64_t undo_offset) {
  logfile::LogWriter& writer = *inner_.writer;
  Status written = writer.flush();
  if (written.ok()) return written;
  // Part of what was written may be in the file. Cut it off, so that the
  // next append cannot land behind a torn frame (where recovery would cut
  // the good frame with it). The writer has already dropped its buffer.
  if (Status cut = writer.file().truncate(undo_offset); !cut.ok()) {
    inner_.write_failure = IoError::custom(
        ErrorKind::kOther, "a failed append to queue.log could not be undone (" + cut.error().message() +
                               "); reopen the queue before writing again");
  }
  return written;
}

Status Queue::maybe_sync(bool force) {
  if (!persistent_) return Status();
  if (!force && config_.sync_interval_ms != 0) {
    const uint64_t now = this->now();
    // A clock that went backwards counts as no time elapsed.
    const uint64_t elapsed = now > inner_.last_sync_ms ? now - inner_.last_sync_ms : 0;
    if (elapsed < config_.sync_interval_ms) return Status();
    if (Status synced = sync_log(); !synced.ok()) return synced;
    inner_.last_sync_ms = now;
    return Status();
  }
  if (Status synced = sync_log(); !synced.ok()) return synced;
  inner_.last_sync_ms = this->now();
  return Status();
}

Status Queue::sync_log() {
  if (inner_.write_failure) return *inner_.write_failure;
  logfile::LogWriter& writer = *inner_.writer;
  if (Status flushed = writer.flush(); !flushed.ok()) return flushed;
  if (Status synced = writer.file().sync(); !synced.ok()) {
    inner_.write_failure = IoError::custom(
        ErrorKind::kOther, "fsync of queue.log failed (" + synced.error().message() +
                               "); what was written since the last good sync may be lost, so this queue "
                               "object refuses to write until it is reopened");
    return synced;
  }
  return Status();
}

Status QueueCall::flush() { return queue_->maybe_sync(/*force=*/true); }

Status Queue::flush_on_close() {
  if (!persistent_ || inner_.write_failure) return Status();
  return sync_log();
}

}  // namespace tollivane
