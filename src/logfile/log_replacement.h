// Putting a new file in place of queue.log: a fresh log at open, compaction
// and purge all replace the log through here.
//
// The new file is written completely and fsynced under a temporary name,
// then renamed over the log, and the directory is fsynced: a crash at any
// moment leaves either the old log or the whole new one at the path, never
// a mixture. A failure before the rename removes the temporary file again;
// one left behind all the same (by a crash) is replaced by the next attempt.
#pragma once

#include <cstdint>
#include <functional>

#include "base/directory.h"
#include "base/error.h"
#include "base/file.h"
#include "logfile/log_writer.h"

namespace tollivane::logfile {

// Writes a log of `generation` under `temp_name` in `directory`: the header,
// then whatever `fill` writes through the writer it is given (nothing when
// empty). The file gets the owner and permission bits of `like`. Once it is
// fsynced it is renamed over queue.log and the directory is fsynced.
// Nothing is at the log's name but the old log until the rename succeeds.
Status replace_log(const base::Directory& directory, const char* temp_name, uint64_t generation,
                   const base::FileOwnership& like, const std::function<Status(LogWriter&)>& fill = {});

}  // namespace tollivane::logfile
