#include "locking/waiting_room.h"

#include <linux/futex.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "base/system_calls.h"

namespace tollivane {
using base::system_calls;
namespace {

// Every access is sequentially consistent: a sleeper announces itself and
// then looks at the counter, a releaser raises the counter and then looks
// for sleepers, and one of the two must see the other's store.
std::atomic_ref<uint32_t> word(uint32_t& field) { return std::atomic_ref<uint32_t>(field); }

// Tickets wrap: one is ahead of another by their difference.
bool at_or_after(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

constexpr uint64_t kHoldOffFlag = uint64_t{1} << 32;
// A turn slot counts passes in its upper bits; its lowest bit marks sleepers.
constexpr uint32_t kSleeperBit = 1;
constexpr uint32_t kSlotStep = 2;

RoomWait futex_wait(uint32_t* futex_word, uint32_t observed, std::chrono::nanoseconds nap) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(nap);
  timespec timeout{};
  timeout.tv_sec = static_cast<time_t>(seconds.count());
  timeout.tv_nsec = static_cast<long>((nap - seconds).count());
  // Shared, not private: the word is in a file mapping that other processes
  // map at other addresses.
  if (system_calls().futex(futex_word, FUTEX_WAIT, observed, &timeout) == 0) return RoomWait::kWoken;
  if (errno == EINTR) return RoomWait::kSignalled;
  if (errno == ETIMEDOUT) return RoomWait::kTimedOut;
  // EAGAIN: the word moved before the sleep began.
  return RoomWait::kWoken;
}

void futex_wake(uint32_t* futex_word, int waiters) {
  (void)system_calls().futex(futex_word, FUTEX_WAKE, static_cast<uint32_t>(waiters), nullptr);
}

}  // namespace

bool WaitingRoom::held_off() const {
  return std::atomic_ref<uint64_t>(room().hold_off).load() != 0;
}

uint32_t WaitingRoom::take_ticket() { return word(room().next_ticket).fetch_add(1); }

bool WaitingRoom::is_front(uint32_t ticket) const { return at_or_after(serving(), ticket); }

uint32_t WaitingRoom::serving() const { return word(room().serving).load(); }

uint32_t WaitingRoom::turn_slot(uint32_t ticket) const { return word(*slot_of(ticket)).load() & ~kSleeperBit; }

RoomWait WaitingRoom::wait_for_turn(uint32_t ticket, uint32_t observed, std::chrono::nanoseconds nap) {
  // The low bit of a slot says that someone may sleep on it, so that a turn
  // passed to a waiter that is awake costs no futex call. Set before the
  // sleep: a pass that raised the slot before that is seen (the value no
  // longer matches), one after it sees the bit.
  std::atomic_ref<uint32_t> slot = word(*slot_of(ticket));
  const uint32_t marked = slot.fetch_or(kSleeperBit) | kSleeperBit;
  if ((marked & ~kSleeperBit) != observed) return RoomWait::kWoken;
  return futex_wait(slot_of(ticket), marked, nap);
}

uint32_t WaitingRoom::releases() const { return word(room().releases).load(); }

RoomWait WaitingRoom::wait_for_release(uint32_t observed, std::chrono::nanoseconds nap) {
  // Announced before the counter is looked at again: a release that raised
  // it before the announcement is seen below, one after it sees the
  // announcement and wakes this sleeper. A sleeper killed while announced
  // leaves the count too high, which only makes releasers wake nobody.
  word(room().front_sleepers).fetch_add(1);
  RoomWait woke = RoomWait::kWoken;
  if (releases() == observed) woke = futex_wait(&room().releases, observed, nap);
  word(room().front_sleepers).fetch_sub(1);
  return woke;
}

void WaitingRoom::hold_off(uint32_t ticket) {
  std::atomic_ref<uint64_t>(room().hold_off).store(kHoldOffFlag | ticket);
}

void WaitingRoom::pass_turn(uint32_t ticket) {
  // Whoever asked to hold newcomers off has had its turn, or is this caller,
  // or is gone: a front waiter still starving asks again.
  std::atomic_ref<uint64_t>(room().hold_off).store(0);
  // Stored, not added to: the value is sane again from here on, whatever a
  // damaged page or a waiter served out of turn left in it.
  const uint32_t next = ticket + 1;
  word(room().serving).store(next);
  // The next ticket's holder is the front waiter now: its slot moves, and a
  // futex call is made only when it is slept on.
  if (at_or_after(word(room().next_ticket).load(), next + 1)) {
    std::atomic_ref<uint32_t> slot = word(*slot_of(next));
    if ((slot.fetch_add(kSlotStep) & kSleeperBit) != 0) {
      slot.fetch_and(~kSleeperBit);
      futex_wake(slot_of(next), INT_MAX);
    }
  }
}

bool WaitingRoom::left_for_a_while() const { return word(room().left_for_a_while).load() != 0; }

void WaitingRoom::released(Leaving leaving) {
  // Stored before the counter moves, so that a spinner that sees it move
  // sees the flag of this release (or of a later one).
  word(room().left_for_a_while).store(leaving == Leaving::kForAWhile ? 1 : 0);
  word(room().releases).fetch_add(1);
  if (word(room().front_sleepers).load() != 0 && (leaving == Leaving::kForAWhile || held_off())) {
    futex_wake(&room().releases, 1);
  }
}

}  // namespace tollivane
