#include "logfile/format.h"
#include "queue/queue.h"

namespace tollivane {

Status QueueCall::purge() {
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  if (!queue_->persistent_) {
    // An explicit reset: sequence ids start again at 0.
    queue_->inner_.state = QueueState();
    return Status();
  }

  // The log is replaced, not emptied in place: a new generation is what
  // tells the other objects to drop their state too.
  //
  // The state is dropped only once the empty log has replaced the old one.
  // Dropped before, a failed rename would leave this object empty over a log
  // that still holds every message, and its next enqueue would hand out id 0
  // a second time. A failure after the rename leaves the handles on the old
  // file, so the next call finds the new one at the path and reloads.
  if (Status replaced = queue_->replace_log(logfile::kPurgeTempName); !replaced.ok()) return replaced;
  queue_->inner_.state = QueueState();
  return Status();
}

}  // namespace tollivane
