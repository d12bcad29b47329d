// CRC-32, slicing by eight: eight bytes are folded into the register per step with eight
// independent table lookups, the bytes that remain one at a time. The tables are computed at
// compile time.

#include "png/crc.h"

#include <array>
#include <cstddef>

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

}  // namespace

std::uint32_t crcUpdate(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
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
