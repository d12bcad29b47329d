// The expected output of a conversion, made without any of the converter's code: libpng and
// libjpeg decode PNG and JPEG files, the plain readers below take uncompressed BMP and
// true-colour TGA files (the layouts the tests build), and a plain padder and header writer lay
// out the BMP file. Written for clarity, not speed: one pixel at a time.

#include <cstdint>
#include <vector>

#include "support/jpeg_oracle.h"
#include "support/libpng_read.h"
#include "support/test_files.h"

namespace {

// A decoded picture: rows top-down, pixels R, G, B and, with four channels, A.
struct Picture {
  unsigned width = 0;
  unsigned height = 0;
  unsigned channels = 0;
  std::vector<std::uint8_t> samples;

  std::uint8_t* at(unsigned row, unsigned column) {
    return samples.data() + (std::size_t{row} * width + column) * channels;
  }

  // Stores a pixel given as B, G, R(, A), as BMP and TGA files hold it.
  void storeBgr(unsigned row, unsigned column, const std::uint8_t* from) {
    std::uint8_t* to = at(row, column);
    to[0] = from[2];
    to[1] = from[1];
    to[2] = from[0];
    if (channels == 4) to[3] = from[3];
  }
};

unsigned le16(const Bytes& bytes, std::size_t at) {
  return at + 2 <= bytes.size() ? unsigned{bytes[at]} | unsigned{bytes[at + 1]} << 8 : 0;
}

std::uint32_t le32(const Bytes& bytes, std::size_t at) {
  return at + 4 <= bytes.size()
             ? std::uint32_t{le16(bytes, at)} | std::uint32_t{le16(bytes, at + 2)} << 16
             : 0;
}

// An uncompressed 24- or 32-bit BMP: rows bottom-up (top-down when the height is negative), each
// padded to four bytes, pixels B, G, R(, A).
bool readBmp(const Bytes& file, Picture& picture) {
  if (file.size() < 54 || file[0] != 'B' || file[1] != 'M' || le32(file, 30) != 0) return false;
  const auto height = static_cast<std::int32_t>(le32(file, 22));
  const unsigned bits = le16(file, 28);
  if (bits != 24 && bits != 32) return false;
  picture.width = le32(file, 18);
  picture.height = static_cast<unsigned>(height < 0 ? -height : height);
  picture.channels = bits / 8;
  picture.samples.resize(std::size_t{picture.width} * picture.height * picture.channels);
  const std::size_t stride = (std::size_t{picture.width} * picture.channels + 3) / 4 * 4;
  const std::size_t offset = le32(file, 10);
  if (offset + stride * picture.height > file.size()) return false;
  for (unsigned stored = 0; stored < picture.height; ++stored) {
    const unsigned row = height < 0 ? stored : picture.height - 1 - stored;
    for (unsigned column = 0; column < picture.width; ++column) {
      const std::uint8_t* from = &file[offset + stored * stride + column * picture.channels];
      picture.storeBgr(row, column, from);
    }
  }
  return true;
}

// A true-colour TGA, raw (type 2) or run-length encoded (type 10), 24 or 32 bits: pixels B, G,
// R(, A), rows bottom-up unless bit 5 of the descriptor puts the first row on top.
bool readTga(const Bytes& file, Picture& picture) {
  if (file.size() < 18 || (file[2] != 2 && file[2] != 10) || (file[16] != 24 && file[16] != 32)) {
    return false;
  }
  picture.width = le16(file, 12);
  picture.height = le16(file, 14);
  picture.channels = file[16] / 8u;
  const bool topFirst = (file[17] & 0x20) != 0;
  std::size_t at = 18 + std::size_t{file[0]};
  if (file[1] == 1) at += le16(file, 5) * ((file[7] + 7u) / 8);
  const std::size_t count = std::size_t{picture.width} * picture.height;
  std::vector<std::uint8_t> pixels;  // B, G, R(, A) in stored order
  while (pixels.size() < count * picture.channels) {
    std::size_t repeat = 1;
    std::size_t literal = 1;
    if (file[2] == 10) {
      if (at >= file.size()) return false;
      const std::uint8_t packet = file[at++];
      ((packet & 0x80) != 0 ? repeat : literal) = (packet & 0x7Fu) + 1;
    }
    for (std::size_t pixel = 0; pixel < literal; ++pixel) {
      if (at + picture.channels > file.size()) return false;
      for (std::size_t copy = 0; copy < repeat; ++copy) {
        pixels.insert(pixels.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                      file.begin() + static_cast<std::ptrdiff_t>(at + picture.channels));
      }
      at += picture.channels;
    }
  }
  picture.samples.resize(count * picture.channels);
  for (unsigned stored = 0; stored < picture.height; ++stored) {
    const unsigned row = topFirst ? stored : picture.height - 1 - stored;
    for (unsigned column = 0; column < picture.width; ++column) {
      const std::uint8_t* from =
          &pixels[(std::size_t{stored} * picture.width + column) * picture.channels];
      picture.storeBgr(row, column, from);
    }
  }
  return true;
}

bool readPng(const Bytes& file, Picture& picture) {
  auto provide = [&picture](const LibpngLayout& layout) -> std::uint8_t* {
    picture.width = layout.width;
    picture.height = layout.height;
    picture.channels = layout.channels;
    picture.samples.resize(layout.rowBytes * layout.height);
    return picture.samples.data();
  };
  return file.size() >= 8 && file[0] == 0x89 && file[1] == 'P' &&
         readWithLibpng(std::span<const std::uint8_t>(file.data(), file.size()), provide);
}

bool readJpeg(const Bytes& file, Picture& picture) {
  if (file.size() < 3 || file[0] != 0xFF || file[1] != 0xD8) return false;
  const JpegReference reference = decodeJpegReference(file);
  if (!reference.rowsDecoded) return false;
  picture.width = static_cast<unsigned>(reference.width);
  picture.height = static_cast<unsigned>(reference.height);
  picture.channels = 3;
  picture.samples = jpegReferenceRgb(reference);
  return true;
}

unsigned paddedSide(unsigned side) {
  unsigned padded = 4;
  while (padded < side) padded *= 2;
  return padded;
}

void put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes[at++] = static_cast<std::uint8_t>(value >> shift);
}

// The BMP file of the picture padded to power-of-two sides.
Bytes paddedBmpOf(Picture& picture) {
  const unsigned width = paddedSide(picture.width);
  const unsigned height = paddedSide(picture.height);
  const unsigned channels = picture.channels;
  Bytes file(54, 0);
  file.reserve(54 + std::size_t{width} * height * channels);
  file[0] = 'B';
  file[1] = 'M';
  put32(file, 2, static_cast<std::uint32_t>(54 + std::size_t{width} * height * channels));
  put32(file, 10, 54);
  put32(file, 14, 40);
  put32(file, 18, width);
  put32(file, 22, height);
  file[26] = 1;
  file[28] = static_cast<std::uint8_t>(8 * channels);
  put32(file, 38, picture.width);
  put32(file, 42, picture.height);
  // Bottom-up: the picture's own rows, its top row repeated above them, each row's last pixel
  // repeated to its right.
  for (unsigned outputRow = 0; outputRow < height; ++outputRow) {
    const unsigned fromBottom = outputRow < picture.height ? outputRow : picture.height - 1;
    const unsigned row = picture.height - 1 - fromBottom;
    for (unsigned column = 0; column < width; ++column) {
      const std::uint8_t* pixel =
          picture.at(row, column < picture.width ? column : picture.width - 1);
      file.push_back(pixel[2]);
      file.push_back(pixel[1]);
      file.push_back(pixel[0]);
      if (channels == 4) file.push_back(pixel[3]);
    }
  }
  return file;
}

}  // namespace

Bytes expectedBmpFile(const Bytes& input) {
  Picture picture;
  if (!readBmp(input, picture) && !readTga(input, picture) && !readPng(input, picture) &&
      !readJpeg(input, picture)) {
    return {};
  }
  return paddedBmpOf(picture);
}

Bytes expectedPaddedBmp(const Image& image) {
  Picture picture;
  picture.width = image.width;
  picture.height = image.height;
  picture.channels = image.channels;
  picture.samples.resize(std::size_t{picture.width} * picture.height * picture.channels);
  for (unsigned row = 0; row < picture.height; ++row) {
    const std::uint8_t* from = image.pixels() + (picture.height - 1 - row) * image.rowBytes();
    for (unsigned column = 0; column < picture.width; ++column) {
      picture.storeBgr(row, column, from + std::size_t{column} * picture.channels);
    }
  }
  return paddedBmpOf(picture);
}
