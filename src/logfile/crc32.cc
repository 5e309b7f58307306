#include "logfile/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
#define TOLLIVANE_CRC_CLMUL 1

// Carry-less multiplication folds 16 bytes per step where the processor has
// it (almost every x86-64 made since 2010): the method of Gopal et al.,
// "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ" (Intel,
// 2009), with its constants for the reflected polynomial 0xEDB88320. Takes
// and returns the CRC register (not complemented); `len` is a multiple of
// 16 and at least 64. Every frame of an enqueue with a body of 43 bytes or
// more goes through here, and the table loop was the largest single cost of
// an append and of a replay.
__attribute__((target("pclmul,sse2"))) inline __m128i load16(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x times the folding constants k, plus the next 16 bytes.
__attribute__((target("pclmul,sse2"))) inline __m128i fold16(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

__attribute__((target("pclmul,sse2"))) uint32_t crc32_clmul(const uint8_t* p, size_t len, uint32_t crc) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load16(p + 16);
  __m128i x3 = load16(p + 32);
  __m128i x4 = load16(p + 48);
  p += 64;
  len -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  for (; len >= 64; p += 64, len -= 64) {
    x1 = fold16(x1, k, load16(p));
    x2 = fold16(x2, k, load16(p + 16));
    x3 = fold16(x3, k, load16(p + 32));
    x4 = fold16(x4, k, load16(p + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold16(x1, k, x2);
  x1 = fold16(x1, k, x3);
  x1 = fold16(x1, k, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = fold16(x1, k, load16(p));

  // 128 bits to 64, then Barrett reduction to 32.
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), _mm_srli_si128(x1, 4));
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  __m128i x2b = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10), low32);
  x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(x2b, k, 0x00));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

bool has_clmul() {
  static const bool supported = __builtin_cpu_supports("pclmul");
  return supported;
}
#endif

}  // namespace

uint32_t crc32(std::span<const uint8_t> data) { return crc32_extend(0, data); }

uint32_t crc32_extend(uint32_t crc, std::span<const uint8_t> data) {
  crc ^= 0xFFFFFFFFu;
  const uint8_t* p = data.data();
  size_t left = data.size();
#ifdef TOLLIVANE_CRC_CLMUL
  if (left >= 64 && has_clmul()) {
    const size_t folded = left & ~size_t{15};
    crc = crc32_clmul(p, folded, crc);
    p += folded;
    left -= folded;
  }
#endif
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
