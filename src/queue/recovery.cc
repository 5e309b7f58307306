#include "queue/recovery.h"

#include <fcntl.h>

#include <string>

#include "base/file.h"
#include "logfile/file_header.h"
#include "logfile/format.h"
#include "logfile/log_replacement.h"
#include "logfile/tail_cut.h"

namespace tollivane {
namespace {

Result<Recovered> create_fresh_log(const base::Directory& directory, const base::FileOwnership& like) {
  // Whatever 1 to 15 bytes were there are a header torn while it was first
  // written: nothing can have been appended after it. The header is written
  // beside the log and renamed over it. Written in place, a power loss
  // before its fsync could leave a file of 16 bytes or more that never got
  // its header (a file system may extend it with zeros or stale blocks),
  // which every later open would refuse as not a Tollivane log.
  if (Status replaced = logfile::replace_log(directory, logfile::kFreshLogTempName, 0, like); !replaced.ok()) {
    return replaced.take_error();
  }
  Recovered fresh;
  fresh.end_offset = logfile::kFileHeaderLen;
  return fresh;
}

Status check_header(const logfile::FileHeader& header) {
  if (!header.magic_ok) {
    return IoError::custom(ErrorKind::kInvalidData, "queue.log has bad magic (not a Tollivane log)");
  }
  if (header.version != logfile::kFormatVersion) {
    // Another version's frames may be laid out or mean something else: this
    // build would cut at the first one it cannot read and so destroy a log
    // that a newer build wrote. Refused, every byte is kept for that build.
    return IoError::custom(ErrorKind::kInvalidData, "queue.log has format version " + std::to_string(header.version) +
                                                        ", which this build cannot read (it reads version " +
                                                        std::to_string(logfile::kFormatVersion) + ")");
  }
  return Status();
}

}  // namespace

Result<const logfile::ScannedFrame*> replay_next(logfile::FrameScanner& scanner, QueueState& state) {
  Result<const logfile::ScannedFrame*> frame = scanner.next();
  if (frame.ok() && *frame != nullptr) state.apply((*frame)->record, (*frame)->offset, /*keep_body=*/false);
  return frame;
}

Status replay_frames(logfile::FrameScanner& scanner, QueueState& state) {
  while (true) {
    Result<const logfile::ScannedFrame*> frame = replay_next(scanner, state);
    if (!frame.ok()) return frame.take_error();
    if (*frame == nullptr) return Status();
  }
}

Result<Recovered> recover(const base::Directory& directory) {
  // Never through a link: a file shorter than a header would be overwritten.
  Result<base::File> opened = directory.open_file(logfile::kLogName, O_RDWR | O_CREAT, 0666);
  if (!opened.ok()) return opened.take_error();
  base::File& file = *opened;
  Result<uint64_t> size = file.size();
  if (!size.ok()) return size.take_error();
  if (*size < logfile::kFileHeaderLen) {
    // The replacement keeps the owner and permissions of the file it replaces.
    Result<base::FileOwnership> ownership = file.ownership();
    if (!ownership.ok()) return ownership.take_error();
    return create_fresh_log(directory, *ownership);
  }
  Result<logfile::FileHeader> header = logfile::read_file_header(file);
  if (!header.ok()) return header.take_error();
  if (Status usable = check_header(*header); !usable.ok()) return usable.take_error();

  Recovered recovered;
  recovered.generation = header->generation;
  Result<base::File> replay_handle = file.duplicate();
  if (!replay_handle.ok()) return replay_handle.take_error();
  logfile::FrameScanner scanner(*replay_handle, logfile::kFileHeaderLen, *size);
  if (Status replayed = replay_frames(scanner, recovered.state); !replayed.ok()) return replayed.take_error();
  if (!scanner.end().clean()) {
    if (Status cut = logfile::cut_damaged_tail(file, directory, scanner.end(), logfile::CutMoment::kAtOpen);
        !cut.ok()) {
      return cut.take_error();
    }
  }
  recovered.end_offset = scanner.position();
  return recovered;
}

}  // namespace tollivane
