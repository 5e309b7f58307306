// Body reads through a read-only, shared memory map of the whole log.
//
// Bodies stay in the file; the state keeps only where each one lies. The map
// is made on the first read and made again only when a body lies past its
// end (the log grew since), so one remap serves every body appended before
// it and a read inside the map costs no system call.
#pragma once

#include <cstdint>
#include <span>

#include "base/directory.h"
#include "base/error.h"

namespace tollivane::logfile {

class LogMap {
 public:
  LogMap() = default;
  LogMap(LogMap&& other) noexcept;
  LogMap& operator=(LogMap&& other) noexcept;
  LogMap(const LogMap&) = delete;
  LogMap& operator=(const LogMap&) = delete;
  ~LogMap() { drop(); }

  // The `body_len` bytes at `body_offset` of queue.log in `directory`. The
  // span is valid until the next read() or drop(). A body past the end of
  // the file even after remapping is Error::body_out_of_bounds.
  Result<std::span<const uint8_t>> read(const base::Directory& directory, uint64_t body_offset, uint32_t body_len);

  // Forgets the map, for when another file took the log's place.
  void drop();

  uint64_t mapped_len() const { return mapped_len_; }

 private:
  Status remap(const base::Directory& directory);

  const uint8_t* data_ = nullptr;
  uint64_t mapped_len_ = 0;
};

}  // namespace tollivane::logfile
