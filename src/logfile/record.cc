#include "logfile/record.h"

#include <cstring>
#include <type_traits>

#include "logfile/endian.h"
#include "logfile/format.h"

namespace tollivane::logfile {
namespace {

template <typename AnyRecord>
RecordTag tag_of(const AnyRecord& record) {
  return std::visit(
      [](const auto& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, Enqueue> || std::is_same_v<Kind, EnqueueView>) return RecordTag::kEnqueue;
        if constexpr (std::is_same_v<Kind, Ack>) return RecordTag::kAck;
        if constexpr (std::is_same_v<Kind, Lease>) return RecordTag::kLease;
        if constexpr (std::is_same_v<Kind, Requeue>) return RecordTag::kRequeue;
        if constexpr (std::is_same_v<Kind, DeadLetter>) return RecordTag::kDeadLetter;
      },
      record);
}

// Both kinds of record encode alike; only where an Enqueue body lives differs.
template <typename AnyRecord>
uint64_t encoded_len_of(const AnyRecord& record) {
  return std::visit(
      [](const auto& rec) -> uint64_t {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, Enqueue> || std::is_same_v<Kind, EnqueueView>) {
          return kEnqueuePayloadHeaderLen + rec.body.size();
        } else if constexpr (std::is_same_v<Kind, Lease>) {
          return 1 + 8 + 8 + 4;
        } else if constexpr (std::is_same_v<Kind, Requeue>) {
          return 1 + 8 + 4;
        } else {
          return 1 + 8;
        }
      },
      record);
}

template <typename AnyRecord>
void encode_at(const AnyRecord& record, uint8_t* out) {
  out[0] = static_cast<uint8_t>(tag_of(record));
  std::visit(
      [&](const auto& rec) {
        using Kind = std::decay_t<decltype(rec)>;
        put_le<uint64_t>(out + 1, rec.seq);
        if constexpr (std::is_same_v<Kind, Enqueue> || std::is_same_v<Kind, EnqueueView>) {
          put_le<uint64_t>(out + 9, rec.enqueued_ts_ms);
          put_le<uint32_t>(out + 17, static_cast<uint32_t>(rec.body.size()));
          if (!rec.body.empty()) std::memcpy(out + kEnqueuePayloadHeaderLen, rec.body.data(), rec.body.size());
        } else if constexpr (std::is_same_v<Kind, Lease>) {
          put_le<uint64_t>(out + 9, rec.deadline_ms);
          put_le<uint32_t>(out + 17, rec.deliveries);
        } else if constexpr (std::is_same_v<Kind, Requeue>) {
          put_le<uint32_t>(out + 9, rec.deliveries);
        }
      },
      record);
}

// Field readers that check the payload is long enough first. `end` is the
// offset just past the field.
bool has(std::span<const uint8_t> payload, size_t end) { return payload.size() >= end; }

}  // namespace

uint64_t encoded_len(const Record& record) { return encoded_len_of(record); }
uint64_t encoded_len(const RecordView& record) { return encoded_len_of(record); }
void encode_record_at(const Record& record, uint8_t* out) { encode_at(record, out); }
void encode_record_at(const RecordView& record, uint8_t* out) { encode_at(record, out); }

void encode_record_into(const Record& record, std::vector<uint8_t>& out) {
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(encoded_len(record)));
  encode_record_at(record, out.data() + at);
}

std::vector<uint8_t> encode_record(const Record& record) {
  std::vector<uint8_t> payload;
  payload.reserve(encoded_len(record));
  encode_record_into(record, payload);
  return payload;
}

std::variant<RecordView, DecodeFailure> decode_record_view(std::span<const uint8_t> payload) {
  if (payload.empty()) return DecodeFailure{"empty record"};
  const uint8_t tag = payload[0];
  if (tag < 1 || tag > 5) return DecodeFailure{"unknown record type " + std::to_string(tag)};
  if (!has(payload, 9)) return DecodeFailure{"short u64 field"};
  const uint64_t seq = get_le<uint64_t>(&payload[1]);
  switch (static_cast<RecordTag>(tag)) {
    case RecordTag::kAck:
      return RecordView(Ack{seq});
    case RecordTag::kDeadLetter:
      return RecordView(DeadLetter{seq});
    case RecordTag::kRequeue:
      if (!has(payload, 13)) return DecodeFailure{"short u32 field"};
      return RecordView(Requeue{seq, get_le<uint32_t>(&payload[9])});
    case RecordTag::kLease:
    case RecordTag::kEnqueue:
      break;
  }
  if (!has(payload, 17)) return DecodeFailure{"short u64 field"};
  if (!has(payload, 21)) return DecodeFailure{"short u32 field"};
  const uint64_t second = get_le<uint64_t>(&payload[9]);
  const uint32_t third = get_le<uint32_t>(&payload[17]);
  if (tag == static_cast<uint8_t>(RecordTag::kLease)) return RecordView(Lease{seq, second, third});
  // body_len is a u32 and the payload length a size_t: the sum cannot wrap in 64 bits.
  if (static_cast<uint64_t>(payload.size()) < kEnqueuePayloadHeaderLen + uint64_t{third}) {
    return DecodeFailure{"short body"};
  }
  return RecordView(EnqueueView{seq, second, payload.subspan(kEnqueuePayloadHeaderLen, third)});
}

std::variant<Record, DecodeFailure> decode_record(std::span<const uint8_t> payload) {
  auto decoded = decode_record_view(payload);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded)) return std::move(*failure);
  return std::visit(
      [](const auto& rec) -> Record {
        using Kind = std::decay_t<decltype(rec)>;
        if constexpr (std::is_same_v<Kind, EnqueueView>) {
          return Enqueue{rec.seq, rec.enqueued_ts_ms, std::vector<uint8_t>(rec.body.begin(), rec.body.end())};
        } else {
          return rec;
        }
      },
      std::get<RecordView>(decoded));
}

}  // namespace tollivane::logfile
