#include "fault_injection.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cassert>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace tollivane::test_support {
namespace {

const base::SystemCalls& real() { return base::real_system_calls(); }

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool is_regular_file(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool is_directory_fd(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

// Where the directory open as `fd` is now, as the kernel knows it.
std::string directory_path(int fd) {
  char target[PATH_MAX];
  const ssize_t len = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  return len > 0 ? std::string(target, static_cast<size_t>(len)) : std::string();
}

std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

// Whether `path` names the file open as `fd`.
bool names_file_of(const std::string& path, int fd) {
  struct stat by_name {}, by_descriptor {};
  return ::stat(path.c_str(), &by_name) == 0 && ::fstat(fd, &by_descriptor) == 0 &&
         by_name.st_dev == by_descriptor.st_dev && by_name.st_ino == by_descriptor.st_ino;
}

// Puts `content` in the file at `path` without cutting it to nothing first:
// other threads of the process may have the file mapped (the hint page), and
// a touch of a page past a moment's end of the file would raise SIGBUS.
void rewrite_in_place(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  (void)::ftruncate(fd, static_cast<off_t>(content.size()));
  ::close(fd);
}

// Runs what an after() rule asked for, once the real call is made.
void finish(const std::function<void()>& after) {
  if (after) after();
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

ScratchDirectory::ScratchDirectory(const std::string& base) {
  std::string pattern = base + "/tollivane-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

FaultyFileSystem* FaultyFileSystem::active_ = nullptr;

// The table's entries. Each asks decide() first (which counts the call and
// may fail it), then makes the real call without holding the mutex (a call
// may block), then records what the call changed. errno on return is the
// injected one or the real call's.
struct Trampolines {
  static FaultyFileSystem& fs() { return *FaultyFileSystem::active_; }

  static int open(const char* path, int flags, mode_t mode) {
    return tracked_open(path, flags, [&] { return real().open(path, flags, mode); });
  }
  static int openat(int directory_fd, const char* name, int flags, mode_t mode) {
    return tracked_open(fs().path_in(directory_fd, name), flags,
                        [&] { return real().openat(directory_fd, name, flags, mode); });
  }
  // Counts, may fail, and tracks the file that `open_file` opens at `path`.
  template <typename OpenFile>
  static int tracked_open(const std::string& path, int flags, OpenFile open_file) {
    const auto decision = fs().decide(Call::kOpen, path);
    if (decision.error != 0) return errno = decision.error, -1;
    const bool creates = (flags & O_CREAT) != 0 && ::access(path.c_str(), F_OK) != 0;
    // A file seen for the first time counts as durable as it is; one that
    // open creates, as durable with no content.
    bool tracked;
    {
      std::lock_guard lock(fs().mutex_);
      tracked = fs().durable_.contains(path);
    }
    int fd;
    int saved;
    {
      std::shared_lock gate(fs().io_gate_);
      const std::string prior = !tracked && is_regular_file(path.c_str()) ? read_file(path) : std::string();
      fd = open_file();
      saved = errno;
      if (fd >= 0) {
        std::lock_guard lock(fs().mutex_);
        fs().fd_paths_[fd] = path;
        if (is_regular_file(path.c_str())) fs().durable_.try_emplace(path, prior);
        if (creates) fs().unsynced_names_.push_back({std::string(), path, std::nullopt, fs().next_name_serial_++});
      }
    }
    finish(decision.after);
    errno = saved;
    return fd;
  }
  static int close(int fd) {
    if (int error = fs().decide(Call::kClose, fd).error) return errno = error, -1;
    {
      std::lock_guard lock(fs().mutex_);
      fs().fd_paths_.erase(fd);
    }
    return real().close(fd);
  }
  static ssize_t read(int fd, void* buffer, size_t count) {
    if (int error = fs().decide(Call::kRead, fd).error) return errno = error, -1;
    return real().read(fd, buffer, count);
  }
  static ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    if (int error = fs().decide(Call::kRead, fd).error) return errno = error, -1;
    return real().pread(fd, buffer, count, offset);
  }
  static ssize_t write(int fd, const void* buffer, size_t count) {
    const auto decision = fs().decide(Call::kWrite, fd);
    if (decision.error != 0) return errno = decision.error, -1;
    if (decision.cut) count = std::min(count, decision.cut_bytes);
    ssize_t result;
    {
      std::shared_lock gate(fs().io_gate_);
      result = count == 0 ? 0 : real().write(fd, buffer, count);
    }
    const int saved = errno;
    finish(decision.after);
    errno = saved;
    return result;
  }
  static off_t lseek(int fd, off_t offset, int whence) {
    if (int error = fs().decide(Call::kLseek, fd).error) return errno = error, -1;
    return real().lseek(fd, offset, whence);
  }
  static int fstat(int fd, struct stat* info) {
    if (int error = fs().decide(Call::kFstat, fd).error) return errno = error, -1;
    return real().fstat(fd, info);
  }
  static int stat(const char* path, struct stat* info) {
    if (int error = fs().decide(Call::kStat, path).error) return errno = error, -1;
    return real().stat(path, info);
  }
  static int fstatat(int directory_fd, const char* name, struct stat* info, int flags) {
    if (int error = fs().decide(Call::kStat, fs().path_in(directory_fd, name)).error) return errno = error, -1;
    return real().fstatat(directory_fd, name, info, flags);
  }
  static int fsync(int fd) {
    const bool directory = is_directory_fd(fd);
    // A directory is known by where it is now: it may have been renamed.
    const std::string path = directory ? directory_path(fd) : fs().path_of(fd);
    const auto decision = fs().decide(directory ? Call::kSyncDir : Call::kFsync, path);
    if (decision.error != 0) return errno = decision.error, -1;
    // What the fsync covers: the content and the names as they are when it
    // begins, with no change by another thread half made. A descriptor of a
    // file that a rename has replaced still carries the name, which is now
    // another file's: its fsync covers nothing that name holds.
    std::optional<std::string> content;
    uint64_t names_before;
    std::chrono::microseconds wait;
    {
      std::unique_lock gate(fs().io_gate_);
      std::lock_guard lock(fs().mutex_);
      if (fs().durable_.contains(path) && names_file_of(path, fd)) content = read_file(path);
      names_before = fs().next_name_serial_;
      wait = directory ? std::chrono::microseconds(0) : fs().fsync_wait_;
    }
    if (wait.count() > 0) std::this_thread::sleep_for(wait);
    const int result = real().fsync(fd);
    const int saved = errno;
    if (result == 0) {
      std::unique_lock gate(fs().io_gate_);
      std::lock_guard lock(fs().mutex_);
      auto tracked = fs().durable_.find(path);
      if (tracked != fs().durable_.end() && content && names_file_of(path, fd)) tracked->second = *content;
      if (directory) {
        std::erase_if(fs().unsynced_names_, [&](const auto& change) {
          return change.serial < names_before && parent_of(change.to) == path;
        });
      }
    }
    finish(decision.after);
    errno = saved;
    return result;
  }
  static int ftruncate(int fd, off_t length) {
    const auto decision = fs().decide(Call::kFtruncate, fd);
    if (decision.error != 0) return errno = decision.error, -1;
    int result;
    {
      std::shared_lock gate(fs().io_gate_);
      result = real().ftruncate(fd, length);
    }
    const int saved = errno;
    finish(decision.after);
    errno = saved;
    return result;
  }
  static int renameat(int from_directory_fd, const char* from_name, int to_directory_fd, const char* to_name) {
    const std::string from = fs().path_in(from_directory_fd, from_name);
    const std::string to = fs().path_in(to_directory_fd, to_name);
    const auto decision = fs().decide(Call::kRename, from);
    if (decision.error != 0) return errno = decision.error, -1;
    std::optional<std::string> replaced;
    std::shared_lock gate(fs().io_gate_);
    {
      std::lock_guard lock(fs().mutex_);
      auto tracked = fs().durable_.find(to);
      if (tracked != fs().durable_.end()) replaced = tracked->second;
    }
    const int result = real().renameat(from_directory_fd, from_name, to_directory_fd, to_name);
    const int saved = errno;
    if (result == 0) {
      // The file now at `to` is the one that was at `from`, durable content
      // and open descriptors included.
      std::lock_guard lock(fs().mutex_);
      auto moved = fs().durable_.extract(from);
      fs().durable_.erase(to);
      if (!moved.empty()) {
        moved.key() = to;
        fs().durable_.insert(std::move(moved));
      }
      for (auto& [fd, path] : fs().fd_paths_) {
        if (path == from) path = to;
      }
      fs().unsynced_names_.push_back({from, to, std::move(replaced), fs().next_name_serial_++});
    }
    gate.unlock();
    finish(decision.after);
    errno = saved;
    return result;
  }
  static int mkdir(const char* path, mode_t mode) {
    if (int error = fs().decide(Call::kMkdir, path).error) return errno = error, -1;
    return real().mkdir(path, mode);
  }
  static int dup(int fd) {
    if (int error = fs().decide(Call::kDup, fd).error) return errno = error, -1;
    const int copy = real().dup(fd);
    if (copy >= 0) {
      const std::string path = fs().path_of(fd);
      std::lock_guard lock(fs().mutex_);
      fs().fd_paths_[copy] = path;
    }
    return copy;
  }
  static void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    const auto decision = fs().decide(Call::kMmap, fd);
    if (decision.error != 0) return errno = decision.error, MAP_FAILED;
    void* result = real().mmap(address, length, protection, flags, fd, offset);
    const int saved = errno;
    finish(decision.after);
    errno = saved;
    return result;
  }
  static int munmap(void* address, size_t length) {
    if (int error = fs().decide(Call::kMunmap, std::string()).error) return errno = error, -1;
    return real().munmap(address, length);
  }
  static int flock(int fd, int operation) {
    const auto decision = fs().decide(Call::kFlock, fd);
    if (decision.error != 0) return errno = decision.error, -1;
    const int result = real().flock(fd, operation);
    const int saved = errno;
    finish(decision.after);
    errno = saved;
    return result;
  }
  static int unlinkat(int directory_fd, const char* name, int flags) {
    const std::string path = fs().path_in(directory_fd, name);
    if (int error = fs().decide(Call::kUnlink, path).error) return errno = error, -1;
    std::shared_lock gate(fs().io_gate_);
    const int result = real().unlinkat(directory_fd, name, flags);
    const int saved = errno;
    if (result == 0) {
      std::lock_guard lock(fs().mutex_);
      fs().durable_.erase(path);
    }
    errno = saved;
    return result;
  }
  static int fchown(int fd, uid_t owner, gid_t group) {
    if (int error = fs().decide(Call::kFchown, fd).error) return errno = error, -1;
    return real().fchown(fd, owner, group);
  }
  static int inotify_init1(int flags) {
    if (int error = fs().decide(Call::kWatch, std::string()).error) return errno = error, -1;
    return real().inotify_init1(flags);
  }
  static int inotify_add_watch(int fd, const char* path, uint32_t mask) {
    if (int error = fs().decide(Call::kWatch, std::string(path)).error) return errno = error, -1;
    return real().inotify_add_watch(fd, path, mask);
  }
  static int inotify_rm_watch(int fd, int watch) { return real().inotify_rm_watch(fd, watch); }
  static int eventfd(unsigned initial_value, int flags) { return real().eventfd(initial_value, flags); }
  static int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* signal_mask) {
    if (int error = fs().decide(Call::kPoll, std::string()).error) return errno = error, -1;
    return real().ppoll(fds, count, timeout, signal_mask);
  }
  static long futex(uint32_t* word, int operation, uint32_t value, const struct timespec* timeout) {
    const auto decision = fs().decide(Call::kFutex, std::string());
    if (decision.error != 0) return errno = decision.error, -1;
    const long result = real().futex(word, operation, value, timeout);
    const int saved = errno;
    finish(decision.after);
    errno = saved;
    return result;
  }
  static int epoll_create1(int flags) {
    if (int error = fs().decide(Call::kWatch, std::string()).error) return errno = error, -1;
    return real().epoll_create1(flags);
  }
  static int epoll_ctl(int epoll_fd, int operation, int fd, struct epoll_event* event) {
    return real().epoll_ctl(epoll_fd, operation, fd, event);
  }
};

namespace {

const base::SystemCalls kTable = {
    Trampolines::open,     Trampolines::openat,   Trampolines::close, Trampolines::read,   Trampolines::pread,
    Trampolines::write,    Trampolines::lseek,    Trampolines::fstat, Trampolines::stat,   Trampolines::fstatat,
    Trampolines::fsync,    Trampolines::ftruncate, Trampolines::renameat, Trampolines::mkdir, Trampolines::dup,
    Trampolines::mmap,     Trampolines::munmap,   Trampolines::flock, Trampolines::unlinkat, Trampolines::fchown,
    Trampolines::inotify_init1, Trampolines::inotify_add_watch, Trampolines::inotify_rm_watch, Trampolines::eventfd,
    Trampolines::ppoll,         Trampolines::futex, Trampolines::epoll_create1, Trampolines::epoll_ctl,
};

}  // namespace

FaultyFileSystem::FaultyFileSystem(uint64_t seed) : random_(seed) {
  assert(active_ == nullptr && "one FaultyFileSystem at a time");
  active_ = this;
  base::set_system_calls_for_testing(&kTable);
}

FaultyFileSystem::~FaultyFileSystem() {
  base::set_system_calls_for_testing(nullptr);
  active_ = nullptr;
}

void FaultyFileSystem::fail(Call call, int error, std::string_view path_suffix, uint64_t nth, uint64_t times) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{call, error, std::string(path_suffix), nth, nth + times - 1, 0});
}

void FaultyFileSystem::short_write(size_t bytes, std::string_view path_suffix, uint64_t nth) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{Call::kWrite, 0, std::string(path_suffix), nth, nth, bytes});
}

void FaultyFileSystem::after(Call call, std::string_view path_suffix, uint64_t nth, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{call, 0, std::string(path_suffix), nth, nth, 0, 0, std::move(action)});
}

void FaultyFileSystem::slow_fsyncs(std::chrono::microseconds wait) {
  std::lock_guard lock(mutex_);
  fsync_wait_ = wait;
}

void FaultyFileSystem::clear_faults() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

uint64_t FaultyFileSystem::faults_fired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

uint64_t FaultyFileSystem::count(Call call, std::string_view path_suffix) const {
  std::lock_guard lock(mutex_);
  uint64_t total = 0;
  for (const auto& [key, n] : counts_) {
    if (key.first == call && ends_with(key.second, path_suffix)) total += n;
  }
  return total;
}

void FaultyFileSystem::reset_counts() {
  std::lock_guard lock(mutex_);
  counts_.clear();
}

size_t FaultyFileSystem::open_descriptors() const {
  std::lock_guard lock(mutex_);
  return fd_paths_.size();
}

void FaultyFileSystem::crash(CrashMode mode, Names names) {
  std::unique_lock gate(io_gate_);
  std::lock_guard lock(mutex_);
  crash_images(mode, names);
}

void FaultyFileSystem::crash_and_kill(CrashMode mode, Names names) {
  // Neither is ever released: every other thread stops at its next call
  // that reaches a file, until the kill ends them all.
  io_gate_.lock();
  mutex_.lock();
  crash_images(mode, names);
  ::raise(SIGKILL);
  std::abort();
}

void FaultyFileSystem::crash_images(CrashMode mode, Names names) {
  for (auto& [path, durable] : durable_) {
    if (!is_regular_file(path.c_str())) continue;  // removed behind the seam's back
    const std::string current = read_file(path);
    std::string survivor = durable;
    if (mode == CrashMode::kKeepRandomPrefix && current.size() > durable.size() && current.starts_with(durable)) {
      // Pages reach the disk in no particular order, but what recovery must
      // handle is a torn append: some leading part of the new bytes.
      std::uniform_int_distribution<size_t> keep(0, current.size() - durable.size());
      survivor = current.substr(0, durable.size() + keep(random_));
    } else if (mode == CrashMode::kAppendGarbage && !(current.empty() && durable.empty())) {
      // A file that never held a byte has no blocks to show.
      std::uniform_int_distribution<int> length(1, 64), byte(0, 255);
      for (int n = length(random_); n > 0; --n) survivor.push_back(static_cast<char>(byte(random_)));
    }
    rewrite_in_place(path, survivor);
    durable = survivor;
  }
  if (names == Names::kUndoUnsynced) undo_unsynced_names();
  unsynced_names_.clear();
}

void FaultyFileSystem::undo_unsynced_names() {
  for (auto change = unsynced_names_.rbegin(); change != unsynced_names_.rend(); ++change) {
    if (change->from.empty()) {
      ::unlink(change->to.c_str());
      durable_.erase(change->to);
      continue;
    }
    if (::rename(change->to.c_str(), change->from.c_str()) == 0) {
      auto moved = durable_.extract(change->to);
      durable_.erase(change->from);
      if (!moved.empty()) {
        moved.key() = change->from;
        durable_.insert(std::move(moved));
      }
    }
    if (change->replaced) {
      write_file(change->to, *change->replaced);
      durable_[change->to] = *change->replaced;
    }
  }
}

FaultyFileSystem::Decision FaultyFileSystem::decide(Call call, const std::string& path) {
  std::lock_guard lock(mutex_);
  ++counts_[{call, path}];
  Decision decision;
  bool decided = false;
  for (Rule& rule : rules_) {
    if (rule.call != call || !ends_with(path, rule.path_suffix)) continue;
    if (rule.action) {
      if (++rule.seen == rule.first) decision.after = rule.action;
      continue;
    }
    // Every matching rule counts the call, even when an earlier one fires.
    if (++rule.seen < rule.first || rule.seen > rule.last || decided) continue;
    decided = true;
    ++fired_;
    decision.error = rule.error;
    decision.cut = rule.error == 0;
    decision.cut_bytes = rule.short_bytes;
  }
  return decision;
}

std::string FaultyFileSystem::path_in(int directory_fd, const char* name) {
  return directory_path(directory_fd) + "/" + name;
}

std::string FaultyFileSystem::path_of(int fd) {
  std::lock_guard lock(mutex_);
  auto found = fd_paths_.find(fd);
  return found == fd_paths_.end() ? std::string() : found->second;
}

}  // namespace tollivane::test_support
