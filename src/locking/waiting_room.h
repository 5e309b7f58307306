// The waiting room: where a process that found the process lock taken
// waits for it asleep, and in turn, instead of polling flock().
//
// flock() does not queue its waiters, and polling it from many processes
// fills the processors with failed attempts that fight over the lock file's
// inode while the holder waits for a processor; a waiter starves for as
// long as it happens to try at the wrong moments. The room, in the shared
// hint page (hint_page.h), works so:
//
//   - A caller that finds the lock taken first spins for kNewcomerSpin,
//     watching the release counter (releases), which every release raises
//     after its flock(LOCK_UN), and tries the lock after each release; it
//     yields its processor now and then, to a holder that may wait for it.
//     Most waits end there: a call holds the lock for microseconds. After a
//     release whose holder goes on to its next call, it first leaves that
//     holder kComeBackGrace to take the lock again: processes that take
//     turns at every call pay more than they gain (see below); after one
//     whose holder goes away for a while (to fsync), it tries at once.
//   - Only then does it take a ticket (next_ticket). Tickets are served in
//     order (serving): the waiter whose ticket is served is the front
//     waiter; the others sleep on their turn slot until it comes up.
//   - The front waiter lets callers that are on a processor go first: it
//     sleeps on the release counter (counted in front_sleepers), and a
//     release wakes it only when its holder is going away for a while (to
//     fsync, say); otherwise it looks again every kLookAgain. Handing every
//     turn to a sleeping process would cost a wake-up and a catch-up per
//     call, and, with fewer processors than processes, a convoy through
//     processes that are not running: with processes taking turns at every
//     call, the shared state of the lock file, the log and this page moves
//     between processors at every call, and the part under the lock grew
//     longer than one process's whole call.
//   - Once the front waiter has waited kFairWait, it holds newcomers off
//     (hold_off): they queue behind it, and every release wakes it. So the
//     lock goes round the waiting processes at least every kFairWait each:
//     they get about equal shares of the calls, and none starves.
//   - The front waiter that gets the lock serves the next ticket and moves
//     its slot (the slot's low bit says whether anyone sleeps on it, so
//     that a turn passed to a waiter that is awake costs no futex call).
//
// The lock itself is still the flock() alone, taken with LOCK_NB. The room
// only says when to try it, and nothing in it can keep a waiter from the
// lock for long, whatever state it is in:
//   - a release that raises no counter (a process of an older build, which
//     polls as this build without a hint page does, or a holder killed
//     before its release): every sleep is bounded, by kLookAgain or
//     kFrontNapMax, and the waiter then tries again;
//   - a front waiter killed, or a ticket taken by a process that died: the
//     waiters behind it see the served ticket stand still and, after
//     kStuck, try the lock as if they were in front; the first of them to
//     get it serves the ticket after its own;
//   - a process killed holding newcomers off: they queue behind a ticket
//     whose turn stands still, and move after kStuck; the first caller
//     served through the room clears it;
//   - garbage in any field (a page damaged by hand): tickets compare by
//     difference, so any value reads as "my turn" or "not yet", and every
//     wait ends within kStuck or a bounded nap; the first process served
//     writes sane values again.
// So a hint gone wrong costs time, never the exclusion, and every wait
// still ends at the time-out of the lock or when the caller is interrupted.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "locking/hint_page.h"

namespace tollivane {

// How long a caller that found the lock taken spins for it before it
// queues.
inline constexpr std::chrono::microseconds kNewcomerSpin{50};
// After a release by a holder that goes on to its next call, how long a
// spinning caller leaves it to take the lock again first.
inline constexpr std::chrono::microseconds kComeBackGrace{5};
// How often a front waiter looks again while callers on a processor go
// first, and how long it lets them.
inline constexpr std::chrono::microseconds kLookAgain{200};
inline constexpr std::chrono::microseconds kFairWait{500};
// A front waiter whose turn it is spins this long on the release counter
// before it sleeps; its sleeps without a release it was told of grow from
// the first to the longest.
inline constexpr std::chrono::microseconds kFrontSpin{20};
inline constexpr std::chrono::microseconds kFrontNapMin{50};
inline constexpr std::chrono::microseconds kFrontNapMax{1000};
// How long a waiter's turn may stand still before it tries the lock out of
// turn, as a front waiter would.
inline constexpr std::chrono::milliseconds kStuck{10};

enum class RoomWait : uint8_t { kWoken, kTimedOut, kSignalled };
// Whether the holder that releases the lock is about to take it again (it
// goes on to its next call) or goes away for a while (to wait for the disk).
enum class Leaving : bool { kForNow = false, kForAWhile = true };

class WaitingRoom {
 public:
  explicit WaitingRoom(std::shared_ptr<HintPage> page) : page_(std::move(page)) {}

  // Whether a caller should queue rather than try the lock first: a
  // starving front waiter has asked for the next turn.
  bool held_off() const;

  uint32_t take_ticket();
  // Whether the turn of `ticket` has come, or has passed (out of turn).
  bool is_front(uint32_t ticket) const;
  uint32_t serving() const;

  // How often the turn slot of `ticket` has moved, read before is_front()
  // is asked.
  uint32_t turn_slot(uint32_t ticket) const;
  // Sleeps while the slot of `ticket` still holds `observed`, at most `nap`.
  RoomWait wait_for_turn(uint32_t ticket, uint32_t observed, std::chrono::nanoseconds nap);

  uint32_t releases() const;
  // Whether the holder of the last release said it would not be back soon.
  bool left_for_a_while() const;
  // For a front waiter: sleeps while the release counter holds `observed`,
  // at most `nap`.
  RoomWait wait_for_release(uint32_t observed, std::chrono::nanoseconds nap);

  // A front waiter that has waited kFairWait holds newcomers off.
  void hold_off(uint32_t ticket);
  // The holder of `ticket` got the lock, or gave up waiting: the next
  // ticket's turn.
  void pass_turn(uint32_t ticket);
  // After every release of the lock by a holder that has a room: wakes the
  // front waiter when it holds newcomers off, or when the holder leaves for
  // a while.
  void released(Leaving leaving);

 private:
  HintPageLayout::Room& room() const { return page_->layout().room; }
  uint32_t* slot_of(uint32_t ticket) const { return &page_->layout().turn_slots[ticket % kTurnSlots]; }

  std::shared_ptr<HintPage> page_;
};

}  // namespace tollivane
