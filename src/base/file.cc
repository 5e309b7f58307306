#include "base/file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "base/blocking.h"
#include "base/system_calls.h"

namespace tollivane::base {
namespace {

IoError last_os_error() { return IoError::from_errno(errno); }

}  // namespace

Result<File> File::open(const std::string& path, int flags, unsigned mode) {
  int fd;
  do {
    fd = system_calls().open(path.c_str(), flags, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_os_error();
  return File(fd);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() { close(); }

void File::close() {
  // close(2) must not be retried on EINTR on Linux: the descriptor is gone.
  if (fd_ >= 0) (void)system_calls().close(fd_);
  fd_ = -1;
}

Result<uint64_t> File::size() const {
  struct stat info {};
  if (system_calls().fstat(fd_, &info) != 0) return last_os_error();
  return static_cast<uint64_t>(info.st_size);
}

Result<FileOwnership> File::ownership() const {
  struct stat info {};
  if (system_calls().fstat(fd_, &info) != 0) return last_os_error();
  return FileOwnership{static_cast<uint32_t>(info.st_uid), static_cast<uint32_t>(info.st_gid),
                       static_cast<unsigned>(info.st_mode & 07777)};
}

Status File::take_owner_of(const FileOwnership& like) {
  if (system_calls().fchown(fd_, static_cast<uid_t>(like.owner), static_cast<gid_t>(like.group)) == 0) {
    return Status();
  }
  if (errno == EPERM || errno == EINVAL) return Status();
  return last_os_error();
}

PathStatus status_of(const struct stat& info) {
  return PathStatus{FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)},
                    static_cast<uint64_t>(info.st_size)};
}

Status File::seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return IoError::from_errno(EINVAL);
  if (system_calls().lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return last_os_error();
  return Status();
}

Result<size_t> File::read_some(std::span<uint8_t> buffer) {
  while (true) {
    const ssize_t got = system_calls().read(fd_, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return last_os_error();
  }
}

Result<size_t> File::read_some_at(uint64_t offset, std::span<uint8_t> buffer) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return IoError::from_errno(EINVAL);
  while (true) {
    const ssize_t got = system_calls().pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return last_os_error();
  }
}

Result<bool> File::read_exact_at(uint64_t offset, std::span<uint8_t> buffer) {
  size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = system_calls().pread(fd_, buffer.data() + filled, buffer.size() - filled,
                                             static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (got == 0) return false;
    filled += static_cast<size_t>(got);
  }
  return true;
}

Status File::write_all(std::span<const uint8_t> data, const char* zero_write_message) {
  while (!data.empty()) {
    const ssize_t wrote = system_calls().write(fd_, data.data(), data.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (wrote == 0) return IoError::custom(ErrorKind::kWriteZero, zero_write_message);
    data = data.subspan(static_cast<size_t>(wrote));
  }
  return Status();
}

Status File::sync() const {
  // An fsync waits for the disk, milliseconds or, on an SD card, tens of
  // them: long enough that the caller's other threads must not wait too.
  BlockingRegion others_run;
  while (system_calls().fsync(fd_) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return Status();
}

Status File::truncate(uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return IoError::from_errno(EINVAL);
  while (system_calls().ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return Status();
}

Result<File> File::duplicate() const {
  const int fd = system_calls().dup(fd_);
  if (fd < 0) return last_os_error();
  return File(fd);
}

Status create_directories(const std::string& path) {
  // Each prefix that ends a component, then the whole path.
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') continue;
    if (path[end - 1] == '/') continue;  // repeated or trailing slash
    const std::string prefix = path.substr(0, end);
    if (system_calls().mkdir(prefix.c_str(), 0777) == 0) continue;
    const int mkdir_errno = errno;
    struct stat info {};
    if (mkdir_errno != EEXIST || system_calls().stat(prefix.c_str(), &info) != 0) {
      return IoError::from_errno(mkdir_errno);
    }
    // An existing directory is fine. Anything else there (a plain file, say)
    // is a path through something that is no directory: "File exists" would
    // send the user looking for a name to remove, not for a wrong path.
    if (!S_ISDIR(info.st_mode)) return IoError::from_errno(ENOTDIR);
  }
  return Status();
}

}  // namespace tollivane::base
