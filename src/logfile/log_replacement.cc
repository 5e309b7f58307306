#include "logfile/log_replacement.h"

#include <utility>

#include "logfile/file_header.h"
#include "logfile/format.h"

namespace tollivane::logfile {

Status replace_log(const base::Directory& directory, const char* temp_name, uint64_t generation,
                   const base::FileOwnership& like, const std::function<Status(LogWriter&)>& fill) {
  // The new log is readable by no one who cannot read the old one: an
  // operator who narrowed queue.log's permissions keeps them (the umask may
  // narrow them further). It keeps the old log's owner and group too, where
  // this process may give them: a rewrite run as root must not take the
  // queue away from its user.
  Result<base::File> temp = directory.create_replacing(temp_name, like);
  if (!temp.ok()) return temp.take_error();
  base::TemporaryName pending(directory, temp_name);
  if (Status written = write_file_header(*temp, generation); !written.ok()) return written;
  LogWriter writer(std::move(*temp));
  if (fill) {
    if (Status filled = fill(writer); !filled.ok()) return filled;
  }
  if (Status flushed = writer.flush(); !flushed.ok()) return flushed;
  if (Status synced = writer.file().sync(); !synced.ok()) return synced;
  writer.file().close();
  // The rename is the commit point; before it the old log is untouched.
  if (Status renamed = directory.rename(temp_name, kLogName); !renamed.ok()) return renamed;
  pending.keep();
  // Without the directory fsync the rename itself could be lost.
  return directory.sync();
}

}  // namespace tollivane::logfile
