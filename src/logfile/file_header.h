// The 16-byte header at the start of queue.log (layout in format.h): read by
// recovery, catch-up and verification, written by recovery, compaction and
// purge.
#pragma once

#include <cstdint>

#include "base/file.h"
#include "base/error.h"

namespace tollivane::logfile {

struct FileHeader {
  bool magic_ok = false;  // begins with "TLFL"
  uint32_t version = 0;
  uint64_t generation = 0;
};

// Reads the header at offset 0 without moving the file's position. A file
// shorter than the header is an "unexpected end of file" error with the text
// "failed to fill whole buffer".
Result<FileHeader> read_file_header(base::File& file);

// Writes a header of `generation` at the file's position (its start).
Status write_file_header(base::File& file, uint64_t generation);

}  // namespace tollivane::logfile
