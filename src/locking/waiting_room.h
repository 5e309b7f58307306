// The waiting room: where a process that found the process lock taken
// waits for it asleep, in turn, instead of polling flock().
//
// flock() does not queue its waiters: every release wakes them all, and
// whoever tries next wins, most often the releaser itself, still on its
// processor. Polling it from many processes fills the processors with
// failed attempts that fight over the lock file's inode, while the holder
// waits for a processor, and leaves a waiter starving for as long as it
// happens to try at the wrong moments. The room, in the shared hint page
// (hint_page.h), gives the waiters an order:
//
//   - A caller first tries the lock once; only if that fails does it enter
//     the room and take a ticket (next_ticket). Tickets are served in order
//     (serving): the waiter whose ticket is served is the front waiter.
//   - The front waiter watches the release counter (releases), which every
//     release raises after its flock(LOCK_UN), and tries the lock whenever
//     it moves: first spinning for a few microseconds (the holder is most
//     often about to finish), then asleep on it (a futex), woken by the next
//     release. The waiter next in line watches its turn slot awake for as
//     long, then sleeps on it too; the others sleep on their slots at once.
//     A spinning waiter yields its processor now and then, to a holder that
//     may be waiting for it.
//   - The front waiter that gets the lock serves the next ticket and moves
//     the slots of the new front waiter and of the one next in line, waking
//     them if they sleep: they then have the whole call to get ready for
//     the next release, and a turn passed to a waiter that is awake costs
//     no system call.
//   - A caller that is on a processor may still take the lock before the
//     front waiter (it tries once before entering): handing every turn to a
//     sleeping process would cost a wake-up per call. But once the front
//     waiter has waited kFairWait it holds newcomers off (hold_off): they
//     queue behind it until it has had its turn. So each process waits for
//     the others' turns, not for luck.
//
// The lock itself is still the flock() alone, taken with LOCK_NB. The room
// only says when to try it, and nothing in it can keep a waiter from the
// lock for long, whatever state it is in:
//   - a release that raises no counter (a process of an older build, which
//     polls as this build without a hint page does, or a holder killed
//     before its release): every sleep of the front waiter is bounded, so
//     it tries again within kFrontNapMax;
//   - a front waiter killed, or a ticket taken by a process that died: the
//     waiters behind it see the served ticket stand still and, after
//     kStuck, try the lock as if they were in front; the first of them to
//     get it serves the ticket after its own;
//   - a process killed holding newcomers off: the first caller through the
//     room clears it, and a queue stuck behind it moves after kStuck;
//   - garbage in any field (a page damaged by hand): tickets compare by
//     difference, so any value reads as "my turn" or "not yet", and every
//     wait ends within kStuck or kFrontNapMax; the first process served
//     writes sane values again.
// So a hint gone wrong costs time, never the exclusion, and every wait
// still ends at the time-out of the lock or when the caller is interrupted.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "locking/hint_page.h"

namespace tollivane {

// How long a front waiter spins on the release counter, and the one next in
// line on its turn slot, before it sleeps.
inline constexpr std::chrono::microseconds kFrontSpin{20};
inline constexpr std::chrono::microseconds kNextSpin{20};
// A front waiter's sleeps without a release it was told of: the first,
// and the longest they grow to.
inline constexpr std::chrono::microseconds kFrontNapMin{50};
inline constexpr std::chrono::microseconds kFrontNapMax{1000};
// How long a front waiter lets callers that are on a processor go first.
inline constexpr std::chrono::microseconds kFairWait{1000};
// How long a waiter's turn may stand still before it tries the lock out of
// turn, as a front waiter would.
inline constexpr std::chrono::milliseconds kStuck{10};

enum class RoomWait : uint8_t { kWoken, kTimedOut, kSignalled };

class WaitingRoom {
 public:
  explicit WaitingRoom(std::shared_ptr<HintPage> page) : page_(std::move(page)) {}

  // Whether a caller should queue rather than try the lock first: a
  // starving front waiter has asked for the next turn.
  bool held_off() const;

  uint32_t take_ticket();
  // Whether the turn of `ticket` has come, or has passed (out of turn).
  bool is_front(uint32_t ticket) const;
  // Whether `ticket` is the next after the front waiter's.
  bool is_next(uint32_t ticket) const { return serving() + 1 == ticket; }
  uint32_t serving() const;

  // How often the turn slot of `ticket` has moved, read before is_front()
  // is asked.
  uint32_t turn_slot(uint32_t ticket) const;
  // Sleeps while the slot of `ticket` still holds `observed`, at most `nap`.
  RoomWait wait_for_turn(uint32_t ticket, uint32_t observed, std::chrono::nanoseconds nap);

  uint32_t releases() const;
  // For a front waiter: sleeps while the release counter holds `observed`,
  // at most `nap`.
  RoomWait wait_for_release(uint32_t observed, std::chrono::nanoseconds nap);

  // A front waiter that has waited kFairWait holds newcomers off.
  void hold_off(uint32_t ticket);
  // The holder of `ticket` got the lock, or gave up waiting: the next
  // ticket's turn.
  void pass_turn(uint32_t ticket);
  // After every release of the lock by a holder that has a room.
  void released();

 private:
  HintPageLayout::Room& room() const { return page_->layout().room; }
  uint32_t* slot_of(uint32_t ticket) const { return &page_->layout().turn_slots[ticket % kTurnSlots]; }

  std::shared_ptr<HintPage> page_;
};

}  // namespace tollivane
