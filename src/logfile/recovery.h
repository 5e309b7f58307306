// Recovery at open: turns queue.log into a queue state.
//
// A missing or shorter-than-header file gets a fresh header. A log of
// another format version is refused untouched. An existing log is replayed
// frame by frame; at the first frame that is torn, corrupt or
// undecodable the file is cut back to where that frame starts. A crash in
// the middle of an append leaves exactly such a torn frame at the tail, and
// the records before it are intact, so cutting (and saying so on standard
// error) is a repair, not a failure. When intact frames lie behind the bad
// one (damage in the middle of the log), the bytes cut are first saved
// beside the log (damaged_copy.h).
#pragma once

#include <cstdint>

#include "base/directory.h"
#include "base/error.h"
#include "queue/queue_state.h"

namespace tollivane::logfile {

struct Recovered {
  QueueState state;
  uint64_t generation = 0;
  uint64_t end_offset = 0;  // just past the last intact frame; the file's length
};

// Replays queue.log in `directory`. The caller holds the process lock.
Result<Recovered> recover(const base::Directory& directory);

}  // namespace tollivane::logfile
