// The append path: every state change of a persistent queue is a frame
// handed to the operating system before it is applied, and fsynced by the
// sync policy once the call has let its locks go (log_sync.h).
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "base/fork_epoch.h"
#include "queue/queue.h"

namespace tollivane {

Status Queue::commit(const logfile::RecordView& record, bool defer_sync) {
  const uint64_t frame_offset = inner_.tail_offset;
  if (persistent_) {
    if (Status appended = append_record(record); !appended.ok()) return appended;
  }
  inner_.state.apply(record, frame_offset, /*keep_body=*/!persistent_);
  changes_->notify();
  // The record is applied before the sync: once its frame is in the file,
  // other processes and the next open will replay it, so this object must
  // hold it too, even if the sync then fails and the caller sees an error.
  // Otherwise the next enqueue would hand out the same id again.
  if (defer_sync) return Status();
  return maybe_sync(/*force=*/false);
}

Status Queue::append_record(const logfile::RecordView& record) {
  if (Status refused = writable(); !refused.ok()) return refused;
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
    if (Status refused = writable(); !refused.ok()) return refused;
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

Status Queue::writable() const {
  if (inner_.write_failure) return *inner_.write_failure;
  if (inner_.log_sync) {
    if (std::optional<IoError> failed = inner_.log_sync->failure()) return *failed;
  }
  return Status();
}

Status Queue::maybe_sync(bool force) {
  if (!persistent_) return Status();
  if (Status refused = writable(); !refused.ok()) return refused;
  Inner::OwedSync& owed = inner_.owed_sync;
  if (!force && config_.sync_interval_ms != 0) {
    const uint64_t now = this->now();
    // A clock that went backwards counts as no time elapsed.
    const uint64_t elapsed = now > inner_.last_sync_ms ? now - inner_.last_sync_ms : 0;
    if (elapsed < config_.sync_interval_ms) return Status();
    // The interval ran out while a call that may not wait was under way
    // (it found it not yet out as it entered): the next call decides.
    if (inner_.refusing_waits) return Status();
    // The interval counts from this decision: a failed sync refuses every
    // later write anyway.
    inner_.last_sync_ms = now;
  } else {
    inner_.last_sync_ms = this->now();
  }
  owed.needed = true;
  owed.forced = owed.forced || force || config_.sync_interval_ms != 0;
  return Status();
}

Status Queue::refuse_if_disk_owed() const {
  if (!persistent_) return Status();
  // With an interval of 0 every call may owe an fsync, even one that only
  // reads: it must not return what it read before that is durable.
  bool owed = config_.sync_interval_ms == 0;
  const uint64_t now = this->now();
  owed = owed || (now > inner_.last_sync_ms && now - inner_.last_sync_ms >= config_.sync_interval_ms);
  // Removals compact from a log size on; a call that appends a record or a
  // few comes nowhere near it from below this margin.
  constexpr uint64_t kCompactionMargin = 4096;
  owed = owed || (config_.auto_compact_bytes != 0 &&
                  inner_.log_bytes >= config_.auto_compact_bytes - std::min(config_.auto_compact_bytes, kCompactionMargin));
  if (!owed) return Status();
  return IoError::custom(ErrorKind::kWouldWait, "the call would wait: it may owe an fsync or a compaction");
}

Status Queue::refuse_if_always_waiting() const {
  if (!persistent_ || !inner_.refusing_waits) return Status();
  return IoError::custom(ErrorKind::kWouldWait, "the call would wait: it always waits for the disk");
}

PendingSync Queue::owed_sync() {
  const Inner::OwedSync owed = std::exchange(inner_.owed_sync, Inner::OwedSync{});
  if (!persistent_ || !inner_.log_sync) return PendingSync();
  if (config_.sync_interval_ms != 0) {
    return owed.needed ? PendingSync(inner_.log_sync, inner_.tail_offset, /*force=*/true) : PendingSync();
  }
  // After a failed fsync no fsync of this file can vouch for anything (see
  // LogSync::failure): writes are refused until the queue is reopened, and a
  // call that wrote nothing reads on as it did before the failure.
  if (!owed.needed && inner_.log_sync->failure()) return PendingSync();
  // With an interval of 0 no call returns before everything it depends on
  // is durable, and the sync may run after the process lock is released.
  // The call depends on the log up to tail_offset: its own frames, and the
  // frames of others that it applied while catching up, whether or not it
  // wrote anything itself. Their writer may still be waiting for its own
  // fsync, or have died before it: a call that returned what it read from
  // them (a delivery, a count) must not do so before they are durable. And
  // the order of the log makes the promise whole: everything before
  // tail_offset is below it, so one fsync covering tail_offset covers every
  // record the call could depend on. Another process may thus read a frame
  // that is not yet durable, but cannot return anything that depends on it
  // before an fsync of its own (or of this process) covers it; if the power
  // fails first, the frame and every call that depended on it are gone
  // together, and none of them returned.
  return PendingSync(inner_.log_sync, inner_.tail_offset, owed.forced);
}

PendingSync QueueCall::leave() {
  PendingSync owed = queue_->owed_sync();
  // The lock goes first: the sync needs it no more, and every other caller
  // may append meanwhile (their frames land after this call's, which the
  // sync covers all the same). A call that goes to wait for the disk will
  // not take the lock again soon: a process waiting for it is woken now,
  // not at its next look (locking/waiting_room.h).
  if (process_lock_ && !owed.empty()) process_lock_->release_for_a_while();
  process_lock_.reset();
  return owed;
}

Status QueueCall::flush() {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  return queue_->maybe_sync(/*force=*/true);
}

Status Queue::flush_on_close() {
  if (!persistent_ || !inner_.log_sync) return Status();
  // A forked child that made no call still holds its parent's LogSync,
  // which a thread of the parent may have been inside (abandon_after_fork):
  // it syncs through its own descriptor instead.
  if (fork_epoch_ != base::current_fork_epoch()) return inner_.writer->file().sync();
  if (!writable().ok()) return Status();
  if (Status flushed = inner_.writer->flush(); !flushed.ok()) return flushed;
  return inner_.log_sync->sync_through(inner_.tail_offset, /*force=*/true);
}

}  // namespace tollivane
