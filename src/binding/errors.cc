#include "binding/errors.h"

#include "binding/py_ref.h"

namespace tollivane::binding {

PendingError map_io_err(const IoError& error) {
  const int os_errno = error.is_os_error() ? error.os_errno() : 0;
  if (error.is_timed_out()) return PendingError(PendingError::Kind::kTimeoutError, error.display(), os_errno);
  return PendingError(PendingError::Kind::kOSError, "Tollivane I/O error: " + error.display(), os_errno);
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
  if (os_errno_ != 0) return raise_with_errno(exception_class);
  // One argument only: OSError(msg) leaves errno, strerror and filename None.
  PyErr_SetString(exception_class, message_.c_str());
  return nullptr;
}

PyObject* PendingError::raise_with_errno(PyObject* exception_class) const {
  // OSError(errno, text) picks the subclass by errno. Made that way, the
  // exception's args and str() would be the errno and the text, so only its
  // class is taken: the exception itself gets the message alone, as every
  // other I/O error does, and then the errno.
  OwnedRef chosen = OwnedRef::steal(PyObject_CallFunction(exception_class, "is", os_errno_, ""));
  if (!chosen) return nullptr;
  PyObject* subclass = reinterpret_cast<PyObject*>(Py_TYPE(chosen.get()));
  OwnedRef message = OwnedRef::steal(PyUnicode_FromString(message_.c_str()));
  if (!message) return nullptr;
  OwnedRef exception = OwnedRef::steal(PyObject_CallFunctionObjArgs(subclass, message.get(), nullptr));
  OwnedRef number = OwnedRef::steal(PyLong_FromLong(os_errno_));
  if (!exception || !number || PyObject_SetAttrString(exception.get(), "errno", number.get()) != 0) return nullptr;
  PyErr_SetObject(subclass, exception.get());
  return nullptr;
}

}  // namespace tollivane::binding
