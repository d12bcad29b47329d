#include "support/tga_writer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kMaxPacketPixels = 128;

void putLe16(Bytes& out, std::size_t offset, std::uint16_t value) {
  out[offset] = static_cast<std::uint8_t>(value);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

Bytes buildTga(const TgaFields& f, const Bytes& data) {
  Bytes out(18, 0);
  out[0] = static_cast<std::uint8_t>(f.id.size());  // ID length
  out[1] = f.colourMapType;
  out[2] = f.imageType;
  putLe16(out, 3, f.colourMapFirstEntry);
  putLe16(out, 5, f.colourMapLength);
  out[7] = f.colourMapEntrySize;
  putLe16(out, 8, 0);   // x origin
  putLe16(out, 10, 0);  // y origin
  putLe16(out, 12, f.width);
  putLe16(out, 14, f.height);
  out[16] = f.pixelDepth;
  out[17] = f.descriptor;
  out.insert(out.end(), f.id.begin(), f.id.end());
  out.insert(out.end(), f.colourMap.begin(), f.colourMap.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::uint8_t tgaTestPixel(std::uint32_t row, std::uint32_t column, std::uint32_t channel) {
  return static_cast<std::uint8_t>((row * 53u + column * 7u + channel * 79u) % 255u + 1u);
}

Bytes tgaTestPixels(std::uint32_t width, std::uint32_t height, std::uint32_t channels) {
  Bytes out;
  out.reserve(std::size_t{width} * height * channels);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t x = 0; x < width; ++x) {
      for (std::uint32_t k = 0; k < channels; ++k) out.push_back(tgaTestPixel(r, x, k));
    }
  }
  return out;
}

void appendRunPacket(Bytes& data, unsigned count, const Bytes& pixel) {
  data.push_back(static_cast<std::uint8_t>(0x80u | (count - 1u)));
  data.insert(data.end(), pixel.begin(), pixel.end());
}

void appendRawPacket(Bytes& data, unsigned count, const Bytes& pixels) {
  data.push_back(static_cast<std::uint8_t>(count - 1u));
  data.insert(data.end(), pixels.begin(), pixels.end());
}

Bytes encodeTgaRle(const Bytes& pixels, std::size_t pixelSize) {
  const std::size_t count = pixels.size() / pixelSize;
  auto same = [&](std::size_t a, std::size_t b) {
    return std::memcmp(pixels.data() + a * pixelSize, pixels.data() + b * pixelSize, pixelSize) ==
           0;
  };
  auto pixelRange = [&](std::size_t first, std::size_t n) {
    const auto begin = pixels.begin() + static_cast<std::ptrdiff_t>(first * pixelSize);
    return Bytes(begin, begin + static_cast<std::ptrdiff_t>(n * pixelSize));
  };
  Bytes out;
  std::size_t i = 0;
  while (i < count) {
    std::size_t run = 1;
    while (i + run < count && run < kMaxPacketPixels && same(i, i + run)) ++run;
    if (run >= 2) {
      appendRunPacket(out, static_cast<unsigned>(run), pixelRange(i, 1));
      i += run;
      continue;
    }
    std::size_t raw = 1;
    while (i + raw < count && raw < kMaxPacketPixels &&
           !(i + raw + 1 < count && same(i + raw, i + raw + 1))) {
      ++raw;
    }
    appendRawPacket(out, static_cast<unsigned>(raw), pixelRange(i, raw));
    i += raw;
  }
  return out;
}
