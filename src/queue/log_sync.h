// Making queue.log durable up to an offset, one fsync for many callers
// (group commit).
//
// With sync_interval_ms 0 no call returns before its records, and every
// record before them in the log, are on disk. A call that held the process
// lock through its fsync would make every other caller, in this process and
// in the others, wait for the disk too. So a call appends under the lock,
// lets the lock (and its object) go, and only then waits until the log is
// durable up to the end of what it wrote or read. One fsync makes durable
// every byte written to the file before it started, whoever wrote it, so
// the callers of one process share them: a caller whose end a completed
// fsync already covers returns without one; otherwise one caller (the
// leader) fsyncs for every caller waiting, while the others wait for it.
//
// Across processes the sharing is the file system's: an fsync whose
// records are in a journal commit already under way waits for that commit
// instead of starting one. A mark in the directory's hint page saying how
// far other processes' fsyncs made the log durable would spare the rest of
// a call's own fsync (the device flush, some tens of microseconds here),
// but it would be a promise, not a hint. Linux reports a failed writeback
// once to each open description of the file, through its next fsync, and a
// process that opened the log after the failure is told nothing: its fsync
// succeeds, and a mark it left would vouch for pages the kernel dropped. A
// call that skipped its own fsync on such a word would return as durable
// records that are gone. So a call counts as durable only what an fsync
// through its own process's descriptor made so: the threads of a process
// share the LogSync's descriptor, opened before any of their records was
// written, so it is told of every failed writeback of them.
//
// There is one LogSync per log file in the process, found by the file's
// identity and shared by every object that has the file open; a file put in
// place by compaction or purge is another file, with another LogSync. Each
// holds a descriptor of its own, so a sync in progress never uses one that a
// compaction by another thread has closed, and that the kernel may have
// given to another file meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "base/error.h"
#include "base/file.h"

namespace tollivane {

class LogSync {
 public:
  // The LogSync of the file `log` is open on (identity `identity`), made
  // with a duplicate of `log` when the process has none, or only one that
  // has failed.
  static Result<std::shared_ptr<LogSync>> for_file(const base::File& log, const base::FileIdentity& identity);

  LogSync(const LogSync&) = delete;
  LogSync& operator=(const LogSync&) = delete;

  // Returns once the file is durable up to `end`: at once when a completed
  // fsync covers it, else after an fsync that started after this call. With
  // `force`, always after such an fsync, covered or not. Lets the caller's
  // other threads run while it waits (base/blocking.h).
  Status sync_through(uint64_t end, bool force);

  // Set once an fsync failed, for good: Linux may drop the dirty pages of a
  // failed fsync and report the next one as a success, so no later fsync of
  // this file can vouch for what was written before. Every object of this
  // process with the file open refuses to write to it from then on; a
  // queue opened afresh recovers from what is on disk, with a new LogSync.
  std::optional<IoError> failure() const;

  // The file is known to be durable up to `end` by other means (a log
  // written and fsynced whole before it was renamed into place).
  void note_durable(uint64_t end);
  // The file was cut to `length` (damage cut off): what is written past it
  // from now on is new, whatever was made durable there before.
  void note_cut(uint64_t length);

  // How many callers wait for another's fsync right now, for tests that
  // hold a round open until the others have queued behind it.
  uint64_t waiting_callers() const;

  // A child of fork() must not use a LogSync of its parent's: a thread of
  // the parent may have been inside it, so its mutex may be held and its
  // condition variable may count waiters that do not exist in the child,
  // which destroying it could wait for forever. The child's objects take new
  // ones and leave the inherited ones here, never destroyed.
  static void abandon_after_fork(std::shared_ptr<LogSync> inherited);

 private:
  explicit LogSync(base::File file) : file_(std::move(file)) {}

  // One fsync for every caller that asked before it started. Called with
  // `lock` held and no round in progress; returns with it held again.
  void lead_round(std::unique_lock<std::mutex>& lock);

  const base::File file_;
  mutable std::mutex mutex_;
  std::condition_variable round_done_;
  // Every byte below it is durable: an fsync that started after those bytes
  // were in the file has completed.
  uint64_t durable_end_ = 0;
  // The largest end a caller has asked for. A caller asks only after its
  // bytes are in the file, so the next round to start covers it.
  uint64_t requested_end_ = 0;
  uint64_t rounds_started_ = 0;
  uint64_t rounds_done_ = 0;
  bool syncing_ = false;
  uint64_t waiting_ = 0;
  // The failed round, its own error (what the callers it was to cover are
  // told), and the error every later caller is refused with.
  uint64_t failed_round_ = 0;
  std::optional<IoError> round_error_;
  std::optional<IoError> failure_;
};

// What a call still owes before it may return: the log durable up to an
// offset. Made under the call's locks; completed after they are released.
// It holds the LogSync, never the queue, which another thread may use,
// compact or close meanwhile.
class [[nodiscard]] PendingSync {
 public:
  PendingSync() = default;  // nothing owed
  PendingSync(std::shared_ptr<LogSync> log_sync, uint64_t end, bool force)
      : log_sync_(std::move(log_sync)), end_(end), force_(force) {}

  Status complete();
  // Whether anything is owed at all.
  bool empty() const { return log_sync_ == nullptr; }

 private:
  std::shared_ptr<LogSync> log_sync_;
  uint64_t end_ = 0;
  bool force_ = false;
};

}  // namespace tollivane
