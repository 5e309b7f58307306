#include "queue/queue.h"

namespace tollivane {

Status Queue::compact() { return do_compact(); }

Status Queue::do_compact() {
  // Without a log there is nothing to rewrite.
  if (!persistent_) return Status();
  return IoError::custom(ErrorKind::kInvalidInput, "compaction needs queue.log, which this build cannot open");
}

}  // namespace tollivane
