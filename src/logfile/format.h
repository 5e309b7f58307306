// The on-disk facts of queue.log, shared by every reader and writer.
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
//   Enqueue payload (tag 1)
//     0   1  tag
//     1   8  seq
//     9   8  enqueued_ts_ms
//    17   4  body_len
//    21   -  body
//
// A body is stored only in its Enqueue frame, kEnqueueFrameOverhead bytes
// after the frame start, so bodies can be read straight out of a map of the
// log and "live bytes" are the bytes the live messages' frames occupy.
#pragma once

#include <cstdint>

namespace tollivane::logfile {

// The files of a queue directory besides its lock file.
inline constexpr char kLogName[] = "queue.log";
inline constexpr char kCompactTempName[] = "queue.compact.tmp";
inline constexpr char kPurgeTempName[] = "queue.purge.tmp";

inline constexpr char kFileMagic[4] = {'T', 'L', 'F', 'L'};
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr uint64_t kFileHeaderLen = 16;

inline constexpr char kFrameMagic[4] = {'T', 'L', 'R', '1'};
inline constexpr uint64_t kFrameHeaderLen = 12;

// The largest payload a reader accepts. A length field above it is damage,
// refused before any buffer is allocated.
inline constexpr uint32_t kMaxRecordLen = 0x20000000;

// tag + seq + enqueued_ts_ms + body_len
inline constexpr uint64_t kEnqueuePayloadHeaderLen = 1 + 8 + 8 + 4;
inline constexpr uint64_t kEnqueueFrameOverhead = kFrameHeaderLen + kEnqueuePayloadHeaderLen;

// The largest body whose Enqueue record still fits in a readable frame.
inline constexpr uint64_t kMaxBodyLen = kMaxRecordLen - kEnqueuePayloadHeaderLen;

// Log writers and readers buffer this many bytes.
inline constexpr uint64_t kIoBufferLen = 8192;

static_assert(kFileHeaderLen == sizeof(kFileMagic) + 4 + 8);
static_assert(kEnqueuePayloadHeaderLen == 21);
static_assert(kEnqueueFrameOverhead == 33);
static_assert(kMaxBodyLen < UINT32_MAX, "body_len is a u32 field");

}  // namespace tollivane::logfile
