// Wall-clock time in milliseconds since the Unix epoch.
//
// Timestamps, lease deadlines and the sync interval all use it. The clock may
// jump; deadlines are plain wrapping sums, and a lease is expired when its
// deadline is at or before now.
#pragma once

#include <cstdint>

#include "logfile/format.h"

namespace tollivane {

// seconds * 1000 + nanoseconds / 1'000'000 of CLOCK_REALTIME, or 0 before the epoch.
uint64_t now_ms();

// Milliseconds of the monotonic clock, which no step of the wall clock
// moves: what a waiting consumer measures its time-out by.
uint64_t monotonic_ms();

// A clock the queue reads; tests substitute their own to make time explicit.
using ClockFn = uint64_t (*)();

// now + lease (or delay) in wrapping 64-bit arithmetic: a huge lease wraps
// into the past and expires at the next sweep rather than failing the call.
// The one sum that lands on the buried deadline is kept a millisecond short
// of it: written as it is, the lease would read as a buried message that no
// sweep ever returns.
constexpr uint64_t lease_deadline(uint64_t now, uint64_t lease_ms) {
  const uint64_t deadline = now + lease_ms;
  return deadline == logfile::kBuriedDeadlineMs ? deadline - 1 : deadline;
}

}  // namespace tollivane
