// Reconstruction on a borrowed core against reconstruction on the decoding thread alone: the same
// pictures, and for damaged files the same refusals, on random pictures large enough to be
// pipelined.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "base/decode_report.h"
#include "base/spare_cores.h"
#include "png/png_reader.h"
#include "support/png_writer.h"

namespace {

struct Decoded {
  bool picture = false;
  Bytes pixels;
  std::string reason;
};

Decoded decodeWith(const Bytes& file, int lentCores) {
  const SpareCoreLoan loan(lentCores);
  DecodeReport report;
  const ImagePtr image = decodePng(ByteSpan(file.data(), file.size()), &report);
  Decoded decoded;
  decoded.reason = report.reason;
  if (image) {
    decoded.picture = true;
    decoded.pixels.assign(image->pixels(), image->pixels() + image->pixelBytes());
  }
  return decoded;
}

Bytes pngFile(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
              const Bytes& zlib) {
  return joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(width, height, 8, colourType)),
                    pngChunk("IDAT", zlib), pngChunk("IEND", {})});
}

// A random 8-bit RGB or RGBA picture of about one to three MiB of scanlines, with a random filter
// per scanline, sometimes a filter type above 4, and sometimes damage: zlib bytes changed or the
// file cut short.
Bytes randomFile(std::mt19937& random) {
  const auto below = [&](std::uint32_t bound) {
    return static_cast<std::uint32_t>(random() % bound);
  };
  const std::uint8_t colourType = below(2) == 0 ? 2 : 6;
  const std::uint32_t width = 400 + below(300);
  const std::uint32_t height = 650 + below(400);
  PngPicture picture = makePngPicture(width, height, 8, colourType, false, below(1u << 31));
  picture.filters.clear();
  for (int row = 0; row < 97; ++row) picture.filters.push_back(static_cast<std::uint8_t>(below(5)));
  if (random() % 4 == 0)
    picture.filters[random() % picture.filters.size()] = static_cast<std::uint8_t>(5 + below(250));
  Bytes zlib = zlibCompress(pngScanlines(picture), 1);
  switch (below(4)) {
    case 0:  // a few bytes of the zlib data changed
      for (int k = 0; k < 3; ++k) {
        zlib[below(static_cast<std::uint32_t>(zlib.size()))] ^=
            static_cast<std::uint8_t>(1 + below(255));
      }
      break;
    case 1:  // the zlib data cut short
      zlib.resize(zlib.size() - 1 - below(static_cast<std::uint32_t>(zlib.size() / 2)));
      break;
    default:
      break;
  }
  return pngFile(width, height, colourType, zlib);
}

TEST(PipelinedRows, EqualTheRowsOfOneThreadOnRandomAndDamagedPictures) {
  const std::uint64_t borrowedBefore = coresBorrowedSoFar();
  int pictures = 0;
  int refusals = 0;
  for (std::uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Bytes file = randomFile(random);
    const Decoded alone = decodeWith(file, 0);
    const Decoded pipelined = decodeWith(file, 1);
    EXPECT_EQ(pipelined.picture, alone.picture);
    EXPECT_EQ(pipelined.reason, alone.reason);
    EXPECT_TRUE(pipelined.pixels == alone.pixels);
    (alone.picture ? pictures : refusals) += 1;
  }
  // Both kinds came up, and the helper ran.
  EXPECT_GT(pictures, 3);
  EXPECT_GT(refusals, 3);
  EXPECT_GT(coresBorrowedSoFar() - borrowedBefore, 5u);
}

// A filter type above 4 early in a pull whose later bytes are cut off: the stream fails before
// the filter types of the pull are looked at, with the helper or without.
TEST(PipelinedRows, DamageLaterInAPullComesBeforeAnEarlierFilterType) {
  PngPicture picture = makePngPicture(700, 700, 8, 2, false, 3);
  picture.filters = {1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 9, 1, 2, 3, 4, 0};
  Bytes zlib = zlibCompress(pngScanlines(picture), 1);
  zlib.resize(zlib.size() * 3 / 4);
  const Bytes file = pngFile(700, 700, 2, zlib);
  const Decoded alone = decodeWith(file, 0);
  const Decoded pipelined = decodeWith(file, 1);
  EXPECT_FALSE(alone.picture);
  EXPECT_EQ(pipelined.reason, alone.reason);
  EXPECT_EQ(alone.reason.find("filter type"), std::string::npos) << alone.reason;
}

TEST(PipelinedRows, NoCoreIsBorrowedWhenNoneIsLent) {
  PngPicture picture = makePngPicture(1000, 600, 8, 2, false, 7);
  const Bytes file = buildPng(picture);
  const std::uint64_t borrowedBefore = coresBorrowedSoFar();
  EXPECT_TRUE(decodeWith(file, 0).picture);
  EXPECT_EQ(coresBorrowedSoFar(), borrowedBefore);
  EXPECT_TRUE(decodeWith(file, 1).picture);
  EXPECT_EQ(coresBorrowedSoFar(), borrowedBefore + 1);
}

}  // namespace
