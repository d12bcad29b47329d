#pragma once
// CRC-32 of PNG chunks and zlib (reflected polynomial 0xEDB88320, register preset to all ones
// and inverted at the end).

#include <cstdint>
#include <span>

// Runs the CRC register over bytes; start with 0xFFFFFFFF and invert the final register.
[[nodiscard]] std::uint32_t crcUpdate(std::uint32_t crc,
                                      std::span<const std::uint8_t> bytes) noexcept;
