#include <fcntl.h>

#include "logfile/recovery.h"
#include "queue/queue.h"

namespace tollivane {

Status Queue::purge() {
  // An explicit reset: sequence ids start again at 0.
  inner_.state = QueueState();
  if (!persistent_) return Status();

  // The log is replaced, not emptied in place: a new generation is what
  // tells the other objects to drop their state too.
  const uint64_t new_generation = inner_.generation + 1;
  const std::string temp_path = sibling_path("queue.purge.tmp");
  {
    Result<logfile::File> temp = logfile::File::open(temp_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!temp.ok()) return temp.take_error();
    if (Status written = logfile::write_file_header(*temp, new_generation); !written.ok()) return written;
    if (Status synced = temp->sync(); !synced.ok()) return synced;
  }
  if (Status renamed = logfile::rename_file(temp_path, log_path_); !renamed.ok()) return renamed;
  if (Status synced = logfile::sync_parent_dir(log_path_); !synced.ok()) return synced;
  return reopen_io(new_generation);
}

}  // namespace tollivane
