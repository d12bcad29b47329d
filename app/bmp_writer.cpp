// BMP output.
//
// Output layout: "BM", file size, two reserved words, data offset 54, a 40-byte info header with
// the padded width and a positive padded height (rows bottom-up), 1 plane, 8 * channels bits,
// no compression; the horizontal and vertical pixels-per-metre fields hold the unpadded width
// and height. Padded rows are multiples of 4 bytes, so the pixel block follows unchanged.

#include "app/bmp_writer.h"

#include <cstdio>

#include "base/byte_io.h"
#include "base/platform.h"

std::array<std::uint8_t, kBmpHeaderBytes> buildBmpHeader(const Image& image,
                                                         std::uint32_t unpaddedWidth,
                                                         std::uint32_t unpaddedHeight) noexcept {
  std::array<std::uint8_t, kBmpHeaderBytes> header{};
  std::uint8_t* h = header.data();
  h[0] = 'B';  // signature
  h[1] = 'M';
  writeLe32(h + 2, static_cast<std::uint32_t>(kBmpHeaderBytes + image.pixelBytes()));  // file size
  writeLe32(h + 10, kBmpHeaderBytes);  // pixel data offset
  writeLe32(h + 14, 40);               // info header size
  writeLe32(h + 18, image.width);      // width
  writeLe32(h + 22, image.height);     // height, positive: bottom-up
  writeLe16(h + 26, 1);                // planes
  writeLe16(h + 28, static_cast<std::uint16_t>(8u * image.channels));  // bits per pixel
  writeLe32(h + 38, unpaddedWidth);   // horizontal pixels per metre
  writeLe32(h + 42, unpaddedHeight);  // vertical pixels per metre
  return header;
}

BmpWriteResult writeBmpFile(const char* path, const Image& image, std::uint32_t unpaddedWidth,
                            std::uint32_t unpaddedHeight) noexcept {
  TemporaryFile temporary;  // removed on every early return
  std::FILE* file = temporary.create(path);
  if (file == nullptr) return BmpWriteResult::cannotCreate;

  // The header waits in the stream's buffer; a large pixel block then goes out with it in a
  // few big writes.
  const auto header = buildBmpHeader(image, unpaddedWidth, unpaddedHeight);
  bool complete = std::fwrite(header.data(), 1, header.size(), file) == header.size();
  complete =
      complete && std::fwrite(image.pixels(), 1, image.pixelBytes(), file) == image.pixelBytes();
  complete = (std::fclose(file) == 0) && complete;
  if (!complete) return BmpWriteResult::cannotWrite;
  if (!temporary.commit(path)) return BmpWriteResult::cannotCreate;
  return BmpWriteResult::written;
}
