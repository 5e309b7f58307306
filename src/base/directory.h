// The queue directory, held open: every file of a queue is reached through it.
//
// A queue is bound to the directory it opened, not to the name it was opened
// by. The name is resolved once, when the queue opens; from then on every
// file of the queue is opened, looked up, renamed and removed relative to the
// held descriptor (openat, fstatat, renameat, unlinkat), and the directory's
// own fsync goes through it too. A relative name followed by a chdir, a
// symbolic link switched to another directory (`current -> releases/vN`), the
// directory renamed and another one put in its place: none of these can move
// an open queue into another directory, where it would read and write another
// queue's log while holding this one's lock.
//
// All of it goes through the system-call seam (system_calls.h).
#pragma once

#include <string>

#include "base/file.h"
#include "base/error.h"

namespace tollivane::base {

class Directory {
 public:
  // Opens the directory that `path` names now ("" is the working directory),
  // following symbolic links on the way.
  static Result<Directory> open(const std::string& path);

  Directory() = default;  // no directory
  Directory(Directory&&) noexcept = default;
  Directory& operator=(Directory&&) noexcept = default;

  bool is_open() const { return handle_.is_open(); }
  // The descriptor itself, for what names the held directory rather than a
  // file in it: a watch on the directory (inotify, by /proc/self/fd/N).
  int fd() const { return handle_.fd(); }

  // openat(2) of `name` with `flags` and `mode` for a created file. A file of
  // the queue directory must never be reached through a symbolic link:
  // whoever can write to the directory could plant one pointing at any file
  // this process may write. Nor may an open hang: a FIFO planted under the
  // name would block it forever (under the process lock, stopping every
  // other process), so the open does not wait (O_NONBLOCK, which a regular
  // file ignores), and anything but a regular file is refused. Both refusals
  // are errors that name the file. `status`, when given, receives the
  // identity and size that check found, which spares the caller a call.
  Result<File> open_file(const std::string& name, int flags, unsigned mode = 0666,
                         PathStatus* status = nullptr) const;

  // Creates `name` afresh (O_EXCL; EEXIST when the name is taken, by a link
  // too) with the permission bits of `like` before the umask, and gives it
  // the owner and group of `like` where this process may. A file written by
  // root for a queue that belongs to someone else must stay theirs.
  Result<File> create_file(const std::string& name, const FileOwnership& like) const;

  // create_file() of a temporary file. Whatever holds the name already is
  // never opened: a leftover of a failed attempt is worth nothing, and the
  // name may be a symbolic or hard link that someone who can write to the
  // directory planted there, whose target a privileged process would
  // truncate. Unlinking removes the name, never what it points to.
  Result<File> create_replacing(const std::string& name, const FileOwnership& like) const;

  // fstatat(2) of `name`, not following a symbolic link.
  Result<PathStatus> stat(const std::string& name) const;
  // renameat(2) within the directory.
  Status rename(const std::string& from, const std::string& to) const;
  // unlinkat(2): removes the name, never what a symbolic link there points to.
  Status remove(const std::string& name) const;
  // fsyncs the directory itself, making the creations, renames and removals
  // in it durable.
  Status sync() const;

  // "{path}/{name}", for messages only: by now the path may name another
  // directory, or none.
  std::string describe(const std::string& name) const;

 private:
  Directory(File handle, std::string path) : handle_(std::move(handle)), path_(std::move(path)) {}

  File handle_;
  std::string path_;
};

// The name of a file written in the directory to be renamed into place (a
// new log). Unless keep() is called once the rename has succeeded, the name
// is removed when this goes out of scope: a replacement that failed, most
// often for lack of space, must not leave a partial file holding the space
// the queue needs to go on working. Nothing is lost by the removal, since
// the file it was to replace was never touched.
class TemporaryName {
 public:
  TemporaryName(const Directory& directory, std::string name) : directory_(directory), name_(std::move(name)) {}
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  ~TemporaryName();

  const std::string& name() const { return name_; }
  void keep() { name_.clear(); }

 private:
  const Directory& directory_;
  std::string name_;
};

}  // namespace tollivane::base
