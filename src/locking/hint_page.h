// The hint page: one page of memory that the processes sharing a queue
// directory map from its file .proc_hints, and in which they leave each
// other hints: for now, the waiting room for the process lock
// (waiting_room.h).
//
// Nothing in it is ever needed for correctness. The flock on .proc_lock
// alone excludes processes, and queue.log alone says what the queue holds;
// a process that cannot map the page, a process of an older build that
// knows nothing of it, one killed between any two of its stores, and a page
// full of garbage may only make the others wait longer or fsync again. Each
// use says, where it reads the page, why that holds for it.
//
// Layout (every field is read and written with atomic operations; the page
// lives on one host, in its byte order):
//
//   offset  size
//      0      8  identity: the magic "TLHP" (0x50484c54) in the low half,
//                the layout version (1) in the high half; zero in a file
//                just created, until its first user sets it in one step
//     64     64  the waiting room's counters (waiting_room.h)
//    128    256  its 64 turn slots, one futex word each
//    384   3711  reserved, zero
//   4095      1  always zero: the byte every build writes to give the file
//                its length, so that one creating it and one finding it
//                short never shrink what another has mapped
//
// A file of any other magic or version, or that cannot be made a page long,
// is left alone and not used: a later layout of this page takes a new
// version, and builds that do not know it wait the old way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/directory.h"

namespace tollivane {

inline constexpr uint64_t kHintPageMagic = 0x50484c54;  // "TLHP" in little-endian order
inline constexpr uint64_t kHintPageVersion = 1;
inline constexpr uint64_t kHintPageIdentity = kHintPageVersion << 32 | kHintPageMagic;
inline constexpr uint64_t kHintPageLen = 4096;

inline constexpr size_t kTurnSlots = 64;

struct HintPageLayout {
  uint64_t identity;
  uint8_t reserved0[56];
  // The waiting room (waiting_room.h).
  struct Room {
    uint32_t releases;        // raised by every release of the lock; futex word of the front waiters
    uint32_t front_sleepers;  // front waiters asleep on `releases`, for the releaser to wake
    uint32_t next_ticket;     // the ticket the next waiter takes
    uint32_t serving;         // the ticket whose turn it is
    uint64_t hold_off;        // nonzero: a starving front waiter asks newcomers to queue
    uint32_t left_for_a_while;  // nonzero: the last release's holder will not be back soon
    uint8_t reserved[36];
  } room;
  uint32_t turn_slots[kTurnSlots];  // futex words of the queued waiters, by ticket
  uint8_t reserved1[kHintPageLen - 384 - 1];
  uint8_t last_byte;
};

static_assert(sizeof(HintPageLayout) == kHintPageLen);
static_assert(offsetof(HintPageLayout, room) == 64);
static_assert(offsetof(HintPageLayout, turn_slots) == 128);
static_assert(offsetof(HintPageLayout, reserved1) == 384);
static_assert(offsetof(HintPageLayout, last_byte) == kHintPageLen - 1);

class HintPage {
 public:
  // Maps `name` of `directory`, creating the file when it is missing. None
  // when that cannot be done (a read-only directory, a planted FIFO, a page
  // of another layout, no memory for the map): the caller then does
  // without hints.
  static std::shared_ptr<HintPage> open(const base::Directory& directory, const char* name);

  HintPage(const HintPage&) = delete;
  HintPage& operator=(const HintPage&) = delete;
  ~HintPage();

  HintPageLayout& layout() const { return *layout_; }

 private:
  explicit HintPage(HintPageLayout* layout) : layout_(layout) {}

  // The page stays mapped until the last owner goes; the file need not stay
  // open for that.
  HintPageLayout* const layout_;
};

}  // namespace tollivane
