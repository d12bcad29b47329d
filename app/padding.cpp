// Padding and BMP output.
//
// Output layout: "BM", file size, two reserved words, data offset 54, a 40-byte info header with
// the padded width and a positive padded height (rows bottom-up), 1 plane, 8 * channels bits,
// no compression; the horizontal and vertical pixels-per-metre fields hold the unpadded width
// and height. Padded rows are multiples of 4 bytes, so the pixel block follows unchanged.

#include "app/padding.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/platform.h"
#include "image/byte_io.h"

namespace {

constexpr unsigned kMinPaddedSide = 4;

// Writes count copies of the pixel at dst - pixelBytes after it, doubling the copied span.
void repeatPixel(std::uint8_t* dst, std::size_t pixelBytes, std::size_t count) noexcept {
  std::size_t total = count * pixelBytes;
  std::size_t done = 0;
  const std::uint8_t* source = dst - pixelBytes;
  std::memcpy(dst, source, std::min(total, pixelBytes));
  done = std::min(total, pixelBytes);
  while (done < total) {
    const std::size_t chunk = std::min(done, total - done);
    std::memcpy(dst + done, dst, chunk);
    done += chunk;
  }
}

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
    if (paddedWidth > width) repeatPixel(line + sourceRow, channels, paddedWidth - width);
  }
  const std::uint8_t* topRow = dst + (height - 1) * std::size_t{paddedRow};
  for (unsigned row = height; row < paddedHeight; ++row) {
    std::memcpy(dst + row * paddedRow, topRow, paddedRow);
  }
  return padded;
}

std::array<std::uint8_t, kBmpHeaderBytes> buildBmpHeader(const Image& image,
                                                         std::uint32_t unpaddedWidth,
                                                         std::uint32_t unpaddedHeight) noexcept {
  std::array<std::uint8_t, kBmpHeaderBytes> header{};
  std::uint8_t* h = header.data();
  h[0] = 'B';                                                    // signature
  h[1] = 'M';
  writeLe32(h + 2, static_cast<std::uint32_t>(kBmpHeaderBytes + image.pixelBytes()));  // file size
  writeLe32(h + 10, kBmpHeaderBytes);                            // pixel data offset
  writeLe32(h + 14, 40);                                         // info header size
  writeLe32(h + 18, image.width);                                // width
  writeLe32(h + 22, image.height);                               // height, positive: bottom-up
  writeLe16(h + 26, 1);                                          // planes
  writeLe16(h + 28, static_cast<std::uint16_t>(8u * image.channels));  // bits per pixel
  writeLe32(h + 38, unpaddedWidth);                              // horizontal pixels per metre
  writeLe32(h + 42, unpaddedHeight);                             // vertical pixels per metre
  return header;
}

BmpWriteResult writeBmpFile(const char* path, const Image& image, std::uint32_t unpaddedWidth,
                            std::uint32_t unpaddedHeight) noexcept {
  TemporaryFile temporary;  // removed on every early return
  const int fd = temporary.create(path);
  if (fd < 0) return BmpWriteResult::cannotCreate;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    return BmpWriteResult::cannotCreate;
  }

  // The header waits in the stream's buffer; a large pixel block then goes out with it in a
  // few big writes.
  const auto header = buildBmpHeader(image, unpaddedWidth, unpaddedHeight);
  bool complete = std::fwrite(header.data(), 1, header.size(), file) == header.size();
  complete = complete &&
             std::fwrite(image.pixels(), 1, image.pixelBytes(), file) == image.pixelBytes();
  complete = (std::fclose(file) == 0) && complete;
  if (!complete) return BmpWriteResult::cannotWrite;
  if (!temporary.commit(path)) return BmpWriteResult::cannotCreate;
  return BmpWriteResult::written;
}
