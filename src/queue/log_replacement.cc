// Replacing queue.log by a new file, for compaction and purge.
//
// The new file is written completely and fsynced under a temporary name,
// then renamed over the log, and the directory is fsynced: a crash at any
// moment leaves either the old log or the whole new one at the path, never
// a mixture. A failure before the rename removes the temporary file again;
// one left behind all the same (by a crash) is replaced by the next attempt.

#include "logfile/file_header.h"
#include "logfile/format.h"
#include "queue/queue.h"

namespace tollivane {
Result<base::File> Queue::start_log_file(const std::string& temp_name, uint64_t generation) {
  // The new log is readable by no one who cannot read the old one: an
  // operator who narrowed queue.log's permissions keeps them across a
  // compaction or purge (the umask may narrow them further). It keeps the
  // old log's owner and group too, where this process may give them: a
  // compaction run as root must not take the queue away from its user.
  Result<base::FileOwnership> ownership = inner_.reader.ownership();
  if (!ownership.ok()) return ownership.take_error();
  Result<base::File> file = directory_.create_replacing(temp_name, *ownership);
  if (!file.ok()) return file;
  if (Status written = logfile::write_file_header(*file, generation); !written.ok()) {
    (void)directory_.remove(temp_name);
    return written.take_error();
  }
  return file;
}

Status Queue::install_log_file(base::TemporaryName& temp, uint64_t generation) {
  // The rename is the commit point; before it the old log is untouched.
  if (Status renamed = directory_.rename(temp.name(), logfile::kLogName); !renamed.ok()) return renamed;
  temp.keep();
  // Without the directory fsync the rename itself could be lost.
  if (Status synced = directory_.sync(); !synced.ok()) return synced;
  return reopen_io(generation);
}

}  // namespace tollivane
