// The five kinds of state change, one record per frame of the log.
//
// A record is a tagged value; an Enqueue owns its body. The queue state
// changes only by applying records, so a process that applies the same
// records in the same order holds the same state.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tollivane::logfile {

enum class RecordTag : uint8_t {
  kEnqueue = 1,
  kAck = 2,
  kLease = 3,
  kRequeue = 4,
  kDeadLetter = 5,
};

struct Enqueue {
  uint64_t seq;
  uint64_t enqueued_ts_ms;
  std::vector<uint8_t> body;  // at most kMaxBodyLen bytes
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

using Record = std::variant<Enqueue, Ack, Lease, Requeue, DeadLetter>;

// An Enqueue read back from the log, its body still where it was read.
struct EnqueueView {
  uint64_t seq;
  uint64_t enqueued_ts_ms;
  std::span<const uint8_t> body;
};

// A record that borrows its body: replay needs only the body's length, and
// the append path encodes a body straight from where the caller holds it.
using RecordView = std::variant<EnqueueView, Ack, Lease, Requeue, DeadLetter>;

uint64_t encoded_len(const RecordView& record);
void encode_record_at(const RecordView& record, uint8_t* out);

// The exact payload length of `record`: 21 + body for Enqueue, 9, 21, 13, 9.
uint64_t encoded_len(const Record& record);

// Writes the payload of `record` (the tag, then its fields little-endian)
// to `out`, which has room for encoded_len(record) bytes.
void encode_record_at(const Record& record, uint8_t* out);
// Appends the payload of `record` to `out`.
void encode_record_into(const Record& record, std::vector<uint8_t>& out);
std::vector<uint8_t> encode_record(const Record& record);

// Why a payload holds no record: "empty record", "unknown record type {}",
// "short u64 field", "short u32 field" or "short body".
struct DecodeFailure {
  std::string reason;
};

// The record in `payload`, or why there is none. Bytes after the last field
// of a kind are ignored.
std::variant<Record, DecodeFailure> decode_record(std::span<const uint8_t> payload);
// The same without copying an Enqueue body: it stays a view into `payload`.
std::variant<RecordView, DecodeFailure> decode_record_view(std::span<const uint8_t> payload);

}  // namespace tollivane::logfile
