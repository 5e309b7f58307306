// Failures inside the core are values, never exceptions.
//
// An IoError is what a file, lock or map operation reports: either the errno
// of a failed system call, or a kind and a message of our own. Only the
// binding turns one into a Python exception, once, after every lock is
// released. Error widens IoError by the two failures that are not I/O: a body
// read outside the mapped log, and a caller-supplied sink that gave up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tollivane {

// The kinds the system creates. kTimedOut, kInterrupted and kWouldDeadlock
// are told apart when the error reaches Python; the others document intent.
enum class ErrorKind : uint8_t {
  kOther,
  kTimedOut,
  kInvalidData,
  kInvalidInput,
  kWriteZero,
  kUnexpectedEof,
  // A wait given up because the caller asked (blocking.h): the caller holds
  // the failure to report, and the message only says what was given up.
  kInterrupted,
  // A wait that could never end: the thread would wait for a lock it holds
  // itself.
  kWouldDeadlock,
  // A call made on the promise that it waits for nothing would have had to
  // wait (for a lock, for the disk): refused before it changed anything.
  kWouldWait,
};

class IoError {
 public:
  static IoError from_errno(int os_errno);
  static IoError custom(ErrorKind kind, std::string message);

  bool is_os_error() const { return is_os_error_; }
  int32_t os_errno() const { return os_errno_; }
  ErrorKind kind() const;
  bool is_timed_out() const { return kind() == ErrorKind::kTimedOut; }

  // "{strerror} (os error {errno})" for an operating-system error, the
  // message itself for a custom one.
  std::string display() const;

 private:
  IoError() = default;

  bool is_os_error_ = false;
  int32_t os_errno_ = 0;
  ErrorKind kind_ = ErrorKind::kOther;
  std::string message_;
};

class Error {
 public:
  enum class Class : uint8_t {
    kIo,
    kBodyOutOfBounds,  // a body lies past the end of the mapped log
    kSinkAborted,      // the consumer of deliveries refused one; it holds its own error
    kInvalidArgument,  // a value the caller passed cannot be stored (no I/O was attempted)
  };

  Error(IoError io) : class_(Class::kIo), io_(std::move(io)) {}  // NOLINT: implicit by design
  static Error body_out_of_bounds(uint64_t need, uint64_t mapped);
  static Error sink_aborted() { return Error(Class::kSinkAborted); }
  static Error invalid_argument(std::string message);

  Class error_class() const { return class_; }
  // Valid only for Class::kIo.
  const IoError& io() const { return *io_; }
  // The text of the exception this error becomes (without any prefix).
  std::string message() const;

 private:
  explicit Error(Class error_class) : class_(error_class) {}

  Class class_;
  std::optional<IoError> io_;
  uint64_t need_ = 0;
  uint64_t mapped_ = 0;
  std::string message_;
};

// Success, or the first error met.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  Status(IoError error) : error_(Error(std::move(error))) {}  // NOLINT
  static Status ok_status() { return Status(); }

  bool ok() const { return !error_.has_value(); }
  // Valid only when !ok().
  const Error& error() const { return *error_; }
  // Moves the error out. Asked of a success (a caller's bug), it answers with
  // an error rather than reading an empty value.
  Error take_error();

 private:
  std::optional<Error> error_;
};

// A value, or the error that prevented it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : value_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  Result(IoError error) : value_(std::in_place_index<1>, Error(std::move(error))) {}  // NOLINT
  Result(Status status) : value_(std::in_place_index<1>, status.take_error()) {}  // NOLINT: only from a failed status

  bool ok() const { return value_.index() == 0; }
  T& value() { return std::get<0>(value_); }
  const T& value() const { return std::get<0>(value_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(value_); }
  Error take_error() { return std::move(std::get<1>(value_)); }

 private:
  std::variant<T, Error> value_;
};

}  // namespace tollivane
