// Turning queue.log into a queue state: replaying its frames, at open and
// when catching up.
//
// Recovery at open: a missing or shorter-than-header file gets a fresh
// header. A log of another format version is refused untouched. An existing
// log is replayed frame by frame, and at the first frame that is torn,
// corrupt or undecodable the file is cut back to where that frame starts
// (logfile/tail_cut.h).
#pragma once

#include <cstdint>

#include "base/directory.h"
#include "base/error.h"
#include "logfile/frame_scanner.h"
#include "queue/queue_state.h"

namespace tollivane {

// Reads the next valid frame and applies its record to `state` (bodies are
// not kept: they stay in the log). Returns the frame, or nullptr once the
// valid log has ended; the scanner says where and why.
Result<const logfile::ScannedFrame*> replay_next(logfile::FrameScanner& scanner, QueueState& state);

// replay_next() up to the end of the valid log.
Status replay_frames(logfile::FrameScanner& scanner, QueueState& state);

struct Recovered {
  QueueState state;
  uint64_t generation = 0;
  uint64_t end_offset = 0;  // just past the last intact frame; the file's length
};

// Replays queue.log in `directory`, cutting a damaged tail. The caller holds
// the process lock.
Result<Recovered> recover(const base::Directory& directory);

}  // namespace tollivane
