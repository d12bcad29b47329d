#pragma once
// The one in-memory picture of the converter. Rows run bottom-up, pixels are B,G,R or B,G,R,A,
// rows carry no alignment bytes: the pixel block is already the pixel array of a bottom-up BMP.

#include <cstddef>
#include <cstdint>

#include "base/heap.h"

// Largest width or height any reader returns.
constexpr unsigned kMaxImageSide = 16384;

// One heap block: this header, then width * height * channels pixel bytes.
struct Image {
  std::uint16_t width;
  std::uint16_t height;
  std::uint16_t reserved;  // always 1
  std::uint8_t channels;   // 3 (B,G,R) or 4 (B,G,R,A)

  static constexpr std::size_t kHeaderBytes = 16;  // keeps the pixels 16-byte aligned

  [[nodiscard]] std::uint8_t* pixels() noexcept {
    return reinterpret_cast<std::uint8_t*>(this) + kHeaderBytes;
  }
  [[nodiscard]] const std::uint8_t* pixels() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(this) + kHeaderBytes;
  }
  [[nodiscard]] std::size_t rowBytes() const noexcept { return std::size_t{width} * channels; }
  [[nodiscard]] std::size_t pixelBytes() const noexcept { return rowBytes() * height; }
};

using ImagePtr = HeapPtr<Image>;

// A new picture with uninitialised pixels, or null when the allocation fails or a side is 0 or
// above 65535 or channels is 0.
[[nodiscard]] ImagePtr createImage(unsigned channels, unsigned height, unsigned width) noexcept;

// The same with every pixel byte zero. Large blocks come as fresh zero pages, so a reader that
// leaves most of the picture zero (a short run-length stream) never touches those pages.
[[nodiscard]] ImagePtr createZeroedImage(unsigned channels, unsigned height,
                                         unsigned width) noexcept;

// Repeats the pixel at pixel[0..pixelBytes) so that count copies of it, itself the first, stand
// in a row from pixel on; the copied span doubles with each copy.
void repeatPixel(std::uint8_t* pixel, std::size_t pixelBytes, std::size_t count) noexcept;

// Reverses the order of the rows in place (the middle row of an odd height stays).
void flipImageRows(Image& image) noexcept;

// flipImageRows for a picture whose rows from `leadingRows` on are all zero: the same result,
// but zero rows that stay zero are never touched.
void flipLeadingRows(Image& image, std::size_t leadingRows) noexcept;

// Exchanges byte 0 and byte 2 of every pixel: R,G,B(,A) <-> B,G,R(,A).
void swapRedBlue(Image& image) noexcept;
