// The queue object of the core: configuration fixed at open, the mutable
// Inner, and the operations, reached through the QueueCall that
// enter_call() returns.
//
// Every operation is written once. A queue without a log (":memory:")
// differs from one backed by queue.log only where persistent_ is asked, and
// that is in these places: the private steps commit() and commit_batch()
// append the frames before applying the records, and a queue without a log
// keeps the bodies in its state instead (append.cc); maybe_sync(),
// owed_sync() and flush_on_close() have nothing to sync without a log
// (append.cc); body() reads from the log map or from the state (queue.cc);
// enter_call() takes the process lock, which only a persistent queue has,
// and catch_up() reads what others appended (catch_up.cc); a waiting
// consumer's watch_changes() watches the directory only where there is one
// (dequeue.cc); should_auto_compact() and do_compact() have no log to
// rewrite (compaction.cc); and three
// operations say what a queue without a log has instead: purge() only
// empties its state (purge.cc), verify_integrity() gives a fixed report
// (verify.cc), and stats() says which kind the queue is (counters.cc).
//
// Queue has no lock of its own. The caller (the Python object) serialises
// calls with its mutex and makes each one through enter_call().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "locking/process_lock.h"
#include "base/directory.h"
#include "base/file.h"
#include "logfile/format.h"
#include "logfile/frame_scanner.h"
#include "logfile/log_map.h"
#include "logfile/log_writer.h"
#include "logfile/record.h"
#include "queue/change_watch.h"
#include "queue/clock.h"
#include "base/error.h"
#include "queue/log_sync.h"
#include "queue/queue_state.h"

namespace tollivane {

inline constexpr std::string_view kMemoryPath = ":memory:";

// A batch's frames are written once this many bytes have gathered, so that
// one write carries a whole batch of small messages while a batch of large
// ones does not hold a second copy of itself in memory.
inline constexpr uint64_t kBatchWriteLen = uint64_t{1} << 20;

struct QueueConfig {
  uint64_t sync_interval_ms = 0;            // 0: fsync every append
  uint64_t default_lease_ms = 30000;        // lease given when a call names none
  uint64_t auto_compact_bytes = 67108864;   // 0 disables automatic compaction
};

// One leased message, handed to a DeliverySink while its body is readable.
struct Delivery {
  uint64_t seq;
  std::span<const uint8_t> body;  // valid only during DeliverySink::accept
  uint32_t deliveries;            // including this delivery
  uint64_t enqueued_ts_ms;
};

// Receives deliveries as they are made, under the call's locks, so that a
// body can be copied out of the state or the log map without an extra copy.
class DeliverySink {
 public:
  virtual ~DeliverySink() = default;
  // Returns false to stop: the operation ends with Error::sink_aborted() and
  // the sink keeps the reason. Leases already made stay made.
  virtual bool accept(const Delivery& delivery) = 0;
};

struct QueueStats {
  uint64_t ready = 0;
  uint64_t in_flight = 0;
  uint64_t total = 0;
  QueueCounters counters;
  uint64_t log_bytes = 0;
  uint64_t generation = 0;
  bool persistent = false;
};

struct IntegrityReport {
  bool ok = false;
  uint64_t records = 0;
  uint64_t bytes = 0;
  std::string message;
};

// What verification reports (verify.cc), for a log whose header lacks the
// magic, and for one whose valid part ends at `end` after `records` frames.
// It judges by the rule replay follows (logfile/frame_scanner.h), so a log
// is clean exactly when no later open or catch-up would cut it.
IntegrityReport foreign_log_report();
IntegrityReport integrity_report(uint64_t records, const logfile::LogEnd& end);

enum class CatchUp : bool { kSkip = false, kRun = true };

// Whether a call may wait. A caller that must never be held up (an event
// loop's thread) makes its calls with kRefused: such a call fails with
// kWouldWait, before it has changed anything, wherever it would have had to
// wait for the process lock, for an fsync or a compaction, or for a reload
// or a long catch-up. It may still read the log's pages and write its own
// record into the page cache, which the kernel serves without the disk.
// Batches, flush(), compact() and purge() always sync: they are not made
// so.
enum class Waits : bool { kAllowed = false, kRefused = true };

// What a dequeue_batch that leased nothing owes the disk. A plain call
// forces an fsync all the same, as every batch does. A waiting consumer's
// attempt after a wake-up that finds nothing goes back to sleep: forcing an
// fsync at every such wake-up would only load the disk, so it syncs by the
// policy, which still covers whatever the attempt read or swept.
enum class EmptyBatchSync { kForced, kByPolicy };

class Queue;

// One call on a queue: the only way to its operations. Queue::enter_call()
// makes it after taking the process lock (a persistent queue's) and
// catching up, and it holds the lock until leave() or until it goes out of
// scope, so no operation can run without having entered, and no path can
// return with the lock still taken. A caller makes one per call of its own
// and ends it before reporting the result: with leave(), which lets the
// lock go and hands back what the log still owes the call, to be completed
// once the caller has let go of its own lock too. A call dropped without
// leave() has made no durability promise: its records are in the file, and
// the next call's sync covers them.
class QueueCall {
 public:
  QueueCall(QueueCall&&) noexcept = default;
  QueueCall(const QueueCall&) = delete;
  QueueCall& operator=(const QueueCall&) = delete;

  // Bodies are copied only into the log (or, without one, into memory).
  Result<uint64_t> enqueue(std::span<const uint8_t> body);
  // Appends every body under one call, in one write and with one sync. A
  // failed write leaves none of them enqueued.
  Result<std::vector<uint64_t>> enqueue_batch(std::span<const std::span<const uint8_t>> bodies);

  // Leases the smallest ready message. Returns whether one was delivered.
  Result<bool> dequeue(std::optional<uint64_t> lease_ms, DeliverySink& sink);
  // Leases up to `max` ready messages, all with the same deadline, and syncs
  // once, even when there was nothing to lease, unless `empty` says the
  // policy decides then. Returns how many were delivered.
  Result<uint64_t> dequeue_batch(uint64_t max, std::optional<uint64_t> lease_ms, DeliverySink& sink,
                                 EmptyBatchSync empty = EmptyBatchSync::kForced);
  // The lease sweep: requeues every lease whose deadline is at or before now.
  Status reclaim_expired(uint64_t now);
  // For a consumer that found nothing to lease and is going to wait: a watch
  // that reports every change made after this call (queue/change_watch.h).
  ChangeWatch watch_changes() const;
  // How long until the earliest lease deadline, none without leases. It may
  // be the deadline of a lease since settled or renewed, which the sweep then
  // skips; a waiter only looks once too often.
  std::optional<uint64_t> ms_to_next_lease_expiry() const;

  Result<bool> ack(uint64_t seq);
  Result<uint64_t> ack_batch(const std::vector<uint64_t>& seqs);
  // The consumer's steady step: acknowledges `seq` as ack() does (with
  // `deliveries`, only the delivery it counts), sweeps expired leases as
  // dequeue() does, and leases the smallest message then ready, all in one
  // write and with one sync decision.
  struct AckedAndLeased {
    bool acked = false;
    bool delivered = false;
  };
  Result<AckedAndLeased> ack_and_dequeue(uint64_t seq, std::optional<uint64_t> deliveries,
                                         std::optional<uint64_t> lease_ms, DeliverySink& sink);
  Result<bool> nack(uint64_t seq, bool requeue);
  Result<bool> extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms);

  Result<uint64_t> available();
  uint64_t in_flight() const;
  Result<QueueStats> stats();
  // The enqueue time of the ready message that has waited longest, after
  // the lease sweep; none when nothing is ready.
  Result<std::optional<uint64_t>> oldest_ready_ts_ms();

  Status flush();
  Status compact();
  Status purge();
  Result<IntegrityReport> verify_integrity();

  // Messages that wait for their time: a delayed enqueue writes the
  // Enqueue and a Lease of count 0 until then, in one write; the sweep makes
  // it ready when it falls due. A delay of 0 is a plain enqueue.
  Result<uint64_t> enqueue_delayed(std::span<const uint8_t> body, uint64_t delay_ms);
  Result<std::vector<uint64_t>> enqueue_batch_delayed(std::span<const std::span<const uint8_t>> bodies,
                                                      uint64_t delay_ms);
  // A delayed nack: a message in flight is leased again, its count kept,
  // until `delay_ms` from now, when the sweep returns it to the ready set.
  Result<bool> retry(uint64_t seq, uint64_t delay_ms, std::optional<uint64_t> deliveries);
  // Buried messages are kept aside, never delivered nor swept, until kicked
  // back to the ready set, acknowledged or dropped (buried.cc).
  Result<bool> bury(uint64_t seq, std::optional<uint64_t> deliveries);
  Result<bool> kick(uint64_t seq);
  Result<uint64_t> kick_all();
  // ack and extend_lease for one delivery only: the message's count must
  // still be `deliveries`, or nothing is written.
  Result<bool> ack_delivery(uint64_t seq, uint64_t deliveries);
  Result<bool> extend_delivery(uint64_t seq, uint64_t deliveries, std::optional<uint64_t> lease_ms);
  // Counted like in_flight(): no sweep, so a message due but not yet swept
  // still counts as scheduled.
  uint64_t scheduled() const;
  uint64_t buried() const;

  // Ends the call: releases the process lock and returns the sync the call
  // owes before it may return (log_sync.h), to be completed by the caller.
  PendingSync leave();

 private:
  friend class Queue;
  QueueCall(Queue& queue, std::optional<ProcessLockGuard> process_lock)
      : queue_(&queue), process_lock_(std::move(process_lock)) {}

  Queue* queue_;
  // Released when the call ends; none for a queue without a log.
  std::optional<ProcessLockGuard> process_lock_;
};

class Queue {
 public:
  // Opens the queue at `path`: ":memory:" (exactly) gives a queue without a
  // log; any other path names the directory of a persistent queue.
  static Result<std::unique_ptr<Queue>> open(std::string_view path, const QueueConfig& config);

  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  // Ends the waits of consumers watching it.
  ~Queue();

  // Starts a call: takes the process lock and, when asked, catches up with
  // what other objects and processes wrote (nothing to do without a log).
  // The operations are the returned call's.
  Result<QueueCall> enter_call(CatchUp catch_up, Waits waits = Waits::kAllowed);

  // Called when the owner closes the queue or goes away: pushes out and
  // syncs anything buffered. A dying owner ignores the error (there is no
  // one left to tell); an explicit close reports it. A queue that already
  // refuses writes has nothing it could sync, and its failure was reported
  // by the call that met it.
  Status flush_on_close();

  // In a child of fork(), for the owner whose lock the fork found held by
  // another thread of the parent: that thread's call stopped half-done
  // there. A persistent queue gives up everything that call may have been
  // changing and rebuilds it from the log at its next call.
  void drop_state_cut_by_fork();

  bool persistent() const { return persistent_; }
  // The directory a persistent queue works on, whatever became of the path
  // it was opened by (none for ":memory:").
  const base::Directory& directory() const { return directory_; }
  const QueueState& state() const { return inner_.state; }

  // Replaces the wall clock, for tests that need time to stand still or jump.
  void set_clock_for_testing(ClockFn clock) { clock_ = clock; }

 private:
  // The operations are the call's, written in one file each (enqueue.cc,
  // dequeue.cc, ...) on the queue's private steps below.
  friend class QueueCall;

  Status reclaim_expired(uint64_t now);

  // The state that changes under the caller's mutex.
  struct Inner {
    uint64_t last_sync_ms = 0;
    uint64_t generation = 0;
    // End of the last frame applied: catch-up reads on from here and the
    // next append lands here.
    uint64_t tail_offset = logfile::kFileHeaderLen;
    uint64_t log_bytes = logfile::kFileHeaderLen;
    QueueState state;
    // The handles of a persistent queue (none for ":memory:"), and which
    // file they are open on.
    base::File reader;
    base::FileIdentity log_identity;
    std::optional<logfile::LogWriter> writer;
    logfile::LogMap map;
    // Shared with every object of this process on the same log file.
    std::shared_ptr<LogSync> log_sync;
    // Set once a failed append could not be undone. (A failed fsync is the
    // LogSync's, which every object on the file shares.) No later write or
    // sync of this object can be trusted: each is refused with this error
    // until the log is reopened.
    std::optional<IoError> write_failure;
    // What the call in progress owes before it returns, as the sync policy
    // decided: any sync at all (a positive interval), and a forced one (a
    // batch, flush(), an elapsed interval).
    struct OwedSync {
      bool needed = false;
      bool forced = false;
    } owed_sync;
    // The call in progress was made with Waits::kRefused.
    bool refusing_waits = false;
    std::vector<uint8_t> frame_scratch;
  };

  Queue(const QueueConfig& config, bool persistent);
  static Result<std::unique_ptr<Queue>> open_persistent(const std::string& path, const QueueConfig& config);

  uint64_t now() const { return clock_(); }
  // Whether `entry` is still the delivery a guarded call names; none names any.
  static bool is_delivery(const MessageEntry& entry, std::optional<uint64_t> deliveries) {
    return !deliveries || *deliveries == entry.deliveries;
  }
  uint64_t lease_or_default(std::optional<uint64_t> lease_ms) const {
    return lease_ms.value_or(config_.default_lease_ms);
  }

  // Makes a state change durable (by the log and the sync policy) and then
  // applies it. A record the log refused is not applied.
  Status commit(const logfile::RecordView& record, bool defer_sync);
  // Writes the record's frame and hands it to the operating system.
  Status append_record(const logfile::RecordView& record);
  // Appends the frames of `records` and then applies them all in order, or,
  // if the log refused them, applies none. Syncing is left to the caller.
  Status commit_batch(const std::vector<logfile::RecordView>& records);
  // Hands the writer's buffer to the operating system; on failure the file
  // is cut back to `undo_offset`.
  Status write_buffered(uint64_t undo_offset);
  // The refusal of a queue whose earlier write or fsync failed, if any.
  Status writable() const;
  // Decides by the sync policy whether the call must sync before it
  // returns, and records that; the sync itself follows the call's locks.
  Status maybe_sync(bool force);
  // What the call in progress owes, once its work is done (append.cc).
  PendingSync owed_sync();
  // The body of a live message: from the state, or read from the log.
  Result<std::span<const uint8_t>> body(uint64_t seq, const MessageEntry& entry);
  // Leases the smallest ready message until `deadline` and hands it to `sink`.
  Status deliver_next(uint64_t deadline, bool defer_sync, DeliverySink& sink);
  // Hands the leased message `seq` to `sink`, its body read while the locks
  // keep it valid.
  Status hand_out(uint64_t seq, DeliverySink& sink);
  bool should_auto_compact() const;
  // For a call that refuses to wait: kWouldWait if it could owe the disk
  // anything before it returns (an fsync, a compaction).
  Status refuse_if_disk_owed() const;
  // For the operations that always wait for the disk, whatever the sync
  // policy (batches, flush, compaction, purge, verification): kWouldWait
  // in a call that refuses to wait, before they have done anything.
  Status refuse_if_always_waiting() const;
  // The automatic compaction step that ends every removing settlement.
  Status after_removal();
  Status do_compact();
  // What a compacted log holds: each live message's Enqueue, its delivery
  // count and lease, and where each body lands in the new file.
  struct LiveMessage {
    uint64_t seq;
    const MessageEntry* entry;
    std::optional<uint64_t> deadline_ms;
  };
  struct MovedBody {
    uint64_t seq;
    uint64_t body_offset;
  };
  Status write_live_messages(const std::vector<LiveMessage>& live, logfile::LogWriter& writer,
                             std::vector<MovedBody>& moved);

  // Catching up with the log as other objects left it: replays the frames
  // appended past tail_offset, or reloads everything when the file at the
  // path is another one (a new generation).
  Status catch_up();
  Status replay_tail(uint64_t file_len);
  Status reload();
  // Fresh handles on the file now named queue.log, which has `generation`.
  Status reopen_io(uint64_t generation);
  // Cuts the bad frame catch-up found, and what follows it, off the log.
  Status cut_tail(const logfile::LogEnd& end);
  // After fork() the child shares the parent's descriptions of .proc_lock and
  // queue.log, so flock would no longer exclude the two, and the two would
  // move one reading position: the child takes its own lock description
  // before it takes the lock, and its own log handles under it.
  Status open_lock_after_fork();
  Status reopen_log_after_fork();
  // Opens the writer and reader on the file now named queue.log.
  Status open_log_handles();

  // Puts a new log of the next generation in place of the old one
  // (logfile/log_replacement.h): the header, then what `fill` writes. Then
  // reopens the handles on it.
  Status replace_log(const char* temp_name, const std::function<Status(logfile::LogWriter&)>& fill = {});

  const QueueConfig config_;
  // Every file of a persistent queue is reached through it (none for ":memory:").
  base::Directory directory_;
  // Which fork() generation of the process opened the handles.
  uint64_t fork_epoch_ = 0;
  const bool persistent_;
  // The directory's hint page, when it could be mapped (none for ":memory:").
  std::shared_ptr<HintPage> hints_;
  // Present exactly for a persistent queue.
  std::optional<ProcessLock> process_lock_;
  ClockFn clock_ = now_ms;
  Inner inner_;
  // Signalled by every commit, for the consumers of this object that wait;
  // shared with their watches, which outlive a queue closed under them.
  std::shared_ptr<ChangeNotifier> changes_ = std::make_shared<ChangeNotifier>();
};

}  // namespace tollivane
