// CRC-32 as in IEEE 802.3 and zlib: reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF, final complement; table-driven, one lookup per
// byte.
#pragma once

#include <cstdint>
#include <span>

namespace tollivane::logfile {

uint32_t crc32(std::span<const uint8_t> data);

// Continues `crc` (the CRC-32 of the bytes before `data`, 0 for none) over
// `data`, for data checked piece by piece: crc32(ab) == crc32_extend(crc32(a), b).
uint32_t crc32_extend(uint32_t crc, std::span<const uint8_t> data);

}  // namespace tollivane::logfile
