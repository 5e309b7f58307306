// The on-disk facts of a queue directory, shared by every reader and writer.
//
// queue.log is a 16-byte file header followed by record frames, back to back
// up to the end of the file. All integers are unsigned little-endian.
//
//   file header (offset 0)
//     0   4  file magic "TLFL" (54 4C 46 4C)
//     4   4  format version, u32 = 1; a log of any other version is
//            refused, never replayed or repaired
//     8   8  generation, u64: raised by every rewrite of the log so that
//            other processes notice the file was replaced and reload
//
//   frame (repeated; the first starts at offset 16)
//     0   4  frame magic "TLR1" (54 4C 52 31)
//     4   4  payload length L, u32, at most kMaxRecordLen
//     8   4  CRC-32 (IEEE, as zlib) of the L payload bytes
//    12   L  payload: one encoded record, a tag byte then its fields
//
//   payloads, by tag                          length
//     1 Enqueue     0 tag   1 seq u64   9 enqueued_ts_ms u64
//                  17 body_len u32   21 body (body_len bytes)   21 + body_len
//     2 Ack         0 tag   1 seq u64                           9
//     3 Lease       0 tag   1 seq u64   9 deadline_ms u64
//                  17 deliveries u32                            21
//     4 Requeue     0 tag   1 seq u64   9 deliveries u32        13
//     5 DeadLetter  0 tag   1 seq u64                           9
//
// Two Lease values mean more than a lease. Deliveries 0 marks a message
// that waits for its time (no delivery ever leases with count 0), and the
// deadline kBuriedDeadlineMs a buried one, which no sweep ever reaches. A
// build that knows only leases replays them as leases: the waiting message
// comes back at its deadline, the buried one never, and nothing is cut.
//
// A reader ignores bytes after the last field of a kind. A body is stored
// only in its Enqueue frame, kEnqueueFrameOverhead bytes after the frame
// start, so bodies can be read straight out of a map of the log and "live
// bytes" are the bytes the live messages' frames occupy.
#pragma once

#include <cstdint>

namespace tollivane::logfile {

// The files of a queue directory. Nothing else spells these names.
inline constexpr char kLogName[] = "queue.log";
inline constexpr char kProcessLockName[] = ".proc_lock";
// One page of shared memory in which processes leave each other hints
// (locking/hint_page.h). Never needed for correctness: an older build
// ignores it, compaction and purge leave it alone, and a queue whose
// directory cannot hold it works without.
inline constexpr char kHintPageName[] = ".proc_hints";
// Temporaries renamed over the log once they are complete: one name per
// kind of replacement, so that a leftover tells what was interrupted.
inline constexpr char kCompactTempName[] = "queue.compact.tmp";
inline constexpr char kPurgeTempName[] = "queue.purge.tmp";
inline constexpr char kFreshLogTempName[] = "queue.fresh.tmp";
// A damaged region saved before it is cut: this prefix, then its offset.
inline constexpr char kDamagedCopyPrefix[] = "queue.log.damaged-";

// File header.
inline constexpr char kFileMagic[4] = {'T', 'L', 'F', 'L'};
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr uint64_t kFileVersionOffset = 4;
inline constexpr uint64_t kFileGenerationOffset = 8;
inline constexpr uint64_t kFileHeaderLen = 16;

// Frame header.
inline constexpr char kFrameMagic[4] = {'T', 'L', 'R', '1'};
inline constexpr uint64_t kFrameLengthOffset = 4;
inline constexpr uint64_t kFrameCrcOffset = 8;
inline constexpr uint64_t kFrameHeaderLen = 12;

// The largest payload a reader accepts. A length field above it is damage,
// refused before any buffer is allocated.
inline constexpr uint32_t kMaxRecordLen = 0x20000000;

enum class RecordTag : uint8_t {
  kEnqueue = 1,
  kAck = 2,
  kLease = 3,
  kRequeue = 4,
  kDeadLetter = 5,
};

// Payload fields. Every kind starts with the tag and the seq.
inline constexpr uint64_t kTagOffset = 0;
inline constexpr uint64_t kSeqOffset = 1;
inline constexpr uint64_t kEnqueueTimestampOffset = 9;
inline constexpr uint64_t kEnqueueBodyLenOffset = 17;
inline constexpr uint64_t kEnqueuePayloadHeaderLen = 21;  // where the body starts
inline constexpr uint64_t kAckPayloadLen = 9;
inline constexpr uint64_t kLeaseDeadlineOffset = 9;
inline constexpr uint64_t kLeaseDeliveriesOffset = 17;
inline constexpr uint64_t kLeasePayloadLen = 21;
inline constexpr uint64_t kRequeueDeliveriesOffset = 9;
inline constexpr uint64_t kRequeuePayloadLen = 13;
inline constexpr uint64_t kDeadLetterPayloadLen = 9;

inline constexpr uint64_t kEnqueueFrameOverhead = kFrameHeaderLen + kEnqueuePayloadHeaderLen;

// The Lease deadline of a buried message.
inline constexpr uint64_t kBuriedDeadlineMs = UINT64_MAX;

// The largest body whose Enqueue record still fits in a readable frame.
inline constexpr uint64_t kMaxBodyLen = kMaxRecordLen - kEnqueuePayloadHeaderLen;

// Log writers and readers buffer this many bytes.
inline constexpr uint64_t kIoBufferLen = 8192;

static_assert(kFileVersionOffset == sizeof(kFileMagic));
static_assert(kFileGenerationOffset == kFileVersionOffset + 4);
static_assert(kFileHeaderLen == kFileGenerationOffset + 8);
static_assert(kFrameLengthOffset == sizeof(kFrameMagic));
static_assert(kFrameCrcOffset == kFrameLengthOffset + 4);
static_assert(kFrameHeaderLen == kFrameCrcOffset + 4);
static_assert(kSeqOffset == kTagOffset + 1);
static_assert(kEnqueueTimestampOffset == kSeqOffset + 8);
static_assert(kEnqueueBodyLenOffset == kEnqueueTimestampOffset + 8);
static_assert(kEnqueuePayloadHeaderLen == kEnqueueBodyLenOffset + 4);
static_assert(kAckPayloadLen == kSeqOffset + 8);
static_assert(kLeaseDeadlineOffset == kSeqOffset + 8);
static_assert(kLeaseDeliveriesOffset == kLeaseDeadlineOffset + 8);
static_assert(kLeasePayloadLen == kLeaseDeliveriesOffset + 4);
static_assert(kRequeueDeliveriesOffset == kSeqOffset + 8);
static_assert(kRequeuePayloadLen == kRequeueDeliveriesOffset + 4);
static_assert(kDeadLetterPayloadLen == kSeqOffset + 8);
static_assert(kEnqueueFrameOverhead == 33);
static_assert(kMaxBodyLen < UINT32_MAX, "body_len is a u32 field");

}  // namespace tollivane::logfile
