// Replacing queue.log by a new file, for compaction and purge.
//
// The new file is written completely and fsynced under a temporary name,
// then renamed over the log, and the directory is fsynced: a crash at any
// moment leaves either the old log or the whole new one at the path, never
// a mixture. A temporary file left by a failure is truncated and reused by
// the next attempt.
#include <fcntl.h>

#include "logfile/file_header.h"
#include "queue/queue.h"

namespace tollivane {

Result<logfile::File> Queue::start_log_file(const std::string& temp_path, uint64_t generation) {
  Result<logfile::File> file = logfile::File::open(temp_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!file.ok()) return file;
  if (Status written = logfile::write_file_header(*file, generation); !written.ok()) return written.take_error();
  return file;
}

Status Queue::install_log_file(const std::string& temp_path, uint64_t generation) {
  // The rename is the commit point; before it the old log is untouched.
  if (Status renamed = logfile::rename_file(temp_path, log_path_); !renamed.ok()) return renamed;
  // Without the directory fsync the rename itself could be lost.
  if (Status synced = logfile::sync_parent_dir(log_path_); !synced.ok()) return synced;
  return reopen_io(generation);
}

}  // namespace tollivane
