// A read-only look at the log of a queue directory, for tools that must
// not change what they look at (the command line's stats, peek, dump and
// verify).
//
// It reads the log with the frame scanner the queue replays with and
// applies each record to a QueueState of its own, so what it reports is
// what a queue opened on the same bytes would hold. It never writes: it
// takes no lock (a caller that wants a consistent snapshot holds the
// process lock while it opens the scan: frames are only ever appended whole
// under that lock, and a compaction or purge renames a new file over the
// name, which leaves this handle on the old one), cuts no damaged tail and
// writes no sweep. Frames are read one at a time, so a log of any size
// needs little memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/directory.h"
#include "base/error.h"
#include "base/file.h"
#include "logfile/frame_scanner.h"
#include "queue/queue.h"
#include "queue/queue_state.h"

namespace tollivane {

class LogScan {
 public:
  // Opens queue.log in the directory `path` (never creating anything) and
  // takes its length and header now; frames are read later, up to that
  // length. Each Enqueue keeps the first `body_prefix` bytes of its body.
  static Result<std::unique_ptr<LogScan>> open(const std::string& path, uint64_t body_prefix);

  LogScan(const LogScan&) = delete;
  LogScan& operator=(const LogScan&) = delete;

  uint64_t file_len() const { return file_len_; }
  // The header's fields, when its magic is there.
  bool header_ok() const { return header_ok_; }
  uint32_t version() const { return version_; }
  uint64_t generation() const { return generation_; }

  // Reads the next valid frame and applies its record to state(). Returns
  // the frame (its payload valid until the next call), or nullptr once the
  // valid log has ended; end() then says where and why. A damaged header
  // ends it at offset 0 before any frame ("truncated file header" or "bad
  // file magic").
  Result<const logfile::ScannedFrame*> next();
  // Valid frames read so far, and the offset just past the last of them.
  uint64_t frames() const { return frames_; }
  uint64_t position() const;
  // Where and why the valid log ends, once next() has returned nullptr (at
  // once when the header is damaged).
  const std::optional<logfile::LogEnd>& end() const { return end_; }

  // What verify_integrity() reports for the same bytes, once the frames not
  // read yet are read.
  Result<IntegrityReport> integrity_report();

  const QueueState& state() const { return state_; }
  // Returns the leases expired at `now` to the ready set of this copy only,
  // as the queue's next sweep would. Returns them in (deadline, seq) order.
  std::vector<LeasePair> sweep(uint64_t now);

  // The counters as stats() reports them, the log's length being the end
  // of its valid part.
  QueueStats stats() const;
  std::optional<uint64_t> oldest_ready_ts_ms() const { return state_.oldest_ready_ts_ms(); }
  // The ready messages in delivery order (ascending seq), or those held
  // for `held`: in flight or scheduled earliest deadline first, buried in
  // ascending seq.
  struct Message {
    uint64_t seq;
    MessageEntry entry;
    std::optional<uint64_t> lease_deadline_ms;
  };
  std::vector<Message> messages(std::optional<Hold> held) const;

  // Fills `out` from `offset` of the log; false when the file ends first.
  Result<bool> read_at(uint64_t offset, std::span<uint8_t> out);

 private:
  LogScan() = default;
  Status read_header(uint64_t body_prefix);

  base::File file_;
  uint64_t file_len_ = 0;
  bool header_ok_ = false;
  uint32_t version_ = 0;
  uint64_t generation_ = 0;
  std::optional<logfile::FrameScanner> scanner_;
  uint64_t frames_ = 0;
  std::optional<logfile::LogEnd> end_;
  QueueState state_;
};

}  // namespace tollivane
