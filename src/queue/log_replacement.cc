// Replacing queue.log by a new file, for compaction and purge.
//
// The new file is written completely and fsynced under a temporary name,
// then renamed over the log, and the directory is fsynced: a crash at any
// moment leaves either the old log or the whole new one at the path, never
// a mixture. A failure before the rename removes the temporary file again;
// one left behind all the same (by a crash) is replaced by the next attempt.

#include "logfile/file_header.h"
#include "queue/queue.h"

namespace tollivane {
Result<logfile::File> Queue::start_log_file(const std::string& temp_path, uint64_t generation) {
  // The new log is readable by no one who cannot read the old one: an
  // operator who narrowed queue.log's permissions keeps them across a
  // compaction or purge (the umask may narrow them further).
  Result<unsigned> mode = inner_.reader.permission_bits();
  if (!mode.ok()) return mode.take_error();
  Result<logfile::File> file = logfile::File::create_replacing(temp_path, *mode & 0666);
  if (!file.ok()) return file;
  if (Status written = logfile::write_file_header(*file, generation); !written.ok()) {
    (void)logfile::remove_file(temp_path);
    return written.take_error();
  }
  return file;
}

Status Queue::install_log_file(logfile::TemporaryName& temp, uint64_t generation) {
  // The rename is the commit point; before it the old log is untouched.
  if (Status renamed = logfile::rename_file(temp.path(), log_path_); !renamed.ok()) return renamed;
  temp.keep();
  // Without the directory fsync the rename itself could be lost.
  if (Status synced = logfile::sync_parent_dir(log_path_); !synced.ok()) return synced;
  return reopen_io(generation);
}

}  // namespace tollivane
