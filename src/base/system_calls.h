// The one seam between the core and the file system.
//
// Every file-system call the core makes (open, read, write, fsync,
// ftruncate, renameat, mmap, flock, ...), every call a waiting consumer
// makes to learn that the queue changed (inotify, eventfd, ppoll, epoll),
// and the futex calls of processes waiting their turn for the process lock,
// goes through the table returned by system_calls(). Production uses the
// table of the real calls; a test may install its own to inject failures
// (EIO, ENOSPC, EINTR, short writes) or to record what reached the disk and
// simulate a crash that loses whatever was not fsynced. The cost is one
// indirect call per system call, nothing next to the call itself.
//
// The table holds the raw calls with their usual contract: a result of -1
// (MAP_FAILED for mmap) and errno set on failure. Retrying on EINTR and
// looping over short transfers is the callers' business (see file.h), so an
// injected EINTR or short write exercises exactly the code that handles a
// real one.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tollivane::base {

static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64: logs may exceed 2 GiB on 32-bit targets");

struct SystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  // The files of a queue are reached through its directory's descriptor.
  int (*openat)(int directory_fd, const char* name, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*fstat)(int fd, struct stat* info);
  int (*stat)(const char* path, struct stat* info);
  int (*fstatat)(int directory_fd, const char* name, struct stat* info, int flags);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t length);
  int (*renameat)(int from_directory_fd, const char* from, int to_directory_fd, const char* to);
  int (*mkdir)(const char* path, mode_t mode);
  int (*dup)(int fd);
  void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, off_t offset);
  int (*munmap)(void* address, size_t length);
  int (*flock)(int fd, int operation);
  int (*unlinkat)(int directory_fd, const char* name, int flags);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  // Waiting for a change (queue/change_watch.h).
  int (*inotify_init1)(int flags);
  int (*inotify_add_watch)(int fd, const char* path, uint32_t mask);
  int (*inotify_rm_watch)(int fd, int watch);
  int (*eventfd)(unsigned initial_value, int flags);
  int (*ppoll)(struct pollfd* fds, nfds_t count, const struct timespec* timeout, const sigset_t* signal_mask);
  // Waiting for the process lock in the shared hint page
  // (locking/waiting_room.h): FUTEX_WAIT with a relative timeout, or
  // FUTEX_WAKE, on a word of a shared mapping.
  long (*futex)(uint32_t* word, int operation, uint32_t value, const struct timespec* timeout);
  // The one descriptor an event loop watches instead of sleeping in ppoll.
  int (*epoll_create1)(int flags);
  int (*epoll_ctl)(int epoll_fd, int operation, int fd, struct epoll_event* event);
};

// The table in force.
const SystemCalls& system_calls();

// The real calls, for a test table that wraps them.
const SystemCalls& real_system_calls();

// Installs `table` (which must outlive its use); nullptr restores the real
// calls. Not thread-safe: tests install a table before opening queues.
void set_system_calls_for_testing(const SystemCalls* table);

}  // namespace tollivane::base
