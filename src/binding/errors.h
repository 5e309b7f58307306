// How core failures become Python exceptions.
//
// A PendingError is only a description: the exception class and its message.
// It is made while the locks are still held (it calls nothing in the
// interpreter) and raised after the call frame has released them, so that
// no exception object is ever created under the object's mutex or the
// process lock.
#pragma once

#include <Python.h>

#include <string>

#include "base/error.h"

namespace tollivane::binding {

class PendingError {
 public:
  enum class Kind {
    kNone,
    kOSError,
    kTimeoutError,
    kRuntimeError,
    kValueError,
    kBlockingIOError,  // a call that may not wait would have had to
    kAlreadySet,  // the interpreter has set its own exception; pass it on
  };

  PendingError() = default;
  static PendingError from(const Error& error);
  static PendingError already_set() { return PendingError(Kind::kAlreadySet, {}); }
  // Any call on an object after its close(), as a closed file refuses I/O.
  static PendingError closed_queue() { return PendingError(Kind::kValueError, "I/O operation on closed queue."); }

  explicit operator bool() const { return kind_ != Kind::kNone; }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The errno of the failed system call behind an OSError, or 0.
  int os_errno() const { return os_errno_; }

  // Sets the Python exception and returns nullptr, for `return pending.raise();`.
  PyObject* raise() const;

 private:
  PendingError(Kind kind, std::string message, int os_errno = 0)
      : kind_(kind), message_(std::move(message)), os_errno_(os_errno) {}
  friend PendingError map_io_err(const IoError& error);
  PyObject* raise_with_errno(PyObject* exception_class) const;

  Kind kind_ = Kind::kNone;
  std::string message_;
  int os_errno_ = 0;
};

// TimeoutError with the bare text for the kind "timed out"; OSError with
// "Tollivane I/O error: {}" for every other I/O error. Both are built from
// one string, the only item of their `args`. The failure of a system call
// also carries its errno: the exception is then of the subclass that errno
// selects, as OSError(errno, ...) would make it (FileNotFoundError,
// PermissionError, ...), with `errno` set and `strerror` None.
PendingError map_io_err(const IoError& error);

}  // namespace tollivane::binding
