#include "queue/queue.h"

namespace tollivane {

Status Queue::purge() {
  // An explicit reset: sequence ids start again at 0.
  inner_.state = QueueState();
  if (!persistent_) return Status();
  return IoError::custom(ErrorKind::kInvalidInput, "purge needs queue.log, which this build cannot open");
}

}  // namespace tollivane
