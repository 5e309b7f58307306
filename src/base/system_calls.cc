#include "base/system_calls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tollivane::base {
namespace {

// open and mkdir are variadic or macro-wrapped in some C libraries; small
// wrappers give them the table's exact signatures.
//
// Every descriptor, duplicates included, is close-on-exec, so that a child
// process the program starts inherits none: a child holding .proc_lock's
// open description would hold the lock with it for as long as it lives, and
// one holding the log could write to it.
int real_open(const char* path, int flags, mode_t mode) { return ::open(path, flags | O_CLOEXEC, mode); }
int real_openat(int directory_fd, const char* name, int flags, mode_t mode) {
  return ::openat(directory_fd, name, flags | O_CLOEXEC, mode);
}
int real_stat(const char* path, struct stat* info) { return ::stat(path, info); }
int real_fstat(int fd, struct stat* info) { return ::fstat(fd, info); }
int real_fstatat(int directory_fd, const char* name, struct stat* info, int flags) {
  return ::fstatat(directory_fd, name, info, flags);
}
int real_dup(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
int real_eventfd(unsigned initial_value, int flags) { return ::eventfd(initial_value, flags); }
long real_futex(uint32_t* word, int operation, uint32_t value, const struct timespec* timeout) {
  // A 32-bit build with a 64-bit time_t hands the kernel a 64-bit timespec,
  // which only the time64 form of the call reads.
#if defined(SYS_futex_time64)
  if constexpr (sizeof(timeout->tv_sec) == 8) return ::syscall(SYS_futex_time64, word, operation, value, timeout, nullptr, 0);
#endif
  return ::syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

const SystemCalls kRealSystemCalls = {
    real_open,  real_openat, ::close,    ::read,    ::pread, ::write,  ::lseek,    real_fstat, real_stat,
    real_fstatat, ::fsync,   ::ftruncate, ::renameat, ::mkdir, real_dup, ::mmap,    ::munmap,   ::flock,
    ::unlinkat, ::fchown,    ::inotify_init1, ::inotify_add_watch, ::inotify_rm_watch, real_eventfd, ::ppoll,
    real_futex,
    ::epoll_create1, ::epoll_ctl,
};

const SystemCalls* g_system_calls = &kRealSystemCalls;

}  // namespace

const SystemCalls& system_calls() { return *g_system_calls; }

const SystemCalls& real_system_calls() { return kRealSystemCalls; }

void set_system_calls_for_testing(const SystemCalls* table) {
  g_system_calls = table != nullptr ? table : &kRealSystemCalls;
}

}  // namespace tollivane::base
