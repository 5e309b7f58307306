// An owned file descriptor and the few operations the log needs on it, all
// through the system-call seam, with EINTR retried and short transfers
// completed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "queue/error.h"

namespace tollivane::logfile {

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

// stat(2) of `path`, following symbolic links.
Result<PathStatus> stat_path(const std::string& path);

class File {
 public:
  // open(2) with `flags` (O_CLOEXEC is added) and `mode` for a created file.
  static Result<File> open(const std::string& path, int flags, unsigned mode = 0666);
  // open() of a file of the queue directory, which must never be reached
  // through a symbolic link: whoever can write to the directory could plant
  // one pointing at any file this process may write. O_NOFOLLOW is added and
  // a link is refused with an error that names the path.
  static Result<File> open_no_follow(const std::string& path, int flags, unsigned mode = 0666);
  // Creates a temporary file afresh for writing, with `mode` before the
  // umask. Whatever is at the path already is never opened: a leftover of a
  // failed attempt is worth nothing, and the name may be a symbolic or hard
  // link that someone who can write to the directory planted there, whose
  // target a privileged process would truncate. Unlinking removes the name,
  // never what it points to.
  static Result<File> create_replacing(const std::string& path, unsigned mode = 0666);

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
  Result<FileIdentity> identity() const;
  // The permission bits (st_mode & 07777).
  Result<unsigned> permission_bits() const;
  Status seek(uint64_t offset);
  // Reads at most `buffer.size()` bytes at the current position; 0 at the end.
  Result<size_t> read_some(std::span<uint8_t> buffer);
  // Fills `buffer` from `offset` without moving the position; false when
  // the file ends first.
  Result<bool> read_exact_at(uint64_t offset, std::span<uint8_t> buffer);
  // Writes all of `data`; a write that makes no progress is an error of kind
  // "write zero" with `zero_write_message`.
  Status write_all(std::span<const uint8_t> data, const char* zero_write_message = "failed to write whole buffer");
  Status sync();
  Status truncate(uint64_t length);
  Result<File> duplicate() const;

 private:
  explicit File(int fd) : fd_(fd) {}

  int fd_ = -1;
};

// "{directory}/{name}", or just `name` for an empty directory (the working directory).
std::string join_path(const std::string& directory, const char* name);

// mkdir -p: creates `path` and every missing ancestor (mode 0777 before the
// umask). A component that exists must be a directory.
Status create_directories(const std::string& path);

// fsyncs the directory that holds `path`, making a creation, truncation or
// rename in it durable. Nothing to do for a bare file name.
Status sync_parent_dir(const std::string& path);

Status rename_file(const std::string& from, const std::string& to);

// unlink(2): removes the name, never what a symbolic link there points to.
Status remove_file(const std::string& path);

// The name of a file written to be renamed into place (a new log). Unless
// keep() is called once the rename has succeeded, the name is removed when
// this goes out of scope: a replacement that failed, most often for lack of
// space, must not leave a partial file holding the space the queue needs to
// go on working. Nothing is lost by the removal, since the file it was to
// replace was never touched.
class TemporaryName {
 public:
  explicit TemporaryName(std::string path) : path_(std::move(path)) {}
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  ~TemporaryName();

  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace tollivane::logfile
