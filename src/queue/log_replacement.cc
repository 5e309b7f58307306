// Replacing queue.log for compaction and purge: a new file of the next
// generation, which tells every other object to reload at its next call.
#include "base/blocking.h"
#include "logfile/format.h"
#include "logfile/log_replacement.h"
#include "queue/queue.h"

namespace tollivane {

Status Queue::replace_log(const char* temp_name, const std::function<Status(logfile::LogWriter&)>& fill) {
  // Writing and fsyncing a whole log: the caller's other threads run
  // meanwhile. `fill` reads bodies from the log and nothing of the caller's.
  base::BlockingRegion others_run;
  Result<base::FileOwnership> ownership = inner_.reader.ownership();
  if (!ownership.ok()) return ownership.take_error();
  const uint64_t new_generation = inner_.generation + 1;
  if (Status replaced = logfile::replace_log(directory_, temp_name, new_generation, *ownership, fill);
      !replaced.ok()) {
    return replaced;
  }
  if (Status reopened = reopen_io(new_generation); !reopened.ok()) return reopened;
  // The new log was fsynced whole before the rename: the calls that follow
  // owe nothing for it.
  inner_.log_sync->note_durable(inner_.tail_offset);
  return Status();
}

}  // namespace tollivane
