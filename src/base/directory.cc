#include "base/directory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "base/system_calls.h"

namespace tollivane::base {
namespace {

IoError last_os_error() { return IoError::from_errno(errno); }

}  // namespace

Result<Directory> Directory::open(const std::string& path) {
  const std::string name = path.empty() ? "." : path;
  Result<File> handle = File::open(name, O_RDONLY | O_DIRECTORY);
  if (!handle.ok()) return handle.take_error();
  return Directory(std::move(*handle), name);
}

Result<File> Directory::open_file(const std::string& name, int flags, unsigned mode, PathStatus* status) const {
  int fd;
  do {
    fd = system_calls().openat(handle_.fd(), name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK,
                               static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ELOOP) {
    return IoError::custom(ErrorKind::kInvalidData, "refusing to open " + describe(name) + ": it is a symbolic link");
  }
  if (fd < 0) return last_os_error();
  File file(fd);
  struct stat info {};
  if (system_calls().fstat(fd, &info) != 0) return last_os_error();
  if (!S_ISREG(info.st_mode)) {
    return IoError::custom(ErrorKind::kInvalidData,
                           "refusing to open " + describe(name) + ": it is not a regular file");
  }
  if (status != nullptr) *status = status_of(info);
  return file;
}

Result<File> Directory::create_file(const std::string& name, const FileOwnership& like) const {
  Result<File> file = open_file(name, O_WRONLY | O_CREAT | O_EXCL, like.permission_bits & 0666);
  if (!file.ok()) return file;
  // Before anything is written: the owner changes with the file's metadata,
  // which the fsync of its content makes durable.
  if (Status owned = file->take_owner_of(like); !owned.ok()) {
    file->close();
    (void)remove(name);
    return owned.take_error();
  }
  return file;
}

Result<File> Directory::create_replacing(const std::string& name, const FileOwnership& like) const {
  // A planted name that keeps coming back after it was removed is given up on.
  constexpr int kCreateAttempts = 3;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    Result<File> file = create_file(name, like);
    if (file.ok() || file.error().io().os_errno() != EEXIST) return file;
    if (Status removed = remove(name); !removed.ok() && removed.error().io().os_errno() != ENOENT) {
      return removed.take_error();
    }
  }
  return IoError::from_errno(EEXIST);
}

Result<PathStatus> Directory::stat(const std::string& name) const {
  struct stat info {};
  if (system_calls().fstatat(handle_.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return last_os_error();
  return status_of(info);
}

Status Directory::rename(const std::string& from, const std::string& to) const {
  if (system_calls().renameat(handle_.fd(), from.c_str(), handle_.fd(), to.c_str()) != 0) return last_os_error();
  return Status();
}

Status Directory::remove(const std::string& name) const {
  if (system_calls().unlinkat(handle_.fd(), name.c_str(), 0) != 0) return last_os_error();
  return Status();
}

Status Directory::sync() const { return handle_.sync(); }

TemporaryName::~TemporaryName() {
  // Nothing to report to: the caller is already returning the failure.
  if (!name_.empty()) (void)directory_.remove(name_);
}

std::string Directory::describe(const std::string& name) const {
  if (!path_.empty() && path_.back() == '/') return path_ + name;
  return path_ + "/" + name;
}

}  // namespace tollivane::base
