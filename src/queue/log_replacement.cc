// Replacing queue.log for compaction and purge: a new file of the next
// generation, which tells every other object to reload at its next call.
#include "logfile/format.h"
#include "logfile/log_replacement.h"
#include "queue/queue.h"

namespace tollivane {

Status Queue::replace_log(const char* temp_name, const std::function<Status(logfile::LogWriter&)>& fill) {
  Result<base::FileOwnership> ownership = inner_.reader.ownership();
  if (!ownership.ok()) return ownership.take_error();
  const uint64_t new_generation = inner_.generation + 1;
  if (Status replaced = logfile::replace_log(directory_, temp_name, new_generation, *ownership, fill);
      !replaced.ok()) {
    return replaced;
  }
  return reopen_io(new_generation);
}

}  // namespace tollivane
