// CRC-32, slicing by eight: eight bytes are folded into the register per step with eight
// independent table lookups, the bytes that remain one at a time. The tables are computed at
// compile time.
//
// With carry-less multiplication (PCLMULQDQ, chosen at run time) runs of 64 bytes or more are
// first folded, 64 bytes per step in four 128-bit lanes: each lane times x^512 modulo the
// polynomial (two carry-less products with precomputed constants) plus the next 64 bytes. The
// lanes are then folded into one, that one over the remaining whole 16-byte blocks, and the
// 128 bits left have the same remainder as the bytes they replace, so the register runs over
// them from zero and then over the last bytes with the tables.

#include "png/crc.h"

#include <array>
#include <cstddef>

#include "base/cpu_features.h"

#if POW2BMP_X86_SIMD
#include <immintrin.h>
#endif

namespace {

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320u;

// Entry n of table k is the register after byte n followed by k zero bytes. Table 0 is the
// classic one: eight shifts of n, each XORing in the polynomial when the bit shifted out is 1.
using CrcSliceTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcSliceTables buildCrcSliceTables() noexcept {
  CrcSliceTables tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t value = n;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1u) != 0 ? (value >> 1) ^ kCrcPolynomial : value >> 1;
    }
    tables[0][n] = value;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t n = 0; n < 256; ++n) {
      const std::uint32_t previous = tables[k - 1][n];
      tables[k][n] = tables[0][previous & 0xFFu] ^ (previous >> 8);
    }
  }
  return tables;
}

constexpr CrcSliceTables kCrcSlices = buildCrcSliceTables();
static_assert(kCrcSlices[0][1] == 0x77073096u && kCrcSlices[0][255] == 0x2D02EF8Du);

std::uint32_t crcUpdateTables(std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
  for (; n >= 8; n -= 8, p += 8) {
    const std::uint32_t low = crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                     std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    crc = kCrcSlices[7][low & 0xFFu] ^ kCrcSlices[6][(low >> 8) & 0xFFu] ^
          kCrcSlices[5][(low >> 16) & 0xFFu] ^ kCrcSlices[4][low >> 24] ^ kCrcSlices[3][p[4]] ^
          kCrcSlices[2][p[5]] ^ kCrcSlices[1][p[6]] ^ kCrcSlices[0][p[7]];
  }
  for (; n != 0; --n, ++p) crc = kCrcSlices[0][(crc ^ *p) & 0xFFu] ^ (crc >> 8);
  return crc;
}

#if POW2BMP_X86_SIMD
// One fold step: the two 64-bit halves of lane times their constants (powers of x modulo the
// polynomial, bit-reflected, that move a half 512 or 128 bits further along the message), plus
// the block at that place.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i constants,
                                                             __m128i next) noexcept {
  const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

inline __m128i load16(const std::uint8_t* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The register after the n >= 64 bytes at p.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t crcUpdateFolding(std::uint32_t crc,
                                                                        const std::uint8_t* p,
                                                                        std::size_t n) noexcept {
  const __m128i by512 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
  const __m128i by128 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
  __m128i lane0 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i lane1 = load16(p + 16);
  __m128i lane2 = load16(p + 32);
  __m128i lane3 = load16(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; n -= 64, p += 64) {
    lane0 = fold(lane0, by512, load16(p));
    lane1 = fold(lane1, by512, load16(p + 16));
    lane2 = fold(lane2, by512, load16(p + 32));
    lane3 = fold(lane3, by512, load16(p + 48));
  }
  __m128i lane = fold(lane0, by128, lane1);
  lane = fold(lane, by128, lane2);
  lane = fold(lane, by128, lane3);
  for (; n >= 16; n -= 16, p += 16) lane = fold(lane, by128, load16(p));
  std::uint8_t remainder[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(remainder), lane);
  return crcUpdateTables(crcUpdateTables(0, remainder, 16), p, n);
}
#endif

}  // namespace

std::uint32_t crcUpdate(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
#if POW2BMP_X86_SIMD
  if (bytes.size() >= 64 && usePclmul()) {
    return crcUpdateFolding(crc, bytes.data(), bytes.size());
  }
#endif
  return crcUpdateTables(crc, bytes.data(), bytes.size());
}
