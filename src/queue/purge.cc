#include "queue/queue.h"

namespace tollivane {

Status Queue::purge() {
  if (!persistent_) {
    // An explicit reset: sequence ids start again at 0.
    inner_.state = QueueState();
    return Status();
  }

  // The log is replaced, not emptied in place: a new generation is what
  // tells the other objects to drop their state too.
  const uint64_t new_generation = inner_.generation + 1;
  Result<base::File> temp = start_log_file(logfile::kPurgeTempName, new_generation);
  if (!temp.ok()) return temp.take_error();
  base::TemporaryName pending(directory_, logfile::kPurgeTempName);
  if (Status synced = temp->sync(); !synced.ok()) return synced;
  temp->close();
  // The state is dropped only once the empty log has replaced the old one.
  // Dropped before, a failed rename would leave this object empty over a log
  // that still holds every message, and its next enqueue would hand out id 0
  // a second time. A failure after the rename leaves the handles on the old
  // file, so the next call finds the new one at the path and reloads.
  if (Status installed = install_log_file(pending, new_generation); !installed.ok()) return installed;
  inner_.state = QueueState();
  return Status();
}

}  // namespace tollivane
