// Cutting a log back to where its valid part ends.
//
// A crash in the middle of an append leaves a torn frame at the tail, and
// the frames before it are intact, so cutting it off (and saying so on
// standard error) is a repair, not a failure. Recovery at open and catch-up
// both cut through here; they differ only in the line they print. Intact
// frames behind the bad one (damage in the middle of the log) are saved
// beside the log first (damaged_copy.h), and without that copy nothing is
// cut.
#pragma once

#include "base/directory.h"
#include "base/error.h"
#include "base/file.h"
#include "logfile/frame_scanner.h"

namespace tollivane::logfile {

enum class CutMoment {
  // Before the state is built. Prints, before the cut:
  //   "Tollivane: truncating corrupt log tail at byte {offset} ({reason})", or
  //   "Tollivane: truncating undecodable log tail at byte {offset} ({reason})".
  kAtOpen,
  // By an object that has applied everything before the cut. Prints, once
  // the cut is durable: "Tollivane: truncated corrupt log tail at byte {offset}".
  kCatchingUp,
};

// Cuts queue.log (open for writing as `log` in `directory`) at `end`, which
// must not be clean, and makes the cut durable: the file and the directory
// are fsynced.
Status cut_damaged_tail(base::File& log, const base::Directory& directory, const LogEnd& end, CutMoment moment);

}  // namespace tollivane::logfile
