#include "base/error.h"

#include <cerrno>
#include <cstring>

namespace tollivane {
namespace {

// glibc's strerror_r returns the text (GNU variant), other C libraries an int
// status with the text in the buffer (XSI variant); accept either.
[[maybe_unused]] const char* description_of(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* description_of(int xsi_result, const char* buffer) {
  return xsi_result == 0 ? buffer : "Unknown error";
}

}  // namespace

IoError IoError::from_errno(int os_errno) {
  IoError error;
  error.is_os_error_ = true;
  error.os_errno_ = static_cast<int32_t>(os_errno);
  return error;
}

IoError IoError::custom(ErrorKind kind, std::string message) {
  IoError error;
  error.kind_ = kind;
  error.message_ = std::move(message);
  return error;
}

ErrorKind IoError::kind() const {
  if (is_os_error_) return os_errno_ == ETIMEDOUT ? ErrorKind::kTimedOut : ErrorKind::kOther;
  return kind_;
}

std::string IoError::display() const {
  if (!is_os_error_) return message_;
  // strerror_r, unlike strerror, is safe while other threads format errors.
  char buffer[256] = {};
  const char* description = description_of(strerror_r(os_errno_, buffer, sizeof buffer), buffer);
  return std::string(description) + " (os error " + std::to_string(os_errno_) + ")";
}

Error Error::body_out_of_bounds(uint64_t need, uint64_t mapped) {
  Error error(Class::kBodyOutOfBounds);
  error.need_ = need;
  error.mapped_ = mapped;
  return error;
}

Error Status::take_error() {
  if (!error_) return IoError::custom(ErrorKind::kOther, "internal error: a success was reported as a failure");
  return std::move(*error_);
}

Error Error::invalid_argument(std::string message) {
  Error error(Class::kInvalidArgument);
  error.message_ = std::move(message);
  return error;
}

std::string Error::message() const {
  switch (class_) {
    case Class::kIo:
      return io_->display();
    case Class::kBodyOutOfBounds:
      return "Tollivane: body read out of bounds (need " + std::to_string(need_) + ", mapped " +
             std::to_string(mapped_) + ")";
    case Class::kInvalidArgument:
      return message_;
    case Class::kSinkAborted:
      break;
  }
  return "delivery refused by its consumer";
}

}  // namespace tollivane
