// An owned file descriptor and the few operations the log needs on it, all
// through the system-call seam, with EINTR retried and short transfers
// completed.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "base/error.h"

namespace tollivane::base {

// Which file a path or a descriptor refers to: a rename over the path gives
// it another identity, while appends and truncation keep it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct PathStatus {
  FileIdentity identity;
  uint64_t size = 0;
};

PathStatus status_of(const struct stat& info);

// Who may use a file: the owner, the group and the permission bits
// (st_mode & 07777).
struct FileOwnership {
  uint32_t owner = 0;
  uint32_t group = 0;
  unsigned permission_bits = 0;
};

class File {
 public:
  // open(2) with `flags` (O_CLOEXEC is added) and `mode` for a created file.
  // The files of a queue are opened through its Directory instead.
  static Result<File> open(const std::string& path, int flags, unsigned mode = 0666);

  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close();

  Result<uint64_t> size() const;
  Result<FileOwnership> ownership() const;
  // Gives the file the owner and group of `like`, where this process may:
  // only a privileged one can give a file away, and a user namespace may
  // have no id for the owner. Either refusal leaves the file as it is and
  // is no error.
  Status take_owner_of(const FileOwnership& like);
  Status seek(uint64_t offset);
  // Reads at most `buffer.size()` bytes at the current position; 0 at the end.
  Result<size_t> read_some(std::span<uint8_t> buffer);
  // Reads at most `buffer.size()` bytes at `offset`, without moving the
  // position; 0 at the end.
  Result<size_t> read_some_at(uint64_t offset, std::span<uint8_t> buffer);
  // Fills `buffer` from `offset` without moving the position; false when
  // the file ends first.
  Result<bool> read_exact_at(uint64_t offset, std::span<uint8_t> buffer);
  // Writes all of `data`; a write that makes no progress is an error of kind
  // "write zero" with `zero_write_message`.
  Status write_all(std::span<const uint8_t> data, const char* zero_write_message = "failed to write whole buffer");
  // fsync, with the caller's other threads let run meanwhile (blocking.h).
  Status sync() const;
  Status truncate(uint64_t length);
  Result<File> duplicate() const;

 private:
  friend class Directory;
  explicit File(int fd) : fd_(fd) {}

  int fd_ = -1;
};

// mkdir -p: creates `path` and every missing ancestor (mode 0777 before the
// umask). A component that exists must be a directory.
Status create_directories(const std::string& path);

}  // namespace tollivane::base
