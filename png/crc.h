#pragma once
// CRC-32 of PNG chunks and zlib (reflected polynomial 0xEDB88320, register preset to all ones
// and inverted at the end). The 256-entry table is computed at compile time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320u;

// Entry n is the CRC remainder of the single byte n: eight shifts of n, each XORing in the
// polynomial when the bit shifted out is 1.
[[nodiscard]] constexpr std::array<std::uint32_t, 256> buildCrcTable() noexcept {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t value = n;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1u) != 0 ? (value >> 1) ^ kCrcPolynomial : value >> 1;
    }
    table[n] = value;
  }
  return table;
}

inline constexpr std::array<std::uint32_t, 256> crcTable = buildCrcTable();

// Runs the CRC register over bytes; start with 0xFFFFFFFF and invert the final register.
[[nodiscard]] constexpr std::uint32_t crcUpdate(std::uint32_t crc,
                                                std::span<const std::uint8_t> bytes) noexcept {
  for (const std::uint8_t byte : bytes) crc = crcTable[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
  return crc;
}

static_assert(crcTable[1] == 0x77073096u && crcTable[255] == 0x2D02EF8Du);
