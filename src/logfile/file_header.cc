#include "logfile/file_header.h"

#include <cstring>

#include "logfile/endian.h"
#include "logfile/format.h"

namespace tollivane::logfile {

Result<FileHeader> read_file_header(base::File& file) {
  uint8_t header[kFileHeaderLen];
  Result<bool> read = file.read_exact_at(0, header);
  if (!read.ok()) return read.take_error();
  if (!*read) return IoError::custom(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
  FileHeader parsed;
  parsed.magic_ok = std::memcmp(header, kFileMagic, sizeof kFileMagic) == 0;
  parsed.version = get_le<uint32_t>(header + kFileVersionOffset);
  parsed.generation = get_le<uint64_t>(header + kFileGenerationOffset);
  return parsed;
}

Status write_file_header(base::File& file, uint64_t generation) {
  uint8_t header[kFileHeaderLen];
  std::memcpy(header, kFileMagic, sizeof kFileMagic);
  put_le<uint32_t>(header + kFileVersionOffset, kFormatVersion);
  put_le<uint64_t>(header + kFileGenerationOffset, generation);
  return file.write_all(header);
}

}  // namespace tollivane::logfile
