#include "logfile/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#include "logfile/endian.h"

namespace tollivane::logfile {
namespace {

// kTables[0] is the classic byte-at-a-time table. kTables[k][n] is the CRC
// contribution of byte n followed by k zero bytes, which lets eight bytes be
// folded in per step with one lookup each: every frame of every append,
// replay and verification is checksummed, and bodies may be large.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (uint32_t n = 0; n < 256; ++n) {
      const uint32_t previous = tables[k - 1][n];
      tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr Tables kTables = make_tables();

// Four bytes, little-endian. A plain load where the host is little-endian:
// the compiler does not always see a shift-and-or loop as one, and this is
// the CRC's inner loop.
inline uint32_t load_le32(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  } else {
    return get_le<uint32_t>(p);
  }
}

}  // namespace

uint32_t crc32(std::span<const uint8_t> data) {
  uint32_t crc = 0xFFFFFFFFu;
  const uint8_t* p = data.data();
  size_t left = data.size();
  for (; left >= 8; p += 8, left -= 8) {
    const uint32_t low = load_le32(p) ^ crc;
    const uint32_t high = load_le32(p + 4);
    crc = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^ kTables[5][(low >> 16) & 0xFFu] ^
          kTables[4][low >> 24] ^ kTables[3][high & 0xFFu] ^ kTables[2][(high >> 8) & 0xFFu] ^
          kTables[1][(high >> 16) & 0xFFu] ^ kTables[0][high >> 24];
  }
  for (; left > 0; ++p, --left) crc = kTables[0][(crc ^ *p) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace tollivane::logfile
