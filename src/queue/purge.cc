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
    Result<logfile::File> temp = start_log_file(temp_path, new_generation);
    if (!temp.ok()) return temp.take_error();
    if (Status synced = temp->sync(); !synced.ok()) return synced;
  }
  return install_log_file(temp_path, new_generation);
}

}  // namespace tollivane
