// Little-endian integers in byte buffers, whatever the host's byte order.
#pragma once

#include <cstdint>

namespace tollivane::logfile {

template <typename T>
inline void put_le(uint8_t* out, T value) {
  for (unsigned i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

template <typename T>
inline T get_le(const uint8_t* in) {
  uint64_t value = 0;
  for (unsigned i = 0; i < sizeof(T); ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return static_cast<T>(value);
}

}  // namespace tollivane::logfile
