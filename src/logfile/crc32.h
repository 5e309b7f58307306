// CRC-32 as in IEEE 802.3 and zlib: reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF, final complement; table-driven, one lookup per
// byte.
#pragma once

#include <cstdint>
#include <span>

namespace tollivane::logfile {

uint32_t crc32(std::span<const uint8_t> data);

}  // namespace tollivane::logfile
