#include "logfile/record.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <type_traits>

#include "logfile/endian.h"

namespace tollivane::logfile {
namespace {

// Whether a payload of `payload_len` bytes reaches `end`, the offset just
// past a field.
bool has(uint64_t payload_len, uint64_t end) { return payload_len >= end; }

}  // namespace

RecordTag tag_of(const RecordView& record) {
  return std::visit(
      [](const auto& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, EnqueueView>) return RecordTag::kEnqueue;
        if constexpr (std::is_same_v<Kind, Ack>) return RecordTag::kAck;
        if constexpr (std::is_same_v<Kind, Lease>) return RecordTag::kLease;
        if constexpr (std::is_same_v<Kind, Requeue>) return RecordTag::kRequeue;
        if constexpr (std::is_same_v<Kind, DeadLetter>) return RecordTag::kDeadLetter;
      },
      record);
}

uint64_t encoded_len(const RecordView& record) {
  return std::visit(
      [](const auto& rec) -> uint64_t {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, EnqueueView>) return kEnqueuePayloadHeaderLen + rec.body_len;
        if constexpr (std::is_same_v<Kind, Ack>) return kAckPayloadLen;
        if constexpr (std::is_same_v<Kind, Lease>) return kLeasePayloadLen;
        if constexpr (std::is_same_v<Kind, Requeue>) return kRequeuePayloadLen;
        if constexpr (std::is_same_v<Kind, DeadLetter>) return kDeadLetterPayloadLen;
      },
      record);
}

void encode_record_at(const RecordView& record, uint8_t* out) {
  out[kTagOffset] = static_cast<uint8_t>(tag_of(record));
  std::visit(
      [&](const auto& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        put_le<uint64_t>(out + kSeqOffset, rec.seq);
        if constexpr (std::is_same_v<Kind, EnqueueView>) {
          assert(rec.whole());
          put_le<uint64_t>(out + kEnqueueTimestampOffset, rec.enqueued_ts_ms);
          put_le<uint32_t>(out + kEnqueueBodyLenOffset, static_cast<uint32_t>(rec.body.size()));
          if (!rec.body.empty()) std::memcpy(out + kEnqueuePayloadHeaderLen, rec.body.data(), rec.body.size());
        } else if constexpr (std::is_same_v<Kind, Lease>) {
          put_le<uint64_t>(out + kLeaseDeadlineOffset, rec.deadline_ms);
          put_le<uint32_t>(out + kLeaseDeliveriesOffset, rec.deliveries);
        } else if constexpr (std::is_same_v<Kind, Requeue>) {
          put_le<uint32_t>(out + kRequeueDeliveriesOffset, rec.deliveries);
        }
      },
      record);
}

std::variant<RecordView, DecodeFailure> decode_record_view(std::span<const uint8_t> payload) {
  return decode_record_view(payload, payload.size());
}

std::variant<RecordView, DecodeFailure> decode_record_view(std::span<const uint8_t> payload, uint64_t payload_len) {
  assert(payload.size() == payload_len || payload.size() >= kEnqueuePayloadHeaderLen);
  if (payload_len == 0) return DecodeFailure{"empty record"};
  const uint8_t tag = payload[kTagOffset];
  if (tag < static_cast<uint8_t>(RecordTag::kEnqueue) || tag > static_cast<uint8_t>(RecordTag::kDeadLetter)) {
    return DecodeFailure{"unknown record type " + std::to_string(tag)};
  }
  if (!has(payload_len, kSeqOffset + 8)) return DecodeFailure{"short u64 field"};
  const uint64_t seq = get_le<uint64_t>(&payload[kSeqOffset]);
  switch (static_cast<RecordTag>(tag)) {
    case RecordTag::kAck:
      return RecordView(Ack{seq});
    case RecordTag::kDeadLetter:
      return RecordView(DeadLetter{seq});
    case RecordTag::kRequeue:
      if (!has(payload_len, kRequeuePayloadLen)) return DecodeFailure{"short u32 field"};
      return RecordView(Requeue{seq, get_le<uint32_t>(&payload[kRequeueDeliveriesOffset])});
    case RecordTag::kLease:
      if (!has(payload_len, kLeaseDeliveriesOffset)) return DecodeFailure{"short u64 field"};
      if (!has(payload_len, kLeasePayloadLen)) return DecodeFailure{"short u32 field"};
      return RecordView(Lease{seq, get_le<uint64_t>(&payload[kLeaseDeadlineOffset]),
                              get_le<uint32_t>(&payload[kLeaseDeliveriesOffset])});
    case RecordTag::kEnqueue:
      break;
  }
  if (!has(payload_len, kEnqueueBodyLenOffset)) return DecodeFailure{"short u64 field"};
  if (!has(payload_len, kEnqueuePayloadHeaderLen)) return DecodeFailure{"short u32 field"};
  const uint32_t body_len = get_le<uint32_t>(&payload[kEnqueueBodyLenOffset]);
  // body_len is a u32 and the payload length at most 2^32: the sum cannot wrap in 64 bits.
  if (payload_len < kEnqueuePayloadHeaderLen + uint64_t{body_len}) return DecodeFailure{"short body"};
  const size_t held = std::min<size_t>(body_len, payload.size() - kEnqueuePayloadHeaderLen);
  return RecordView(EnqueueView{seq, get_le<uint64_t>(&payload[kEnqueueTimestampOffset]),
                                payload.subspan(kEnqueuePayloadHeaderLen, held), body_len});
}

}  // namespace tollivane::logfile
