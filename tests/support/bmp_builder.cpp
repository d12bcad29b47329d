#include "support/bmp_builder.h"

#include <algorithm>
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

Bytes buildBmpFrom(const BmpFields& f, const std::vector<std::uint32_t>& masks,
                   const Bytes& colourTable, const Bytes& pixelData, std::uint32_t coloursUsed) {
  const std::size_t masksEnd = 54 + 4 * masks.size();
  const std::size_t tableOffset = std::max<std::size_t>(14 + f.infoHeaderSize, masksEnd);
  const std::size_t dataOffset = tableOffset + colourTable.size();
  Bytes out(dataOffset, 0);
  out[0] = 'B';
  out[1] = 'M';
  putLe(out, 2, dataOffset + pixelData.size(), 4);  // file size
  putLe(out, 10, dataOffset, 4);                    // pixel data offset
  putLe(out, 14, f.infoHeaderSize, 4);
  putLe(out, 18, static_cast<std::uint32_t>(f.width), 4);
  putLe(out, 22, static_cast<std::uint32_t>(f.height), 4);
  putLe(out, 26, f.planes, 2);
  putLe(out, 28, f.bitsPerPixel, 2);
  putLe(out, 30, f.compression, 4);
  putLe(out, 34, pixelData.size(), 4);  // image size
  putLe(out, 46, coloursUsed, 4);
  for (std::size_t k = 0; k < masks.size(); ++k) putLe(out, 54 + 4 * k, masks[k], 4);
  std::copy(colourTable.begin(), colourTable.end(),
            out.begin() + static_cast<std::ptrdiff_t>(tableOffset));
  out.insert(out.end(), pixelData.begin(), pixelData.end());
  return out;
}

Bytes buildOs2Bmp(std::uint16_t width, std::uint16_t height, std::uint16_t bitsPerPixel,
                  const Bytes& colourTable, const Bytes& pixelData) {
  const std::size_t dataOffset = 26 + colourTable.size();
  Bytes out(26, 0);
  out[0] = 'B';
  out[1] = 'M';
  putLe(out, 2, dataOffset + pixelData.size(), 4);  // file size
  putLe(out, 10, dataOffset, 4);                    // pixel data offset
  putLe(out, 14, 12, 4);                            // info header size
  putLe(out, 18, width, 2);
  putLe(out, 20, height, 2);
  putLe(out, 22, 1, 2);  // planes
  putLe(out, 24, bitsPerPixel, 2);
  out.insert(out.end(), colourTable.begin(), colourTable.end());
  out.insert(out.end(), pixelData.begin(), pixelData.end());
  return out;
}

void putBmp(const std::filesystem::path& path, std::int32_t width, std::int32_t height,
            std::uint16_t bitsPerPixel) {
  writeFile(path, buildBmp({.width = width, .height = height, .bitsPerPixel = bitsPerPixel}));
}
