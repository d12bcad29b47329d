// Power-of-two padding: the picture's rows are copied into a canvas of power-of-two sides, each
// row's last pixel repeated to the right edge and the top row repeated upwards.

#include "app/padding.h"

#include <cstring>

namespace {

constexpr unsigned kMinPaddedSide = 4;

}  // namespace

unsigned paddedSide(unsigned side) noexcept {
  unsigned padded = kMinPaddedSide;
  while (padded < side) padded *= 2;
  return padded;
}

ImagePtr padToPowerOfTwo(ImagePtr image) noexcept {
  if (!image) return nullptr;
  const unsigned width = image->width;
  const unsigned height = image->height;
  const unsigned channels = image->channels;
  const unsigned paddedWidth = paddedSide(width);
  const unsigned paddedHeight = paddedSide(height);
  if (paddedWidth == width && paddedHeight == height) return image;

  ImagePtr padded = createImage(channels, paddedHeight, paddedWidth);
  if (!padded) return nullptr;
  const std::size_t sourceRow = image->rowBytes();
  const std::size_t paddedRow = padded->rowBytes();
  const std::uint8_t* src = image->pixels();
  std::uint8_t* dst = padded->pixels();
  for (unsigned row = 0; row < height; ++row) {
    std::uint8_t* line = dst + row * paddedRow;
    std::memcpy(line, src + row * sourceRow, sourceRow);
    if (paddedWidth > width) {
      repeatPixel(line + sourceRow - channels, channels, paddedWidth - width + 1);
    }
  }
  const std::uint8_t* topRow = dst + (height - 1) * std::size_t{paddedRow};
  for (unsigned row = height; row < paddedHeight; ++row) {
    std::memcpy(dst + row * paddedRow, topRow, paddedRow);
  }
  return padded;
}
