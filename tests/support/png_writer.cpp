#include "support/png_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

struct Pass {
  std::uint32_t rowStep, columnStep, firstRow, firstColumn;
};
constexpr Pass kWholePicture = {1, 1, 0, 0};
constexpr Pass kAdam7[7] = {{8, 8, 0, 0}, {8, 8, 0, 4}, {8, 4, 4, 0}, {4, 4, 0, 2},
                            {4, 2, 2, 0}, {2, 2, 0, 1}, {2, 1, 1, 0}};

void appendBe32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t crcOf(const Bytes& typeAndData) {
  return static_cast<std::uint32_t>(
      crc32(0L, typeAndData.data(), static_cast<uInt>(typeAndData.size())));
}

// Packs the samples of the given pixels of one row into scanline bytes.
Bytes packRow(const PngPicture& picture, std::uint32_t row, std::uint32_t firstColumn,
              std::uint32_t columnStep) {
  const unsigned channels = pngChannels(picture.colourType);
  Bytes out;
  unsigned bitsUsed = 0;
  for (std::uint32_t x = firstColumn; x < picture.width; x += columnStep) {
    for (unsigned c = 0; c < channels; ++c) {
      const std::uint16_t sample =
          picture.samples[(std::size_t{row} * picture.width + x) * channels + c];
      if (picture.bitDepth == 16) {
        out.push_back(static_cast<std::uint8_t>(sample >> 8));
        out.push_back(static_cast<std::uint8_t>(sample));
      } else if (picture.bitDepth == 8) {
        out.push_back(static_cast<std::uint8_t>(sample));
      } else {
        if (bitsUsed % 8 == 0) out.push_back(0);
        const unsigned shift = 8 - picture.bitDepth - bitsUsed % 8;
        out.back() = static_cast<std::uint8_t>(out.back() | (sample << shift));
        bitsUsed += picture.bitDepth;
      }
    }
  }
  return out;
}

}  // namespace

unsigned pngChannels(std::uint8_t colourType) {
  switch (colourType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

PngPicture makePngPicture(std::uint32_t width, std::uint32_t height, std::uint8_t bitDepth,
                          std::uint8_t colourType, bool interlaced, std::uint32_t seed) {
  PngPicture picture;
  picture.width = width;
  picture.height = height;
  picture.bitDepth = bitDepth;
  picture.colourType = colourType;
  picture.interlaced = interlaced;
  const std::size_t count = std::size_t{width} * height * pngChannels(colourType);
  picture.samples.resize(count);
  const std::uint32_t mask = bitDepth == 16 ? 0xFFFFu : (1u << bitDepth) - 1;
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    // Mix smooth gradients with noise so every filter sees both.
    const std::uint32_t smooth = static_cast<std::uint32_t>(i * 7 / 3);
    picture.samples[i] =
        static_cast<std::uint16_t>(((state % 4 == 0) ? state >> 8 : smooth) & mask);
  }
  return picture;
}

Bytes pngFilterScanline(std::uint8_t filterType, const Bytes& raw, const Bytes& prior,
                        std::size_t distance) {
  Bytes out(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const int left = i >= distance ? raw[i - distance] : 0;
    const int above = prior[i];
    const int upperLeft = i >= distance ? prior[i - distance] : 0;
    int predicted = 0;
    switch (filterType) {
      case 1:
        predicted = left;
        break;
      case 2:
        predicted = above;
        break;
      case 3:
        predicted = (left + above) / 2;
        break;
      case 4: {
        const int p = left + above - upperLeft;
        const int pa = std::abs(p - left), pb = std::abs(p - above), pc = std::abs(p - upperLeft);
        predicted = (pa <= pb && pa <= pc) ? left : (pb <= pc ? above : upperLeft);
        break;
      }
      default:
        predicted = 0;
        break;
    }
    out[i] = static_cast<std::uint8_t>(raw[i] - predicted);
  }
  return out;
}

Bytes pngScanlines(const PngPicture& picture) {
  const std::size_t distance =
      std::max<std::size_t>(1, pngChannels(picture.colourType) * picture.bitDepth / 8u);
  Bytes out;
  std::size_t scanline = 0;
  const auto emitPass = [&](const Pass& pass) {
    if (pass.firstRow >= picture.height || pass.firstColumn >= picture.width) return;
    Bytes prior;
    for (std::uint32_t row = pass.firstRow; row < picture.height; row += pass.rowStep) {
      const Bytes raw = packRow(picture, row, pass.firstColumn, pass.columnStep);
      if (prior.empty()) prior.assign(raw.size(), 0);
      const std::uint8_t filterType = picture.filters[scanline % picture.filters.size()];
      ++scanline;
      out.push_back(filterType);
      const Bytes filtered = pngFilterScanline(filterType, raw, prior, distance);
      out.insert(out.end(), filtered.begin(), filtered.end());
      prior = raw;
    }
  };
  if (picture.interlaced) {
    for (const Pass& pass : kAdam7) emitPass(pass);
  } else {
    emitPass(kWholePicture);
  }
  return out;
}

Bytes zlibCompress(const Bytes& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

Bytes pngChunk(std::string_view type, const Bytes& data, std::uint32_t crcXor) {
  Bytes out;
  appendBe32(out, static_cast<std::uint32_t>(data.size()));
  Bytes typeAndData(type.begin(), type.end());
  typeAndData.insert(typeAndData.end(), data.begin(), data.end());
  out.insert(out.end(), typeAndData.begin(), typeAndData.end());
  appendBe32(out, crcOf(typeAndData) ^ crcXor);
  return out;
}

Bytes pngHeaderData(std::uint32_t width, std::uint32_t height, std::uint8_t bitDepth,
                    std::uint8_t colourType, std::uint8_t interlaceMethod,
                    std::uint8_t compressionMethod, std::uint8_t filterMethod) {
  Bytes out;
  appendBe32(out, width);
  appendBe32(out, height);
  out.insert(out.end(), {bitDepth, colourType, compressionMethod, filterMethod, interlaceMethod});
  return out;
}

Bytes pngSignature() { return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }

Bytes pngFillerChunk(std::size_t totalBytes) {
  const std::string keyword = "Comment";
  Bytes data(keyword.begin(), keyword.end());
  data.push_back(0);
  data.resize(totalBytes - 12, 'x');
  return pngChunk("tEXt", data);
}

Bytes joinBytes(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes pngPaletteData(unsigned entries) {
  Bytes out;
  for (unsigned i = 0; i < entries; ++i) {
    out.insert(out.end(), {static_cast<std::uint8_t>(i * 3), static_cast<std::uint8_t>(255 - i),
                           static_cast<std::uint8_t>(i * 7)});
  }
  return out;
}

Bytes buildPng(const PngPicture& picture) {
  Bytes head =
      joinBytes({pngSignature(),
                 pngChunk("IHDR", pngHeaderData(picture.width, picture.height, picture.bitDepth,
                                                picture.colourType, picture.interlaced ? 1 : 0))});
  if (picture.colourType == 3) {
    const unsigned entries = picture.bitDepth >= 8 ? 256u : 1u << picture.bitDepth;
    head = joinBytes({head, pngChunk("PLTE", pngPaletteData(entries))});
  }
  const Bytes tail =
      joinBytes({pngChunk("IDAT", zlibCompress(pngScanlines(picture))), pngChunk("IEND", {})});
  const std::size_t total = head.size() + tail.size();
  if (total < 100) head = joinBytes({head, pngFillerChunk(std::max<std::size_t>(20, 100 - total))});
  return joinBytes({head, tail});
}

std::vector<std::size_t> pngChunkOffsets(const Bytes& file) {
  std::vector<std::size_t> offsets;
  std::size_t offset = 8;
  while (offset + 12 <= file.size()) {
    offsets.push_back(offset);
    const std::uint32_t length = static_cast<std::uint32_t>(file[offset]) << 24 |
                                 static_cast<std::uint32_t>(file[offset + 1]) << 16 |
                                 static_cast<std::uint32_t>(file[offset + 2]) << 8 |
                                 file[offset + 3];
    if (std::string(file.begin() + static_cast<std::ptrdiff_t>(offset) + 4,
                    file.begin() + static_cast<std::ptrdiff_t>(offset) + 8) == "IEND") {
      break;
    }
    offset += 12 + std::size_t{length};
  }
  return offsets;
}
