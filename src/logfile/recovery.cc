#include "logfile/recovery.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

#include "logfile/damaged_copy.h"
#include "logfile/file_header.h"
#include "base/file.h"
#include "logfile/format.h"
#include "logfile/log_reader.h"
#include "logfile/record.h"

namespace tollivane::logfile {
namespace {

Result<Recovered> create_fresh_log(const base::Directory& directory, const base::FileOwnership& like) {
  // Whatever 1 to 15 bytes were there are a header torn while it was first
  // written: nothing can have been appended after it. The header is written
  // beside the log and renamed over it, as purge does. Written in place, a
  // power loss before its fsync could leave a file of 16 bytes or more that
  // never got its header (a file system may extend it with zeros or stale
  // blocks), which every later open would refuse as not a Tollivane log.
  Result<base::File> temp = directory.create_replacing(kPurgeTempName, like);
  if (!temp.ok()) return temp.take_error();
  base::TemporaryName pending(directory, kPurgeTempName);
  if (Status written = write_file_header(*temp, 0); !written.ok()) return written.take_error();
  if (Status synced = temp->sync(); !synced.ok()) return synced.take_error();
  temp->close();
  if (Status renamed = directory.rename(kPurgeTempName, kLogName); !renamed.ok()) return renamed.take_error();
  pending.keep();
  // The new file's name must be durable too, not only its bytes.
  if (Status synced = directory.sync(); !synced.ok()) return synced.take_error();
  Recovered fresh;
  fresh.end_offset = kFileHeaderLen;
  return fresh;
}

Status cut_tail(base::File& file, const base::Directory& directory, uint64_t offset) {
  if (Status cut = file.truncate(offset); !cut.ok()) return cut;
  if (Status synced = file.sync(); !synced.ok()) return synced;
  return directory.sync();
}

void warn(const char* what, uint64_t offset, const std::string& reason) {
  std::fprintf(stderr, "Tollivane: truncating %s log tail at byte %llu (%s)\n", what,
               static_cast<unsigned long long>(offset), reason.c_str());
  std::fflush(stderr);
}

// Cuts the log at the bad frame found at `offset`. Records that intact
// frames behind it still hold are saved first; if that fails nothing is cut.
Status repair(base::File& file, const base::Directory& directory, uint64_t offset, const char* what, const std::string& reason) {
  Result<std::string> saved = save_damaged_region(file, directory, offset);
  if (!saved.ok()) return saved.take_error();
  warn(what, offset, reason);
  return cut_tail(file, directory, offset);
}

}  // namespace

Result<Recovered> recover(const base::Directory& directory) {
  // Never through a link: a file shorter than a header would be overwritten.
  Result<base::File> opened = directory.open_file(kLogName, O_RDWR | O_CREAT, 0666);
  if (!opened.ok()) return opened.take_error();
  base::File& file = *opened;
  Result<uint64_t> size = file.size();
  if (!size.ok()) return size.take_error();
  if (*size < kFileHeaderLen) {
    // The replacement keeps the owner and permissions of the file it replaces.
    Result<base::FileOwnership> ownership = file.ownership();
    if (!ownership.ok()) return ownership.take_error();
    return create_fresh_log(directory, *ownership);
  }

  Result<FileHeader> header = read_file_header(file);
  if (!header.ok()) return header.take_error();
  if (!header->magic_ok) {
    return IoError::custom(ErrorKind::kInvalidData, "queue.log has bad magic (not a Tollivane log)");
  }
  if (header->version != kFormatVersion) {
    // Another version's frames may be laid out or mean something else: this
    // build would cut at the first one it cannot read and so destroy a log
    // that a newer build wrote. Refused, every byte is kept for that build.
    return IoError::custom(ErrorKind::kInvalidData, "queue.log has format version " + std::to_string(header->version) +
                                                        ", which this build cannot read (it reads version " +
                                                        std::to_string(kFormatVersion) + ")");
  }

  Recovered recovered;
  recovered.generation = header->generation;
  Result<base::File> replay_handle = file.duplicate();
  if (!replay_handle.ok()) return replay_handle.take_error();
  if (Status sought = replay_handle->seek(kFileHeaderLen); !sought.ok()) return sought.take_error();
  LogReader reader(*replay_handle, kFileHeaderLen, *size);
  while (true) {
    const uint64_t frame_offset = reader.position();
    Result<LentFrame> frame = reader.read_lent_frame();
    if (!frame.ok()) return frame.take_error();
    if (frame->kind == FrameRead::Kind::kEof) break;
    if (frame->kind == FrameRead::Kind::kCorrupt) {
      if (Status cut = repair(file, directory, frame_offset, "corrupt", frame->reason); !cut.ok()) {
        return cut.take_error();
      }
      recovered.end_offset = frame_offset;
      return recovered;
    }
    auto decoded = decode_record_view(frame->payload);
    if (auto* failure = std::get_if<DecodeFailure>(&decoded)) {
      if (Status cut = repair(file, directory, frame_offset, "undecodable", failure->reason); !cut.ok()) {
        return cut.take_error();
      }
      recovered.end_offset = frame_offset;
      return recovered;
    }
    recovered.state.apply(std::get<RecordView>(decoded), frame_offset, /*keep_body=*/false);
  }
  recovered.end_offset = reader.position();
  return recovered;
}

}  // namespace tollivane::logfile
