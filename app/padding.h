#pragma once
// Power-of-two padding by edge replication.

// The smallest power of two that is at least 4 and at least side.
[[nodiscard]] unsigned paddedSide(unsigned side) noexcept;

// The sides a picture may have to be converted; the report of a refusal names these bounds.
inline constexpr unsigned kMinConvertedSide = 4;
inline constexpr unsigned kMaxConvertedSide = 8192;

// True when both sides lie in kMinConvertedSide..kMaxConvertedSide.
[[nodiscard]] constexpr bool convertedSides(unsigned width, unsigned height) noexcept {
  return width >= kMinConvertedSide && width <= kMaxConvertedSide && height >= kMinConvertedSide &&
         height <= kMaxConvertedSide;
}
