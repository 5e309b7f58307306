// The five kinds of state change, one record per frame of the log, and
// their one encoding (the payload layout is in format.h).
//
// A record borrows its Enqueue body: the append path encodes a body straight
// from where the caller holds it, and a decoded record points into the
// payload it was read from, so replay never copies a body. The queue state
// changes only by applying records, so a process that applies the same
// records in the same order holds the same state.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "logfile/format.h"

namespace tollivane::logfile {

struct EnqueueView {
  EnqueueView(uint64_t seq, uint64_t enqueued_ts_ms, std::span<const uint8_t> body)
      : seq(seq), enqueued_ts_ms(enqueued_ts_ms), body(body), body_len(body.size()) {}
  // A record read back from a frame too large to hold whole: `first_bytes`
  // are the start of a body of `body_len` bytes.
  EnqueueView(uint64_t seq, uint64_t enqueued_ts_ms, std::span<const uint8_t> first_bytes, uint64_t body_len)
      : seq(seq), enqueued_ts_ms(enqueued_ts_ms), body(first_bytes), body_len(body_len) {}

  // Whether `body` holds the whole body; only a whole one can be encoded
  // or kept in memory.
  bool whole() const { return body.size() == body_len; }

  uint64_t seq;
  uint64_t enqueued_ts_ms;
  std::span<const uint8_t> body;
  uint64_t body_len;  // at most kMaxBodyLen
};

struct Ack {
  uint64_t seq;
};

struct Lease {
  uint64_t seq;
  uint64_t deadline_ms;
  uint32_t deliveries;  // absolute: the writer did the counting
};

struct Requeue {
  uint64_t seq;
  uint32_t deliveries;
};

struct DeadLetter {
  uint64_t seq;
};

using RecordView = std::variant<EnqueueView, Ack, Lease, Requeue, DeadLetter>;

RecordTag tag_of(const RecordView& record);

// The exact payload length of `record`: 21 + body for Enqueue, 9, 21, 13, 9.
uint64_t encoded_len(const RecordView& record);

// Writes the payload of `record` (the tag, then its fields) to `out`, which
// has room for encoded_len(record) bytes.
void encode_record_at(const RecordView& record, uint8_t* out);

// Why a payload holds no record: "empty record", "unknown record type {}",
// "short u64 field", "short u32 field" or "short body".
struct DecodeFailure {
  std::string reason;
};

// The record in `payload`, or why there is none; an Enqueue body stays a
// view into `payload`. Bytes after the last field of a kind are ignored.
// `payload` may be only the first bytes (at least kEnqueuePayloadHeaderLen
// of them) of a payload of `payload_len` bytes: an Enqueue body is then only
// as much as they hold.
std::variant<RecordView, DecodeFailure> decode_record_view(std::span<const uint8_t> payload);
std::variant<RecordView, DecodeFailure> decode_record_view(std::span<const uint8_t> payload, uint64_t payload_len);

}  // namespace tollivane::logfile
