#include "logfile/recovery.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <variant>

#include "logfile/file_header.h"
#include "logfile/file.h"
#include "logfile/format.h"
#include "logfile/log_reader.h"
#include "logfile/record.h"

namespace tollivane::logfile {
namespace {

Result<Recovered> create_fresh_log(File& file, const std::string& log_path) {
  // Whatever 1 to 15 bytes were there are a header torn while it was first
  // written: nothing can have been appended after it.
  if (Status cut = file.truncate(0); !cut.ok()) return cut.take_error();
  if (Status sought = file.seek(0); !sought.ok()) return sought.take_error();
  if (Status written = write_file_header(file, 0); !written.ok()) return written.take_error();
  if (Status synced = file.sync(); !synced.ok()) return synced.take_error();
  // The new file's name must be durable too, not only its bytes.
  if (Status synced = sync_parent_dir(log_path); !synced.ok()) return synced.take_error();
  Recovered fresh;
  fresh.end_offset = kFileHeaderLen;
  return fresh;
}

Status cut_tail(File& file, const std::string& log_path, uint64_t offset) {
  if (Status cut = file.truncate(offset); !cut.ok()) return cut;
  if (Status synced = file.sync(); !synced.ok()) return synced;
  return sync_parent_dir(log_path);
}

void warn(const char* what, uint64_t offset, const std::string& reason) {
  std::fprintf(stderr, "Tollivane: truncating %s log tail at byte %llu (%s)\n", what,
               static_cast<unsigned long long>(offset), reason.c_str());
  std::fflush(stderr);
}

}  // namespace

Result<Recovered> recover(const std::string& log_path) {
  Result<File> opened = File::open(log_path, O_RDWR | O_CREAT, 0666);
  if (!opened.ok()) return opened.take_error();
  File& file = *opened;
  Result<uint64_t> size = file.size();
  if (!size.ok()) return size.take_error();
  if (*size < kFileHeaderLen) return create_fresh_log(file, log_path);

  Result<FileHeader> header = read_file_header(file);
  if (!header.ok()) return header.take_error();
  if (!header->magic_ok) {
    return IoError::custom(ErrorKind::kInvalidData, "queue.log has bad magic (not a Tollivane log)");
  }

  Recovered recovered;
  recovered.generation = header->generation;
  Result<File> replay_handle = file.duplicate();
  if (!replay_handle.ok()) return replay_handle.take_error();
  if (Status sought = replay_handle->seek(kFileHeaderLen); !sought.ok()) return sought.take_error();
  LogReader reader(*replay_handle, kFileHeaderLen, *size);
  while (true) {
    const uint64_t frame_offset = reader.position();
    Result<LentFrame> frame = reader.read_lent_frame();
    if (!frame.ok()) return frame.take_error();
    if (frame->kind == FrameRead::Kind::kEof) break;
    if (frame->kind == FrameRead::Kind::kCorrupt) {
      warn("corrupt", frame_offset, frame->reason);
      if (Status cut = cut_tail(file, log_path, frame_offset); !cut.ok()) return cut.take_error();
      recovered.end_offset = frame_offset;
      return recovered;
    }
    auto decoded = decode_record_view(frame->payload);
    if (auto* failure = std::get_if<DecodeFailure>(&decoded)) {
      warn("undecodable", frame_offset, failure->reason);
      if (Status cut = cut_tail(file, log_path, frame_offset); !cut.ok()) return cut.take_error();
      recovered.end_offset = frame_offset;
      return recovered;
    }
    recovered.state.apply(std::get<RecordView>(decoded), frame_offset, /*keep_body=*/false);
  }
  recovered.end_offset = reader.position();
  return recovered;
}

}  // namespace tollivane::logfile
