// Picture record: creation and the two in-place reorderings the readers need.

#include "image/image.h"

#include <algorithm>
#include <new>

ImagePtr createImage(unsigned channels, unsigned height, unsigned width) noexcept {
  if (channels == 0 || channels > 255 || height == 0 || height > 0xFFFF || width == 0 ||
      width > 0xFFFF) {
    return nullptr;
  }
  const std::size_t bytes = std::size_t{width} * height * channels;
  void* block = heapAllocate(Image::kHeaderBytes + bytes);
  if (block == nullptr) return nullptr;
  auto* image = new (block) Image{};
  image->width = static_cast<std::uint16_t>(width);
  image->height = static_cast<std::uint16_t>(height);
  image->reserved = 1;
  image->channels = static_cast<std::uint8_t>(channels);
  return ImagePtr(image);
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

void swapRedBlue(Image& image) noexcept {
  const std::size_t step = image.channels;
  std::uint8_t* pixel = image.pixels();
  std::uint8_t* const end = pixel + image.pixelBytes();
  for (; pixel != end; pixel += step) std::swap(pixel[0], pixel[2]);
}
