#include "support/bmp_builder.h"

#include <cstdlib>

namespace {

void putLe(Bytes& out, std::size_t offset, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::uint8_t bmpTestPixel(std::uint32_t row, std::uint32_t column, std::uint32_t channel) {
  return static_cast<std::uint8_t>(row * 37u + column * 11u + channel * 101u + 1u);
}

Bytes buildBmp(const BmpFields& f) {
  const std::size_t channels = f.bitsPerPixel / 8u;
  const std::size_t rowBytes = static_cast<std::size_t>(f.width) * channels;
  const std::size_t stride =
      (static_cast<std::size_t>(f.bitsPerPixel) * static_cast<std::size_t>(f.width) / 8 + 3) &
      ~std::size_t{3};
  const std::size_t rows = static_cast<std::size_t>(std::llabs(f.height));
  Bytes out(f.dataOffset + stride * rows, 0);
  out[0] = 'B';
  out[1] = 'M';
  putLe(out, 2, static_cast<std::uint64_t>(static_cast<std::int64_t>(out.size()) + f.fileSizeDelta),
        4);
  putLe(out, 10, f.dataOffset, 4);
  putLe(out, 14, f.infoHeaderSize, 4);
  putLe(out, 18, static_cast<std::uint32_t>(f.width), 4);
  putLe(out, 22, static_cast<std::uint32_t>(f.height), 4);
  putLe(out, 26, f.planes, 2);
  putLe(out, 28, f.bitsPerPixel, 2);
  putLe(out, 30, f.compression, 4);
  for (std::size_t r = 0; r < rows; ++r) {
    std::uint8_t* row = out.data() + f.dataOffset + r * stride;
    for (std::size_t i = 0; i < rowBytes; ++i) {
      row[i] = bmpTestPixel(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(i / channels),
                            static_cast<std::uint32_t>(i % channels));
    }
    for (std::size_t i = rowBytes; i < stride; ++i) row[i] = 0xEE;
  }
  return out;
}

void putBmp(const std::filesystem::path& path, std::int32_t width, std::int32_t height,
            std::uint16_t bitsPerPixel) {
  writeFile(path, buildBmp({.width = width, .height = height, .bitsPerPixel = bitsPerPixel}));
}
