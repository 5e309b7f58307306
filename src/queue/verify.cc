// Integrity verification: re-reads the whole log and reports what it finds,
// changing nothing. Damage is reported in the result, never cut.
#include <fcntl.h>

#include <string>

#include "base/blocking.h"
#include "logfile/file_header.h"
#include "logfile/format.h"
#include "logfile/frame_scanner.h"
#include "queue/queue.h"

namespace tollivane {

IntegrityReport foreign_log_report() { return IntegrityReport{false, 0, logfile::kFileHeaderLen, "bad file magic"}; }

IntegrityReport integrity_report(uint64_t records, const logfile::LogEnd& end) {
  if (end.clean()) return IntegrityReport{true, records, end.offset, "clean"};
  // A frame that does not decode is damage like a torn one: the next open
  // or catch-up cuts the log there all the same.
  return IntegrityReport{false, records, end.offset,
                         "corrupt tail at byte " + std::to_string(end.offset) + ": " + end.reason};
}

Result<IntegrityReport> QueueCall::verify_integrity() {
  if (!queue_->persistent_) return IntegrityReport{true, 0, 0, ":memory: queue has no on-disk log"};
  if (Status refused = queue_->refuse_if_always_waiting(); !refused.ok()) return refused;
  // Reading the whole log: the caller's other threads run meanwhile.
  base::BlockingRegion others_run;
  // Opened by name: whatever file is there now, even one another process
  // just put in place.
  Result<base::File> file = queue_->directory_.open_file(logfile::kLogName, O_RDONLY);
  if (!file.ok()) return file.take_error();
  Result<uint64_t> file_len = file->size();
  if (!file_len.ok()) return file_len.take_error();
  Result<logfile::FileHeader> header = logfile::read_file_header(*file);
  if (!header.ok()) return header.take_error();
  if (!header->magic_ok) return foreign_log_report();

  logfile::FrameScanner scanner(*file, logfile::kFileHeaderLen, *file_len);
  uint64_t records = 0;
  while (true) {
    Result<const logfile::ScannedFrame*> frame = scanner.next();
    if (!frame.ok()) return frame.take_error();
    if (*frame == nullptr) return integrity_report(records, scanner.end());
    records += 1;
  }
}

}  // namespace tollivane
