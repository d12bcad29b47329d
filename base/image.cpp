// Picture record: creation, the pixel repeat of padding and run-length data, and the two in-place
// reorderings the readers need.
//
// Picture blocks run to tens of megabytes and every byte is written once right after creation;
// where the system offers it, such blocks are backed by huge pages (adviseLargeBlock), because
// on virtual machines a page fault per 4 KiB page can cost more than decoding the picture.

#include "base/image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/platform.h"

namespace {

ImagePtr placeImage(unsigned channels, unsigned height, unsigned width, bool zeroed) noexcept {
  if (channels == 0 || channels > 255 || height == 0 || height > 0xFFFF || width == 0 ||
      width > 0xFFFF) {
    return nullptr;
  }
  const std::size_t bytes = Image::kHeaderBytes + std::size_t{width} * height * channels;
  void* block = zeroed ? heapAllocateZeroed(bytes) : heapAllocate(bytes);
  if (block == nullptr) return nullptr;
  adviseLargeBlock(block, bytes);
  auto* image = new (block) Image{};
  image->width = static_cast<std::uint16_t>(width);
  image->height = static_cast<std::uint16_t>(height);
  image->reserved = 1;
  image->channels = static_cast<std::uint8_t>(channels);
  return ImagePtr(image);
}

}  // namespace

ImagePtr createImage(unsigned channels, unsigned height, unsigned width) noexcept {
  return placeImage(channels, height, width, false);
}

ImagePtr createZeroedImage(unsigned channels, unsigned height, unsigned width) noexcept {
  return placeImage(channels, height, width, true);
}

void flipImageRows(Image& image) noexcept {
  const std::size_t rowBytes = image.rowBytes();
  std::uint8_t* pixels = image.pixels();
  for (std::size_t top = 0, bottom = image.height; top + 1 < bottom; ++top) {
    --bottom;
    std::swap_ranges(pixels + top * rowBytes, pixels + (top + 1) * rowBytes,
                     pixels + bottom * rowBytes);
  }
}

void flipLeadingRows(Image& image, std::size_t leadingRows) noexcept {
  const std::size_t rowBytes = image.rowBytes();
  std::uint8_t* pixels = image.pixels();
  // Row `top` trades places with row `bottom`; once `top` reaches the zero rows, so has every
  // later pair.
  for (std::size_t top = 0, bottom = image.height; top + 1 < bottom && top < leadingRows; ++top) {
    --bottom;
    std::uint8_t* topRow = pixels + top * rowBytes;
    std::uint8_t* bottomRow = pixels + bottom * rowBytes;
    if (bottom < leadingRows) {
      std::swap_ranges(topRow, topRow + rowBytes, bottomRow);
    } else {
      std::memcpy(bottomRow, topRow, rowBytes);
      std::memset(topRow, 0, rowBytes);
    }
  }
}

void swapRedBlue(Image& image) noexcept {
  const std::size_t step = image.channels;
  std::uint8_t* pixel = image.pixels();
  std::uint8_t* const end = pixel + image.pixelBytes();
  for (; pixel != end; pixel += step) std::swap(pixel[0], pixel[2]);
}

void repeatPixel(std::uint8_t* pixel, std::size_t pixelBytes, std::size_t count) noexcept {
  const std::size_t total = pixelBytes * count;
  std::size_t filled = std::min(pixelBytes, total);
  while (filled < total) {
    const std::size_t chunk = std::min(filled, total - filled);
    std::memcpy(pixel + filled, pixel, chunk);
    filled += chunk;
  }
}
