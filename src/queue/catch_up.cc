// Catching up with what other objects and processes did to the log since
// this object's last call. Runs at the start of every call that reads or
// changes the queue, under the process lock, so the file cannot change
// while it is being read.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <string>

#include "base/blocking.h"
#include "base/fork_epoch.h"
#include "logfile/file_header.h"
#include "logfile/format.h"
#include "logfile/frame_scanner.h"
#include "logfile/tail_cut.h"
#include "queue/queue.h"
#include "queue/recovery.h"

namespace tollivane {
namespace {

// A tail longer than this is replayed with the caller's other threads let
// run (base/blocking.h); a shorter one takes less time than handing the
// caller's lock over and back.
constexpr uint64_t kQuietReplayLen = uint64_t{256} << 10;

Status would_wait(const std::string& why) {
  return IoError::custom(ErrorKind::kWouldWait, "the call would wait: " + why);
}

}  // namespace

Result<QueueCall> Queue::enter_call(CatchUp catch_up, Waits waits) {
  inner_.owed_sync = Inner::OwedSync{};
  inner_.refusing_waits = waits == Waits::kRefused;
  if (!process_lock_) return QueueCall(*this, std::nullopt);
  const bool forked = fork_epoch_ != base::current_fork_epoch();
  if (forked && inner_.refusing_waits) return would_wait("a forked child reopens its files");
  if (forked) {
    if (Status opened = open_lock_after_fork(); !opened.ok()) return opened.take_error();
  }
  // The lock comes first: what others appended can only be trusted to be
  // complete, and this call's appends to land at the tail, while it is held.
  // A forked child reopens its log handles only under it too: between its
  // reader and its writer another process could otherwise rename a new log
  // into place, and split them across two files.
  Result<ProcessLockGuard> locked = inner_.refusing_waits ? process_lock_->try_write_lock() : process_lock_->write_lock();
  if (!locked.ok()) return locked.take_error();
  QueueCall call(*this, std::move(*locked));
  if (forked) {
    if (Status reopened = reopen_log_after_fork(); !reopened.ok()) return reopened.take_error();
  }
  if (catch_up == CatchUp::kRun) {
    if (Status caught_up = this->catch_up(); !caught_up.ok()) return caught_up.take_error();
  }
  if (inner_.refusing_waits) {
    if (Status refused = refuse_if_disk_owed(); !refused.ok()) return refused.take_error();
  }
  return call;
}

Status Queue::catch_up() {
  if (!persistent_) return Status();
  // Compaction and purge rename a new file (a new generation) over the name,
  // so a stat() of the name tells whether it still names the file this
  // object's handles are open on. If not (or it is gone, or shorter than
  // what was applied here, which only damage by hand can do), the state is
  // rebuilt from what has the name now, and recovery decides what that is
  // worth.
  Result<base::PathStatus> at_path = directory_.stat(logfile::kLogName);
  if (!at_path.ok() || at_path->identity != inner_.log_identity || at_path->size < inner_.tail_offset) {
    if (inner_.refusing_waits) return would_wait("the log was replaced and is read again");
    return reload();
  }
  // The pages of a map past the file's end are backed by nothing, and
  // touching one raises SIGBUS: never keep a map longer than the file.
  if (at_path->size < inner_.map.mapped_len()) inner_.map.drop();
  // The same file at the same length: nothing was appended, and the header
  // was not replaced, since nothing of ours rewrites a header in place (a
  // new generation is always a new file renamed over the path), and the
  // inode cannot have been reused while this object holds it open. So the
  // common call costs this one stat() and no read. (The link count of the
  // object's own file, one fstat away, would be cheaper but is no proof: a
  // name added elsewhere, say by a backup's hard link, and a file renamed
  // over the path leave it unchanged.) Nor can a log end published in the
  // hint page stand in for the stat: a process of an older build appends
  // and replaces the log without a word to the page, and a call that
  // trusted a stale end would miss its records and hand out their ids
  // again.
  if (at_path->size == inner_.tail_offset) return Status();
  // Others appended. Their frames are trusted only under a header that
  // still holds this log's magic, version and generation; a header damaged
  // by hand must stop this object from appending to the file, and recovery
  // refuses a version it cannot read without touching it.
  Result<logfile::FileHeader> header = logfile::read_file_header(inner_.reader);
  if (!header.ok() || !header->magic_ok || header->version != logfile::kFormatVersion ||
      header->generation != inner_.generation) {
    if (inner_.refusing_waits) return would_wait("the log was replaced and is read again");
    return reload();
  }
  return replay_tail(at_path->size);
}

Status Queue::replay_tail(uint64_t file_len) {
  if (file_len == inner_.tail_offset) return Status();  // nothing new
  if (inner_.refusing_waits && file_len - inner_.tail_offset > kQuietReplayLen) {
    return would_wait("a long tail is replayed");
  }
  // Streamed frame by frame: what another process appended may be large,
  // and only one frame at a time needs to be in memory.
  logfile::FrameScanner scanner(inner_.reader, inner_.tail_offset, file_len);
  std::optional<base::BlockingRegion> others_run;
  if (file_len - inner_.tail_offset > kQuietReplayLen) others_run.emplace();
  Status replayed = replay_frames(scanner, inner_.state);
  others_run.reset();
  // Whatever was applied before a failed read stays applied, and is not
  // replayed a second time by the next call.
  inner_.tail_offset = scanner.position();
  inner_.log_bytes = std::max(inner_.log_bytes, inner_.tail_offset);
  if (!replayed.ok() || scanner.end().clean()) return replayed;
  // What was replayed stays applied; the call that may wait cuts the tail.
  if (inner_.refusing_waits) return would_wait("a damaged tail is cut and synced");
  return cut_tail(scanner.end());
}

Status Queue::cut_tail(const logfile::LogEnd& end) {
  // Every appender writes whole frames under the process lock, so a bad
  // frame here is not one still being written: it is what a crashed writer
  // or damage left behind, and the frames before it are intact.
  logfile::LogWriter& writer = *inner_.writer;
  if (Status flushed = writer.flush(); !flushed.ok()) return flushed;
  Status cut = logfile::cut_damaged_tail(writer.file(), directory_, end, logfile::CutMoment::kCatchingUp);
  if (!cut.ok()) return cut;
  // Whatever an fsync made durable past the cut is gone; the frames that
  // will land there are new.
  inner_.log_sync->note_cut(end.offset);
  inner_.log_bytes = end.offset;
  inner_.map.drop();
  return Status();
}

Status Queue::reload() {
  // Replaying a whole log, maybe cutting it: the caller's other threads run.
  base::BlockingRegion others_run;
  Result<Recovered> recovered = recover(directory_);
  if (!recovered.ok()) return recovered.take_error();
  // The file may have been renamed into place by a compaction or purge whose
  // directory fsync failed. Appending to it before its name is durable would
  // let a power loss bring back the old log without what this object wrote.
  if (Status synced = directory_.sync(); !synced.ok()) return synced;
  inner_.state = std::move(recovered->state);
  // If the handles cannot be reopened, generation keeps its old value, so the
  // next call reloads again.
  if (Status reopened = reopen_io(recovered->generation); !reopened.ok()) return reopened;
  inner_.tail_offset = recovered->end_offset;
  inner_.log_bytes = recovered->end_offset;
  // The same file, damaged by hand, may have been cut below what was synced.
  inner_.log_sync->note_cut(recovered->end_offset);
  return Status();
}

Status Queue::open_log_handles() {
  Result<base::File> writer = directory_.open_file(logfile::kLogName, O_RDWR | O_APPEND);
  if (!writer.ok()) return writer.take_error();
  // Every call reads the header through the reader. Without O_NOATIME each
  // of those reads after an append would dirty the inode for its access
  // time; only the file's owner may ask for it, so fall back without.
  base::PathStatus opened;
  Result<base::File> reader = directory_.open_file(logfile::kLogName, O_RDONLY | O_NOATIME, 0, &opened);
  if (!reader.ok() && reader.error().io().os_errno() == EPERM) {
    reader = directory_.open_file(logfile::kLogName, O_RDONLY, 0, &opened);
  }
  if (!reader.ok()) return reader.take_error();
  Result<std::shared_ptr<LogSync>> log_sync = LogSync::for_file(*writer, opened.identity);
  if (!log_sync.ok()) return log_sync.take_error();
  inner_.log_sync = std::move(*log_sync);
  inner_.writer.emplace(std::move(*writer));
  inner_.reader = std::move(*reader);
  inner_.log_identity = opened.identity;
  // A map of another file, or of the parent's, must not serve a body read.
  inner_.map.drop();
  return Status();
}

Status Queue::reopen_io(uint64_t generation) {
  Result<base::PathStatus> at_path = directory_.stat(logfile::kLogName);
  if (!at_path.ok()) return at_path.take_error();
  if (Status opened = open_log_handles(); !opened.ok()) return opened;
  inner_.generation = generation;
  inner_.tail_offset = at_path->size;
  inner_.log_bytes = at_path->size;
  inner_.last_sync_ms = now();
  // A new file, written and fsynced as a whole by its maker (or recovered
  // from what is on disk): earlier sync failures no longer apply to it.
  inner_.write_failure.reset();
  return Status();
}

void Queue::drop_state_cut_by_fork() {
  // Without a log the state is the only copy, and it is whole: a call on
  // such a queue lets other threads run only while it builds Python
  // objects, between two applied records.
  if (!persistent_) return;
  // The call may have stopped anywhere, the interpreter lock released in
  // the middle of a replay, a reload or a compaction: the state, the
  // writer's buffer, the map and the handles may each be half changed. None
  // of it is touched, not even to free or close it: freeing a half-linked
  // structure may crash, and a descriptor that call had just closed may
  // since name another file of the child. A fresh Inner takes its place (the
  // old one's memory and descriptors are left to the child's exit). It
  // knows no file, so the child's first call, which reopens its handles
  // after the fork, finds none it knows at the path and rebuilds the state
  // from the log under the process lock.
  new (&inner_) Inner();
}

Status Queue::open_lock_after_fork() {
  // The parent's lock description must not be unlocked from here; closing
  // this process's copy of the descriptor leaves the parent's lock alone.
  // The hint page's map is shared with the parent and every other process,
  // as it should be: it holds nothing of this process's own.
  Result<ProcessLock> lock = ProcessLock::open(directory_, logfile::kProcessLockName, hints_);
  if (!lock.ok()) return lock.take_error();
  process_lock_ = std::move(*lock);
  return Status();
}

Status Queue::reopen_log_after_fork() {
  // The state describes the file whose identity it recorded, and may be kept
  // only on that very file. The inherited handles still hold that file open,
  // so its inode cannot have been reused: the file now named queue.log is
  // the same file exactly when its identity is the recorded one. If it is,
  // the state describes a prefix of it (nothing rewrites a log in place:
  // others only append, or cut a damaged tail past what was applied), and
  // the catch-up that follows replays the rest. If it is another file (a
  // compaction or purge since the fork), none of the state's offsets, ids
  // or leases describe it, however alike the two files look, equal lengths
  // included: the state is rebuilt from it.
  Result<base::PathStatus> at_name = directory_.stat(logfile::kLogName);
  const bool same_file = at_name.ok() && at_name->identity == inner_.log_identity;
  LogSync::abandon_after_fork(std::move(inner_.log_sync));
  Status reopened = same_file ? open_log_handles() : reload();
  if (!reopened.ok()) return reopened;
  fork_epoch_ = base::current_fork_epoch();
  return Status();
}

}  // namespace tollivane
