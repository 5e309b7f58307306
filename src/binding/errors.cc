#include "binding/errors.h"

namespace tollivane::binding {

PendingError map_io_err(const IoError& error) {
  if (error.is_timed_out()) return PendingError(PendingError::Kind::kTimeoutError, error.display());
  return PendingError(PendingError::Kind::kOSError, "Tollivane I/O error: " + error.display());
}

PendingError PendingError::from(const Error& error) {
  switch (error.error_class()) {
    case Error::Class::kIo:
      // A wait given up for a signal: the handler's exception is set.
      if (error.io().kind() == ErrorKind::kInterrupted) return already_set();
      // A wait for a lock this thread holds: refused like a re-entrant call.
      if (error.io().kind() == ErrorKind::kWouldDeadlock) return PendingError(Kind::kRuntimeError, error.io().display());
      if (error.io().kind() == ErrorKind::kWouldWait) return PendingError(Kind::kBlockingIOError, error.io().display());
      return map_io_err(error.io());
    case Error::Class::kBodyOutOfBounds:
      return PendingError(Kind::kRuntimeError, error.message());
    case Error::Class::kInvalidArgument:
      return PendingError(Kind::kValueError, error.message());
    case Error::Class::kSinkAborted:
      break;
  }
  return already_set();
}

PyObject* PendingError::raise() const {
  PyObject* exception_class = nullptr;
  switch (kind_) {
    case Kind::kOSError:
      exception_class = PyExc_OSError;
      break;
    case Kind::kTimeoutError:
      exception_class = PyExc_TimeoutError;
      break;
    case Kind::kRuntimeError:
      exception_class = PyExc_RuntimeError;
      break;
    case Kind::kValueError:
      exception_class = PyExc_ValueError;
      break;
    case Kind::kBlockingIOError:
      exception_class = PyExc_BlockingIOError;
      break;
    case Kind::kAlreadySet:
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "tollivane: error reported without an exception");
      return nullptr;
    case Kind::kNone:
      PyErr_SetString(PyExc_SystemError, "tollivane: no error to raise");
      return nullptr;
  }
  // One argument only: OSError(msg) leaves errno, strerror and filename None.
  PyErr_SetString(exception_class, message_.c_str());
  return nullptr;
}

}  // namespace tollivane::binding
