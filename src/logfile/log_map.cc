#include "logfile/log_map.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/file.h"
#include "logfile/format.h"
#include "base/system_calls.h"

namespace tollivane::logfile {

LogMap::LogMap(LogMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), mapped_len_(std::exchange(other.mapped_len_, 0)) {}

LogMap& LogMap::operator=(LogMap&& other) noexcept {
  if (this != &other) {
    drop();
    data_ = std::exchange(other.data_, nullptr);
    mapped_len_ = std::exchange(other.mapped_len_, 0);
  }
  return *this;
}

void LogMap::drop() {
  if (data_ != nullptr) {
    (void)base::system_calls().munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(mapped_len_));
  }
  data_ = nullptr;
  mapped_len_ = 0;
}

Status LogMap::remap(const base::Directory& directory) {
  // A fresh handle: the map must show the file now at the name.
  base::PathStatus opened;
  Result<base::File> file = directory.open_file(kLogName, O_RDONLY, 0, &opened);
  if (!file.ok()) return file.take_error();
  const uint64_t length = opened.size;
  // The whole log must fit the address space: at most 2 GiB on 32-bit targets.
  if (length > static_cast<uint64_t>(PTRDIFF_MAX)) {
    return IoError::custom(ErrorKind::kInvalidData, "memory map length overflows isize");
  }
  const uint8_t* data = nullptr;
  if (length > 0) {
    void* mapped = base::system_calls().mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, file->fd(), 0);
    if (mapped == MAP_FAILED) return IoError::from_errno(errno);  // the old map stays
    data = static_cast<const uint8_t*>(mapped);
  }
  drop();
  data_ = data;
  mapped_len_ = length;
  return Status();
}

Result<std::span<const uint8_t>> LogMap::read(const base::Directory& directory, uint64_t body_offset, uint32_t body_len) {
  const uint64_t end = body_offset + body_len;
  if (data_ == nullptr || mapped_len_ < end) {
    if (Status mapped = remap(directory); !mapped.ok()) return mapped.take_error();
  }
  if (end < body_offset || mapped_len_ < end) return Error::body_out_of_bounds(end, mapped_len_);
  if (body_len == 0) return std::span<const uint8_t>();
  return std::span<const uint8_t>(data_ + body_offset, body_len);
}

}  // namespace tollivane::logfile
