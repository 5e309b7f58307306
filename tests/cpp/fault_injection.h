// A test file system on the system-call seam: the real calls, plus injected
// failures, call counts and a simulated power loss.
//
//   FaultyFileSystem fs;                          // installed until it is destroyed
//   fs.fail(Call::kWrite, ENOSPC, "queue.log");   // the next write to queue.log fails
//   fs.short_write(5, "queue.log");               // ... or transfers only 5 bytes
//   fs.fail(Call::kFsync, EIO, "queue.log", 2);   // the 2nd fsync from now fails
//   fs.count(Call::kFsync, "queue.log");          // fsyncs of queue.log so far
//   fs.crash();                                   // every file back to its last fsync
//   fs.after(Call::kWrite, "queue.log", 3, kill);  // runs kill() right after the 3rd write
//
// Paths are matched by suffix ("queue.log", ".proc_lock"); a name opened,
// looked up, renamed or removed relative to a directory descriptor (openat
// and the like, counted as kOpen, kStat, kRename and kUnlink) is matched as
// the path of that directory now, a slash and the name; calls on a
// descriptor are matched by the path it was opened with (dup keeps it,
// rename moves it). An empty suffix matches every call of the kind.
//
// Crash model: each regular file opened while the file system is installed
// is tracked. Its durable content starts as what it held when first opened
// (nothing, for a file that open created) and becomes the whole file at each
// successful fsync of a descriptor on it. crash() rewrites each tracked file
// to its durable content. Directory entries (the files open creates, the
// renames) become durable at the next successful fsync of their directory,
// counted as Call::kSyncDir. By default crash() keeps them all, as a file
// system that journals names in order would; with Names::kUndoUnsynced it
// undoes those made since the directory's last fsync, newest first: a renamed
// file goes back to its old name and the file it replaced reappears with its
// durable content, a created file disappears.
//
// Several threads may call through the seam at once (objects whose calls
// share fsyncs). An fsync makes durable what the file held when it began:
// writes, truncations, creations and renames are kept out of that moment,
// so a write another thread makes while the fsync runs is not taken for
// covered, as the kernel need not cover it. crash() waits for the calls in
// flight, and crash_and_kill() keeps every other thread out of the seam
// until the process is dead, so that nothing lands after the crash. (With
// Names::kUndoUnsynced a file that a rename replaced comes back as durable
// as it was at the rename: an fsync of it through a descriptor still open
// after the rename is not counted.)
//
// The seam holds plain function pointers, so at most one FaultyFileSystem
// exists at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/system_calls.h"

namespace tollivane::test_support {

enum class Call {
  kOpen, kClose, kRead, kWrite, kLseek, kFstat, kStat, kFsync,
  kFtruncate, kRename, kMkdir, kDup, kMmap, kMunmap, kFlock, kUnlink, kFchown,
  kSyncDir,  // fsync of a directory (kFsync counts those of files)
  kWatch,    // inotify_init1 and epoll_create1 (path ""), and inotify_add_watch
  kPoll,     // ppoll (path "")
  kFutex,    // a wait or a wake in the hint page's waiting room (path "")
};

enum class CrashMode {
  kDropUnsynced,      // each file is exactly as of its last fsync
  kKeepRandomPrefix,  // ... plus a random prefix of what was appended since
  kAppendGarbage,     // ... plus 1 to 64 random bytes (unless it never held any)
};

// What a crash does to directory entries not yet made durable.
enum class Names { kKeep, kUndoUnsynced };

class FaultyFileSystem {
 public:
  // Installs itself as the seam's table; `seed` drives the crash variants.
  explicit FaultyFileSystem(uint64_t seed = 1);
  ~FaultyFileSystem();  // restores the real calls
  FaultyFileSystem(const FaultyFileSystem&) = delete;
  FaultyFileSystem& operator=(const FaultyFileSystem&) = delete;

  // Fails calls `nth` to `nth + times - 1` of `call` on `path_suffix`,
  // counted from now, with `error` (-1 and errno, MAP_FAILED for mmap). The
  // failed call does nothing. Every rule counts every call it matches, so
  // fail(kWrite, EIO, "", 2) after short_write(3) fails the write that
  // follows the short one.
  void fail(Call call, int error, std::string_view path_suffix = {}, uint64_t nth = 1, uint64_t times = 1);
  // Makes the `nth` write on `path_suffix` transfer at most `bytes` bytes
  // (0: the write returns 0, as a full device can).
  void short_write(size_t bytes, std::string_view path_suffix = {}, uint64_t nth = 1);
  // Runs `action` right after the `nth` call of `call` on `path_suffix`
  // (counted from now) has been made, whatever its result: a crash test
  // kills the process there, or simulates a power loss.
  void after(Call call, std::string_view path_suffix, uint64_t nth, std::function<void()> action);
  // Makes every fsync of a file wait this long after it has noted what it
  // covers, as on a slow disk: other threads' writes land while it runs,
  // and it does not cover them.
  void slow_fsyncs(std::chrono::microseconds wait);
  void clear_faults();
  // How many calls were failed or cut short so far, so that a test can tell
  // its fault really happened.
  uint64_t faults_fired() const;

  // Calls of `call` (on paths ending in `path_suffix`) since construction or
  // reset_counts(), including failed ones.
  uint64_t count(Call call, std::string_view path_suffix = {}) const;
  void reset_counts();
  // Descriptors opened through the seam and not closed yet.
  size_t open_descriptors() const;

  // Simulates a power loss, see above. Call it once the objects that wrote
  // the files are gone; tracked files then count as synced as they are.
  void crash(CrashMode mode = CrashMode::kDropUnsynced, Names names = Names::kKeep);
  // crash(), then SIGKILL, with no other thread's call reaching a file in
  // between: a power loss stops every thread at once.
  [[noreturn]] void crash_and_kill(CrashMode mode, Names names);

 private:
  friend struct Trampolines;  // the table's functions, in the .cc file
  struct Rule {
    Call call;
    int error;  // 0 for a short write
    std::string path_suffix;
    uint64_t first, last;  // 1-based indexes among the calls the rule matches
    size_t short_bytes;
    uint64_t seen = 0;
    std::function<void()> action = {};  // set for an after() rule, which fails nothing
  };
  // What one call does: go ahead (error 0), fail with `error`, or, for a
  // write, transfer at most `cut_bytes`.
  struct Decision {
    int error = 0;
    bool cut = false;
    size_t cut_bytes = 0;
    std::function<void()> after;  // run once the real call is made
  };
  // A creation or rename not yet made durable by an fsync of its directory.
  struct NameChange {
    std::string from;                 // empty for a creation
    std::string to;
    std::optional<std::string> replaced;  // durable content of the file a rename replaced
    uint64_t serial = 0;              // in the order they were made
  };
  void undo_unsynced_names();
  void crash_images(CrashMode mode, Names names);
  Decision decide(Call call, const std::string& path);
  Decision decide(Call call, int fd) { return decide(call, path_of(fd)); }
  std::string path_of(int fd);
  std::string path_in(int directory_fd, const char* name);

  mutable std::mutex mutex_;
  // Held shared by every call that changes a file's content or a name, for
  // the call and its bookkeeping; exclusively by an fsync while it notes
  // what it is to cover, and by a crash.
  std::shared_mutex io_gate_;
  uint64_t next_name_serial_ = 0;
  std::chrono::microseconds fsync_wait_{0};
  std::vector<Rule> rules_;
  uint64_t fired_ = 0;
  std::map<std::pair<Call, std::string>, uint64_t> counts_;
  std::map<int, std::string> fd_paths_;
  std::map<std::string, std::string> durable_;  // tracked path -> content as of the last fsync
  std::vector<NameChange> unsynced_names_;      // oldest first
  std::mt19937_64 random_;
  static FaultyFileSystem* active_;
};

// A fresh directory under `base` (/tmp by default), removed with everything
// in it at the end.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& base = "/tmp");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// The whole content of the file at `path` ("" when it cannot be read), and
// its replacement; plain library calls, outside the seam.
std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view content);

}  // namespace tollivane::test_support
