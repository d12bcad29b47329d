#pragma once
// Bounds-checked readers for multi-byte fields. A field that does not lie wholly inside the
// span reads as 0; callers test the length of a header once and then read its fields.

#include <cstddef>
#include <cstdint>
#include <span>

using ByteSpan = std::span<const std::uint8_t>;

// The largest input file any reader takes (2^31 - 1 bytes): every offset and count inside a file
// fits a signed 32-bit integer.
constexpr std::size_t kMaxInputFileBytes = 0x7FFFFFFF;

[[nodiscard]] constexpr bool holds(ByteSpan bytes, std::size_t offset, std::size_t count) noexcept {
  return offset <= bytes.size() && count <= bytes.size() - offset;
}

[[nodiscard]] constexpr std::uint8_t readU8(ByteSpan bytes, std::size_t offset) noexcept {
  return holds(bytes, offset, 1) ? bytes[offset] : std::uint8_t{0};
}

[[nodiscard]] constexpr std::uint16_t readLe16(ByteSpan bytes, std::size_t offset) noexcept {
  if (!holds(bytes, offset, 2)) return 0;
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

[[nodiscard]] constexpr std::uint32_t readLe32(ByteSpan bytes, std::size_t offset) noexcept {
  if (!holds(bytes, offset, 4)) return 0;
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

[[nodiscard]] constexpr std::uint32_t readBe32(ByteSpan bytes, std::size_t offset) noexcept {
  if (!holds(bytes, offset, 4)) return 0;
  return static_cast<std::uint32_t>(bytes[offset]) << 24 |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 3]);
}

// Little-endian writers for the output header.
constexpr void writeLe16(std::uint8_t* out, std::uint16_t value) noexcept {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void writeLe32(std::uint8_t* out, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
