// Error values of the core. Their display texts end up verbatim in Python
// exceptions, and the timed-out kind selects TimeoutError, so both are pinned.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "base/error.h"

namespace tollivane {
namespace {

constexpr char kLockTimeout[] = "process lock timed out \u2014 a live peer is holding it too long";

TEST(ErrorTest, OsErrorDisplaysLibcDescriptionAndErrno) {
  const IoError error = IoError::from_errno(ENOENT);
  EXPECT_TRUE(error.is_os_error());
  EXPECT_EQ(error.os_errno(), ENOENT);
  EXPECT_FALSE(error.is_timed_out());
  EXPECT_EQ(error.display(), std::string(std::strerror(ENOENT)) + " (os error 2)");
  // Error adds nothing to the text of an I/O error.
  EXPECT_EQ(Error(error).message(), error.display());
  EXPECT_EQ(Error(error).error_class(), Error::Class::kIo);
}

TEST(ErrorTest, OnlyEtimedoutMakesAnOsErrorTimedOut) {
  EXPECT_TRUE(IoError::from_errno(ETIMEDOUT).is_timed_out());
  EXPECT_EQ(IoError::from_errno(ETIMEDOUT).kind(), ErrorKind::kTimedOut);
  EXPECT_FALSE(IoError::from_errno(EAGAIN).is_timed_out());
  EXPECT_FALSE(IoError::from_errno(EINTR).is_timed_out());
}

TEST(ErrorTest, CustomErrorKeepsItsKindAndExactMessage) {
  const IoError timeout = IoError::custom(ErrorKind::kTimedOut, kLockTimeout);
  EXPECT_FALSE(timeout.is_os_error());
  EXPECT_TRUE(timeout.is_timed_out());
  EXPECT_EQ(timeout.display(), kLockTimeout);

  const IoError magic = IoError::custom(ErrorKind::kInvalidData, "queue.log has bad magic (not a Tollivane log)");
  EXPECT_EQ(magic.kind(), ErrorKind::kInvalidData);
  EXPECT_FALSE(magic.is_timed_out());
  EXPECT_EQ(Error(magic).message(), "queue.log has bad magic (not a Tollivane log)");
}

TEST(ErrorTest, BodyOutOfBoundsMessageCarriesFullWidthOffsets) {
  // Offsets past 4 GiB must not be truncated on a 32-bit target.
  const Error error = Error::body_out_of_bounds(5'000'000'123u, 4'294'967'296u);
  EXPECT_EQ(error.error_class(), Error::Class::kBodyOutOfBounds);
  EXPECT_EQ(error.message(), "Tollivane: body read out of bounds (need 5000000123, mapped 4294967296)");
}

TEST(ErrorTest, StatusAndResultHoldEitherValueOrError) {
  EXPECT_TRUE(Status().ok());
  Status failed = IoError::from_errno(EIO);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().io().os_errno(), EIO);

  Result<uint64_t> value = uint64_t{7};
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(*value, 7u);

  // A failed Status converts into a failed Result of any type, error intact.
  Result<uint64_t> from_status = std::move(failed);
  ASSERT_FALSE(from_status.ok());
  EXPECT_EQ(from_status.take_error().io().os_errno(), EIO);

  Result<uint64_t> aborted = Error::sink_aborted();
  ASSERT_FALSE(aborted.ok());
  EXPECT_EQ(aborted.error().error_class(), Error::Class::kSinkAborted);
}

}  // namespace
}  // namespace tollivane
